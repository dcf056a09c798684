// The agent services library: settings and their defaults, the parent check against real parent
// processes, the transport against the real mgmt_server, the log, property lists and files.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netdb.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <regex>

#include "lvornutils/lvornutils.h"
#include "plist/PlistFile.h"
#include "support/AgentInstallation.h"
#include "support/MgmtServer.h"

namespace tallyvane::test {
namespace {

namespace fs = std::filesystem;
using plist::Dict;

const std::string kSelf = fs::canonical("/proc/self/exe").string();

// This binary started again with AGENTLIB_TEST_CHILD set does its job before GoogleTest starts;
// its parent is then the test process, whose executable is this binary.
[[maybe_unused]] const int kChildMode = [] {
    const char* set = std::getenv("AGENTLIB_TEST_CHILD");
    const std::string mode = set ? set : "";
    if (mode == "parent-check") {
        VornUtilMac().initializeVornGlobal();
        ::_exit(ProcessInfo::CheckIfTrueParent() ? 10 : 11);  // unlike a crash or a test run
    }
    if (mode == "log") {
        VornLog("before the start %s {}");
        VornUtilMac util;
        util.initializeVornGlobal();
        if (!util.startLoggingTo("Agentlib.log", true)) ::_exit(1);
        VornLog("percent %s %d %% and braces {} {0}");
        VornLog("first line\nsecond line");
        ::signal(SIGUSR1, [](int) { VornLogFromSignal("from a signal handler", 21); });
        ::raise(SIGUSR1);
        VornPrint("printed 100% {}");
        ::pause();
    }
    return 0;
}();

// Writes the settings of agent and sets up the globals from them; false when unreadable.
bool useSettings(const AgentInstallation& agent, const std::string& bytes) {
    std::ofstream(agent.path() + "/config/agent.plist", std::ios::binary | std::ios::trunc)
        << bytes;
    ::setenv("VORNAGENT_PATH", agent.path().c_str(), 1);
    return VornUtilMac().initializeVornGlobal();
}
bool useSettings(const AgentInstallation& agent, const Dict& settings) {
    return useSettings(agent, plist::toXml(settings).value());
}

std::string hostName() {
    char name[HOST_NAME_MAX + 1] = {};
    ::gethostname(name, sizeof name - 1);
    return name;
}

std::string canonicalHostName() {
    addrinfo hints{}, *found = nullptr;
    hints.ai_flags = AI_CANONNAME;
    std::string name = hostName();
    if (::getaddrinfo(name.c_str(), nullptr, &hints, &found) != 0) return name;
    if (found->ai_canonname != nullptr && *found->ai_canonname != '\0') name = found->ai_canonname;
    ::freeaddrinfo(found);
    return name;
}

std::string localNow() {
    char text[32];
    const std::time_t now = std::time(nullptr);
    return {text, std::strftime(text, sizeof text, "%F %T", std::localtime(&now))};
}

// text holds one record per message, each "YYYY-MM-DD HH:MM:SS.mmm tallyvane[PID:TID] " with a
// local time from `from` to now, then the message unchanged and a line feed.
void expectRecords(const std::string& text, const std::vector<std::string>& messages,
                   const std::string& pidTid, const std::string& from) {
    EXPECT_EQ(logMessagesOf(text), messages);
    EXPECT_TRUE(text.ends_with('\n'));
    static const std::regex prefix(
        R"((^|\n)(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)\.\d{3} tallyvane\[(\d+:\d+)\] )");
    std::size_t count = 0;
    for (std::sregex_iterator m(text.begin(), text.end(), prefix), end; m != end; ++m, ++count) {
        EXPECT_EQ((*m)[3].str(), pidTid);
        EXPECT_TRUE(from <= (*m)[2].str() && (*m)[2].str() <= localNow()) << (*m)[2];
    }
    EXPECT_EQ(count, messages.size()) << text;
}

// Every string property of the globals, by its settings key.
std::map<std::string, std::optional<std::string>> properties() {
    const GlobVars& g = *gv_globvars;
    return {{"vornagentPath", g.vornagentPath()},
            {"vornagentDataDictPath", g.vornagentDataDictPath()},
            {"localComputerName", g.localComputerName()},
            {"currentLocalNamespace", g.currentLocalNamespace()},
            {"encodedLocalNameSpace", g.encodedLocalNameSpace()},
            {"vornCustomerID", g.vornCustomerID()},
            {"vornCustomerName", g.vornCustomerName()},
            {"vornMSPName", g.vornMSPName()},
            {"vornAgentResourceID", g.vornAgentResourceID()},
            {"fqdnName", g.fqdnName()},
            {"serialNumber", g.serialNumber()},
            {"vornRemoteOffID", g.vornRemoteOffID()},
            {"ServerURL", g.serverURL()}};
}

TEST(GlobVars, PropertiesComeFromTheSettingsElseFromTheirDefaults) {
    AgentInstallation agent;
    const std::string none = plist::toXml(Dict{}).value();
    ASSERT_TRUE(useSettings(agent, none));
    auto defaults = properties();
    for (auto& [key, value] : defaults) value = std::nullopt;
    defaults["vornagentPath"] = agent.path();
    defaults["vornagentDataDictPath"] = agent.path() + "/data";
    defaults["localComputerName"] = hostName();
    defaults["fqdnName"] = canonicalHostName();

    auto set = defaults;
    Dict all;
    for (auto& [key, value] : set)
        if (key != "vornagentPath") all[key] = *(value = key + " & {} %s");
    ASSERT_TRUE(useSettings(agent, all));
    EXPECT_EQ(properties(), set);

    // Absent keys, empty defaulted ones, values of another type and unreadable files all mean
    // the defaults.
    const std::string emptied =
        plist::toXml(Dict{{"localComputerName", ""}, {"vornCustomerID", 42}}).value();
    for (const auto& [bytes, readable] : {std::pair<std::string, bool>{none, true},
                                          {emptied, true},
                                          {"", false},
                                          {"not a property list {} %s", false}}) {
        SCOPED_TRACE(bytes);
        EXPECT_EQ(useSettings(agent, bytes), readable);
        EXPECT_EQ(properties(), defaults);
    }
}

TEST(ProcessInfo, OnlyATrustedParentPasses) {
    AgentInstallation agent;
    const std::pair<Dict, int> cases[] = {
        {{{"TrustedParentPath", plist::Array{"/bin/sh", kSelf}}}, 10},
        {{{"TrustedParentPath", "/bin/sh"}}, 11},
        {{}, 11}};  // the last, no setting at all, fails closed
    for (const auto& [settings, expected] : cases) {
        SCOPED_TRACE(plist::describe(settings));
        useSettings(agent, settings);
        ChildProcess child(
            {kSelf}, {{"AGENTLIB_TEST_CHILD", "parent-check"}, {"VORNAGENT_PATH", agent.path()}});
        EXPECT_EQ(child.waitExit(), expected);
    }
}

TEST(HttpHandlermac, PostsToTheServerAndGivesItsAnswer) {
    MgmtServer server, created({.status = 201}), missing({.status = 404});
    AgentInstallation agent;
    std::string body = "<?xml version=\"1.0\"?>\n<Report a=\"%s {}\">\xC3\xA9</Report>\r\n";
    for (int c = 0; c < 256; ++c) body.push_back(static_cast<char>(c));
    const std::pair<std::optional<std::string>, int> cases[] = {
        {server.url(), 0},
        {created.url(), 0},
        {missing.url(), 404},
        {"http://127.0.0.1:" + std::to_string(unusedLocalPort()), -1},
        {std::nullopt, -1}};
    for (const auto& [url, expected] : cases) {
        SCOPED_TRACE(url.value_or("no ServerURL"));
        useSettings(agent, url ? Dict{{"ServerURL", *url}} : Dict{});
        EXPECT_EQ(HttpHandlermac::initWithGlobals().VornSendData(
                      "/invswmetering?computer=My PC&x=%41",
                      std::vector<std::uint8_t>(body.begin(), body.end())),
                  expected);
    }
    ASSERT_TRUE(server.waitForRequests(1));
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].target, "/invswmetering?computer=My%20PC&x=%41");
    EXPECT_EQ(requests[0].body, body);
    EXPECT_EQ(requests[0].header("Content-Type"), "text/xml; charset=utf-8");
}

TEST(Log, RecordsKeepTheirMessageAndPrintedLinesArriveAtOnce) {
    AgentInstallation agent;
    const std::string fifo = agent.path() + "/stdout", from = localNow();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    // The child logs, prints a line through the pipe and waits: nothing may wait for its end.
    ChildProcess child({kSelf}, {{"AGENTLIB_TEST_CHILD", "log"}, {"VORNAGENT_PATH", agent.path()}},
                       fifo);
    const std::string printed = "printed 100% {}\n";
    std::string out;
    eventually([&] {
        char buffer[4096];
        const ssize_t n = ::read(reader, buffer, sizeof buffer);
        if (n > 0) out.append(buffer, static_cast<std::size_t>(n));
        return out.ends_with(printed);
    });
    ::close(reader);
    ASSERT_TRUE(out.ends_with(printed)) << out;
    const std::string id = std::to_string(child.pid()) + ":" + std::to_string(child.pid());
    const std::string early = out.substr(0, out.size() - printed.size());  // standard error
    expectRecords(early, {"before the start %s {}"}, id, from);
    const std::string log = slurp(agent.path() + "/logs/Agentlib.log");
    EXPECT_EQ(log.rfind(early, 0), 0u);  // records from before the start open the file
    expectRecords(log,
                  {"before the start %s {}", "percent %s %d %% and braces {} {0}",
                   "first line\nsecond line", "from a signal handler"},
                  id, from);
}

TEST(Proplisthandler, ReadsStringsAndKindsAndNothingFromAMissingFile) {
    using Kind = Proplisthandler::Object::Kind;
    const std::tuple<std::string, plist::Value, Kind> values[] = {
        {"ConsoleUser", "alice {} %s", Kind::String},
        {"Count", 42, Kind::Number},
        {"Flag", true, Kind::Boolean},
        {"Map", Dict{}, Kind::Dictionary}};
    Dict dict;
    for (const auto& [key, value, kind] : values) dict[key] = value;
    ScratchDir dir;
    AgentInstallation::writePlist(dir.path() + "/consoleuser.plist", dict);
    Proplisthandler handler;
    ASSERT_TRUE(handler.InitwithFile(dir.path() + "/consoleuser.plist"));
    for (const auto& [key, value, kind] : values)
        EXPECT_EQ(handler.GetValueForKey(key).value().kind, kind) << key;
    EXPECT_EQ(handler.GetValueForKey("ConsoleUser")->stringValue(), "alice {} %s");
    EXPECT_EQ(handler.GetValueForKey("Count")->stringValue(), std::nullopt);
    EXPECT_EQ(handler.GetValueForKey("Missing"), std::nullopt);
    // A failed load forgets what an earlier one read.
    EXPECT_FALSE(handler.InitwithFile(dir.path() + "/missing.plist"));
    EXPECT_EQ(handler.GetValueForKey("ConsoleUser"), std::nullopt);
}

TEST(FileUtils, CreatesFoldersWithTheGivenModeDespiteTheUmaskAndSeesWhatExists) {
    ScratchDir dir;
    auto modeOf = [](const std::string& path) { return fs::status(path).permissions(); };
    const std::string leaf = dir.path() + "/SoftwareMetering/leaf";
    const mode_t previous = ::umask(022);
    EXPECT_TRUE(FileUtils().createDirectoryAtPath(leaf, 777));
    EXPECT_FALSE(FileUtils().createDirectoryAtPath(dir.path() + "/bad", 778));
    ::umask(previous);
    EXPECT_EQ(modeOf(dir.path() + "/SoftwareMetering"), fs::perms(0777));
    EXPECT_EQ(modeOf(leaf), fs::perms(0777));
    EXPECT_EQ(modeOf(dir.path()), fs::perms(0700));  // existing folders keep their mode

    std::ofstream(dir.path() + "/file") << "x";
    fs::create_symlink(dir.path() + "/nowhere", dir.path() + "/dangling");
    EXPECT_FALSE(FileUtils().createDirectoryAtPath(dir.path() + "/file", 777));
    EXPECT_TRUE(FileUtils().isFileExist(dir.path() + "/file"));
    EXPECT_TRUE(FileUtils().isFileExist(dir.path() + "/dangling"));  // a link, though dangling
    EXPECT_FALSE(FileUtils().isFileExist(dir.path() + "/missing"));
}

}  // namespace
}  // namespace tallyvane::test
