// The agent services library: settings and their defaults, the parent check against real parent
// processes, the transport against the real mgmt_server, the log, property lists and files.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <netdb.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <regex>
#include <sstream>

#include "lvornutils/lvornutils.h"
#include "plist/Plist.h"
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
    if (mode == "parent-check")  // 10 and 11, unlike a crash or a test run
        ::_exit(VornUtilMac().initializeVornGlobal() && ProcessInfo::CheckIfTrueParent() ? 10 : 11);
    if (mode == "probe") ::_exit(12);
    if (mode == "agent") {
        // Plays a management agent: registers as AGENTLIB_TEST_REGISTER says, then starts the
        // parent check as nobody (when root) and ends with its status.
        const char* given = std::getenv("AGENTLIB_TEST_REGISTER");
        const std::string how = given ? given : "";
        std::optional<ParentRegistration> registration;
        if (!how.empty())
            registration.emplace(how == "other-program" ? "/bin/true" : "/proc/self/exe");
        const std::string file = std::string(ProcessInfo::kRegistrationDirectory) + "/agent." +
                                 std::to_string(::getpid());
        if (how == "stale") {
            std::string text = slurp(file);
            text.insert(text.find('\n'), "1");  // another start time
            std::ofstream(file, std::ios::trunc) << text;
        }
        if (how == "writable") ::chmod(file.c_str(), 0666);
        const pid_t pid = ::fork();
        if (pid == 0) {
            if (::getuid() == 0 &&
                (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0))
                ::_exit(13);
            ::setenv("AGENTLIB_TEST_CHILD", "parent-check", 1);
            ::execl("/proc/self/exe", "parent-check", nullptr);
            ::_exit(14);
        }
        int status = 0;
        ::waitpid(pid, &status, 0);
        registration.reset();
        ::_exit(WIFEXITED(status) ? WEXITSTATUS(status) : 15);
    }
    if (mode == "log") {
        VornLog("before the start %s {}");
        VornUtilMac().initializeVornGlobal();
        if (!VornUtilMac().startLoggingTo("Agentlib.log", true)) ::_exit(1);
        VornLog("percent %s %d %% and braces {} {0}");
        // A name that holds a line break and a record prefix must not forge a record.
        VornLog("first line\r\n2026-01-01 00:00:00.000 tallyvane[1:1] App launched: Forged");
        VornLog("two parts: ", "second\vpart");
        // A child made by fork logs under its own ids, not those its parent had.
        const pid_t child = ::fork();
        if (child == 0) VornLog("forked " + std::to_string(::getpid())), ::_exit(0);
        ::waitpid(child, nullptr, 0);
        ::signal(SIGUSR1, [](int) { VornLogFromSignal("from a signal handler", 21); });
        ::raise(SIGUSR1);
        VornPrint("printed 100% {}");
        ::pause();
    }
    return 0;
}();

// Writes the settings of agent and sets up the globals from them; false when unreadable.
bool useSettings(const AgentInstallation& agent, const std::string& bytes) {
    std::ofstream(agent.path() + "/config/agent.plist", std::ios::trunc) << bytes;
    ::setenv("VORNAGENT_PATH", agent.path().c_str(), 1);
    return VornUtilMac().initializeVornGlobal();
}
const auto xml = [](const Dict& settings) { return *plist::toXml(settings); };

// The host name, and its canonical name as the resolver gives it.
std::pair<std::string, std::string> hostNames() {
    char name[HOST_NAME_MAX + 1] = {};
    ::gethostname(name, sizeof name - 1);
    std::pair<std::string, std::string> names{name, name};
    addrinfo hints{}, *found = nullptr;
    hints.ai_flags = AI_CANONNAME;
    if (::getaddrinfo(name, nullptr, &hints, &found) != 0) return names;
    if (found->ai_canonname && *found->ai_canonname) names.second = found->ai_canonname;
    ::freeaddrinfo(found);
    return names;
}

std::string localNow() {
    const std::time_t now = std::time(nullptr);
    return (std::ostringstream() << std::put_time(std::localtime(&now), "%F %T")).str();
}

// Every string property of the globals, by its settings key.
std::map<std::string, std::optional<std::string>> properties() {
    const GlobVars& g = *gv_globvars;
#define PROPERTY(name) \
    { #name, g.name() }
    return {PROPERTY(vornagentPath),         PROPERTY(vornagentDataDictPath),
            PROPERTY(localComputerName),     PROPERTY(fqdnName),
            PROPERTY(currentLocalNamespace), PROPERTY(encodedLocalNameSpace),
            PROPERTY(vornCustomerID),        PROPERTY(vornCustomerName),
            PROPERTY(vornMSPName),           PROPERTY(vornAgentResourceID),
            PROPERTY(serialNumber),          PROPERTY(vornRemoteOffID),
            {"ServerURL", g.serverURL()}};
#undef PROPERTY
}

TEST(GlobVars, PropertiesAndTheTrustedParentComeFromTheSettingsElseFromTheirDefaults) {
    AgentInstallation agent;
    ASSERT_TRUE(useSettings(agent, xml({})));
    auto defaults = properties();
    for (auto& [key, value] : defaults) value = std::nullopt;
    defaults["vornagentPath"] = agent.path();
    defaults["vornagentDataDictPath"] = agent.path() + "/data";
    std::tie(defaults["localComputerName"], defaults["fqdnName"]) = hostNames();

    auto set = defaults;
    Dict all;
    for (auto& [key, value] : set)
        if (key != "vornagentPath") all[key] = *(value = key + " & {} %s");
    ASSERT_TRUE(useSettings(agent, xml(all)));
    EXPECT_EQ(properties(), set);

    // Absent keys, empty defaulted ones, values of another type and unreadable files all mean
    // the defaults.
    const std::string emptied = xml({{"localComputerName", ""}, {"vornCustomerID", 42}});
    for (const auto& [bytes, readable] : std::vector<std::pair<std::string, bool>>{
             {xml({}), true}, {emptied, true}, {"", false}, {"not a property list {} %s", false}}) {
        SCOPED_TRACE(bytes);
        EXPECT_EQ(useSettings(agent, bytes), readable);
        EXPECT_EQ(properties(), defaults);
    }

    // Only a trusted parent passes the parent check; no setting at all fails closed.
    const Dict trusted{{"TrustedParentPath", plist::Array{"/bin/sh", kSelf}}},
        other{{"TrustedParentPath", "/bin/sh"}};
    for (const auto& [settings, expected] : {std::pair{trusted, 10}, {other, 11}, {Dict{}, 11}}) {
        SCOPED_TRACE(plist::describe(settings));
        useSettings(agent, xml(settings));
        ChildProcess child(
            {kSelf}, {{"AGENTLIB_TEST_CHILD", "parent-check"}, {"VORNAGENT_PATH", agent.path()}});
        EXPECT_EQ(child.waitExit(), expected);
    }
}

// The packaged agent runs as root and starts the program as the user, who cannot read its exe
// link: only root's registration vouches for it, and nothing a user can start passes.
TEST(ProcessInfo, TrustsOnlyARootAgentOfTheTrustedPathAndNoParentAUserCouldStart) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to start processes as nobody";
    AgentInstallation agent;
    ::chmod(agent.path().c_str(), 0755);
    const std::string genuine = agent.path() + "/agent", copy = agent.path() + "/copy";
    fs::copy_file(kSelf, genuine);
    fs::copy_file(kSelf, copy);
    useSettings(agent, xml({{"TrustedParentPath", genuine}}));
    pid_t lastAgent = 0;
    auto run = [&](const std::string& program, bool asNobody, const std::string& registration) {
        std::vector<std::string> argv{program};
        if (asNobody)
            argv.insert(argv.begin(),
                        {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
        ChildProcess child(argv,
                           {{"AGENTLIB_TEST_CHILD", registration == "probe" ? "probe" : "agent"},
                            {"AGENTLIB_TEST_REGISTER", registration},
                            {"VORNAGENT_PATH", agent.path()}});
        lastAgent = child.pid();
        return child.waitExit().value_or(-1);
    };
    if (run(genuine, true, "probe") != 12) GTEST_SKIP() << "nobody cannot run " << genuine;

    EXPECT_EQ(run(genuine, false, "yes"), 10);       // root's registered agent
    EXPECT_EQ(run(genuine, false, ""), 11);          // root's, but the user cannot tell
    EXPECT_EQ(run(genuine, false, "stale"), 11);     // registered under another start time
    EXPECT_EQ(run(genuine, false, "writable"), 11);  // a registration others could have written
    EXPECT_EQ(run(genuine, false, "other-program"), 11);  // the child execs what it was not to be
    EXPECT_EQ(run(genuine, true, "yes"), 11);             // the user's own process
    EXPECT_EQ(run(copy, false, "yes"), 11);               // root runs a copy
    // Each agent's registration goes with it, the last one's too.
    EXPECT_FALSE(fs::exists(std::string(ProcessInfo::kRegistrationDirectory) + "/agent." +
                            std::to_string(lastAgent)));
}

TEST(HttpHandlermac, PostsToTheServerAndGivesItsAnswer) {
    MgmtServer server, created({.status = 201}), missing({.status = 404});
    AgentInstallation agent;
    std::string body = "<?xml version=\"1.0\"?>\n<Report a=\"%s {}\">\xC3\xA9</Report>\r\n";
    for (int c = 0; c < 256; ++c) body.push_back(static_cast<char>(c));
    const std::string refused = "http://127.0.0.1:" + std::to_string(unusedLocalPort());
    const std::vector<std::pair<std::string, int>> cases{
        {server.url(), 0}, {created.url(), 0}, {missing.url(), 404}, {refused, -1}, {"", -1}};
    for (const auto& [url, expected] : cases) {
        SCOPED_TRACE(url.empty() ? "no ServerURL" : url);
        useSettings(agent, xml(url.empty() ? Dict{} : Dict{{"ServerURL", url}}));
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
    char buffer[4096];
    ASSERT_TRUE(eventually([&] {
        out.append(buffer, std::max<ssize_t>(::read(reader, buffer, sizeof buffer), 0));
        return out.ends_with(printed);
    })) << out;
    ::close(reader);
    // text holds one record per message, each "YYYY-MM-DD HH:MM:SS.mmm tallyvane[PID:TID] " with
    // a local time from `from` to now, then the message unchanged and a line feed.
    auto expectRecords = [&](const std::string& text, const std::vector<std::string>& messages) {
        EXPECT_EQ(logMessagesOf(text), messages);
        EXPECT_TRUE(text.ends_with('\n'));
        static const std::regex prefix(
            R"((^|\n)(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)\.\d{3} tallyvane\[(\d+:\d+)\] )");
        std::size_t count = 0;
        for (std::sregex_iterator m(text.begin(), text.end(), prefix), e; m != e; ++m, ++count) {
            const std::string message = text.substr(m->position() + m->length(), 40);
            const std::string pid = message.starts_with("forked ")
                                        ? message.substr(7, message.find('\n') - 7)
                                        : std::to_string(child.pid());
            EXPECT_EQ((*m)[3].str(), pid + ":" + pid);
            EXPECT_TRUE(from <= (*m)[2].str() && (*m)[2].str() <= localNow()) << (*m)[2];
        }
        EXPECT_EQ(count, messages.size()) << text;
    };
    const std::string early = out.substr(0, out.size() - printed.size());  // standard error
    expectRecords(early, {"before the start %s {}"});
    const std::string log = slurp(agent.path() + "/logs/Agentlib.log");
    const std::size_t at = log.find("] forked ") + 9;
    const std::string forked = log.substr(at, log.find('\n', at) - at);
    EXPECT_NE(forked, std::to_string(child.pid()));
    EXPECT_EQ(log.rfind(early, 0), 0u);  // records from before the start open the file
    expectRecords(log, {"before the start %s {}", "percent %s %d %% and braces {} {0}",
                        "first line\n2026-01-01 00:00:00.000 tallyvane[1:1] App launched: Forged",
                        "two parts: second\npart", "forked " + forked, "from a signal handler"});
    EXPECT_NE(log.find("first line\n\t2026-01-01"), std::string::npos);
    EXPECT_NE(log.find("two parts: second\n\tpart\n"), std::string::npos);
}

TEST(FileUtils, CreatesFoldersWithTheGivenModeDespiteTheUmaskAndSeesWhatExists) {
    ScratchDir dir;
    const std::string at = dir.path() + "/";
    auto modeOf = [&](const std::string& name) { return fs::status(at + name).permissions(); };
    const mode_t previous = ::umask(022);
    EXPECT_TRUE(FileUtils().createDirectoryAtPath(at + "SoftwareMetering/leaf", 777));
    EXPECT_TRUE(FileUtils().createDirectoryAtPath(at + "private", 750));
    EXPECT_FALSE(FileUtils().createDirectoryAtPath(at + "bad", 778));
    ::umask(previous);
    // Writable by all, so sticky: no other user may remove or rename what is inside.
    EXPECT_EQ(modeOf("SoftwareMetering"), fs::perms(01777));
    EXPECT_EQ(modeOf("SoftwareMetering/leaf"), fs::perms(01777));
    EXPECT_EQ(modeOf("private"), fs::perms(0750));
    EXPECT_EQ(modeOf(""), fs::perms(0700));  // existing folders keep their mode

    std::ofstream(at + "file") << "x";
    fs::create_symlink(at + "nowhere", at + "dangling");
    EXPECT_FALSE(FileUtils().createDirectoryAtPath(at + "file", 777));
    for (const auto& [name, exists] :
         {std::pair{"file", true}, {"dangling", true}, {"missing", false}})
        EXPECT_EQ(FileUtils().isFileExist(at + name), exists) << name;  // a dangling link exists
}

}  // namespace
}  // namespace tallyvane::test
