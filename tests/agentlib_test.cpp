// Tests of the agent services library stand-in (liblvornutils): globals and their defaults, the
// parent check against real parent processes, the HTTP transport against the real mgmt_server,
// the log record format, property lists, file utilities and data dictionaries.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netdb.h>
#include <plist/plist.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "lvornutils/lvornutils.h"
#include "support/MgmtServer.h"
#include "support/ScratchAgent.h"

namespace fs = std::filesystem;
using tallyvane::test::MgmtServer;
using tallyvane::test::ScopedEnv;
using tallyvane::test::ScratchAgent;
using tallyvane::test::Settings;

// ---------------------------------------------------------------------------------------------
// Child modes. The tests start this same binary again with AGENTLIB_TEST_CHILD set; the child
// does its part before GoogleTest starts and ends with _exit. So the child's parent is this test
// process, whose executable is this binary.

namespace {

constexpr int kTrue = 10;
constexpr int kFalse = 11;

int runChildMode(const std::string& mode) {
    if (mode == "parent-check") {
        VornUtilMac().initializeVornGlobal();
        return ProcessInfo::CheckIfTrueParent() ? kTrue : kFalse;
    }
    if (mode == "uninitialised") {
        // Nothing set up: the globals are null, the parent check fails closed, no send.
        if (gv_globvars != nullptr) return 1;
        if (ProcessInfo::CheckIfTrueParent()) return 2;
        if (HttpHandlermac::initWithGlobals().VornSendData("/x", {}) != -1) return 3;
        return 0;
    }
    if (mode == "print-and-wait") {
        // Standard output is a pipe: the lines must arrive before this process ends.
        VornPrint("first line");
        VornPrint("second 100% {} line");
        char c;
        while (::read(STDIN_FILENO, &c, 1) > 0) {
        }
        return 0;
    }
    if (mode == "log-before-start") {
        // No startLoggingTo: records go to standard error.
        VornLog("normal %s {} record");
        static const char kSignal[] = "signal record";
        VornLogFromSignal(kSignal, sizeof kSignal - 1);
        static const char kPrinted[] = "printed from signal";
        VornPrintFromSignal(kPrinted, sizeof kPrinted - 1);
        return 0;
    }
    if (mode == "log-before-and-after-start") {
        // Records before the start go to standard error and also to the head of the log file.
        VornLog("early one");
        VornLog("early two\nsecond line");
        VornUtilMac util;
        util.initializeVornGlobal();
        if (!util.startLoggingTo("Early.log", true)) return 1;
        VornLog("late");
        return 0;
    }
    return 99;
}

[[maybe_unused]] const int kChildModeRan = [] {
    if (const char* mode = std::getenv("AGENTLIB_TEST_CHILD")) ::_exit(runChildMode(mode));
    return 0;
}();

struct ChildRun {
    int exitCode = -1;
    std::string out;
    std::string err;
};

// Runs this binary in the given child mode with extra environment variables (nothing removes
// one) and collects its exit status and output.
ChildRun runChild(const std::string& mode,
                  const std::map<std::string, std::optional<std::string>>& env = {}) {
    std::vector<ScopedEnv> scoped;
    scoped.emplace_back("AGENTLIB_TEST_CHILD", mode);
    for (const auto& [name, value] : env) scoped.emplace_back(name, value);

    int out[2];
    int err[2];
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) return {};
    const std::string self = fs::canonical("/proc/self/exe").string();
    char* argv[] = {const_cast<char*>(self.c_str()), nullptr};
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(out[1], STDOUT_FILENO);
        ::dup2(err[1], STDERR_FILENO);
        ::execv(self.c_str(), argv);
        ::_exit(127);
    }
    ::close(out[1]);
    ::close(err[1]);
    ChildRun run;
    struct pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string* sinks[2] = {&run.out, &run.err};
    int open = 2;
    while (open > 0) {
        if (::poll(fds, 2, 30000) <= 0) break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            char buffer[4096];
            const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                sinks[i]->append(buffer, static_cast<std::size_t>(n));
            } else {
                ::close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
    for (auto& p : fds) {
        if (p.fd >= 0) ::close(p.fd);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

std::string selfExecutable() {
    return fs::canonical("/proc/self/exe").string();
}

std::string hostName() {
    char name[HOST_NAME_MAX + 1] = {};
    ::gethostname(name, sizeof name - 1);
    return name;
}

std::string canonicalHostName() {
    struct addrinfo hints {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_CANONNAME;
    struct addrinfo* result = nullptr;
    std::string name = hostName();
    if (::getaddrinfo(name.c_str(), nullptr, &hints, &result) == 0 && result != nullptr) {
        if (result->ai_canonname != nullptr && result->ai_canonname[0] != '\0') {
            name = result->ai_canonname;
        }
        ::freeaddrinfo(result);
    }
    return name;
}

// Sets up gv_globvars from a scratch agent folder.
struct Globals {
    explicit Globals(const Settings& settings = {},
                     ScratchAgent::Format format = ScratchAgent::Format::Xml)
        : agent(settings, format), env(agent.activate()) {
        read = VornUtilMac().initializeVornGlobal();
    }
    ScratchAgent agent;
    ScopedEnv env;
    bool read = false;
};

// Writes a plist (libplist tree, consumed) to path in the given format.
void writePlist(const fs::path& path, plist_t root, bool binary = false) {
    char* bytes = nullptr;
    uint32_t length = 0;
    if (binary) {
        plist_to_bin(root, &bytes, &length);
    } else {
        plist_to_xml(root, &bytes, &length);
    }
    std::ofstream(path, std::ios::binary).write(bytes, length);
    if (binary) {
        plist_to_bin_free(bytes);
    } else {
        plist_to_xml_free(bytes);
    }
    plist_free(root);
}

// One log record: its prefix fields and its message (line feeds inside kept, the final one not).
struct Record {
    std::string time;  // "YYYY-MM-DD HH:MM:SS.mmm"
    long pid = 0;
    long tid = 0;
    std::string message;
};

// The length of the record prefix "YYYY-MM-DD HH:MM:SS.mmm tallyvane[PID:TID] " at text[pos],
// 0 when there is none; fills the prefix fields of record.
std::size_t matchPrefix(const std::string& text, std::size_t pos, Record& record) {
    static const std::string kTimeShape = "dddd-dd-dd dd:dd:dd.ddd";
    if (text.size() - pos < kTimeShape.size()) return 0;
    for (std::size_t i = 0; i < kTimeShape.size(); ++i) {
        const char c = text[pos + i];
        if (kTimeShape[i] == 'd' ? !std::isdigit(static_cast<unsigned char>(c))
                                 : c != kTimeShape[i]) {
            return 0;
        }
    }
    std::size_t at = pos + kTimeShape.size();
    static const std::string kName = " tallyvane[";
    if (text.compare(at, kName.size(), kName) != 0) return 0;
    at += kName.size();
    auto number = [&](char end, long& value) {
        const std::size_t begin = at;
        while (at < text.size() && std::isdigit(static_cast<unsigned char>(text[at]))) ++at;
        if (at == begin || at >= text.size() || text[at] != end) return false;
        value = std::stol(text.substr(begin, at - begin));
        ++at;
        return true;
    };
    if (!number(':', record.pid) || !number(']', record.tid)) return 0;
    if (at >= text.size() || text[at] != ' ') return 0;
    record.time = text.substr(pos, kTimeShape.size());
    return at + 1 - pos;
}

// Splits log text into records: a record begins at a line that starts with the prefix.
std::vector<Record> splitRecords(const std::string& text) {
    std::vector<Record> records;
    std::size_t pos = 0;
    while (pos < text.size()) {
        Record record;
        const std::size_t prefix = matchPrefix(text, pos, record);
        if (prefix == 0) {
            ADD_FAILURE() << "no record prefix at offset " << pos << ": " << text.substr(pos, 80);
            break;
        }
        // The message runs to the line feed before the next line that starts with a prefix.
        std::size_t end = pos + prefix;
        for (;;) {
            const std::size_t lf = text.find('\n', end);
            if (lf == std::string::npos) {
                ADD_FAILURE() << "record without a final line feed";
                end = text.size() + 1;
                break;
            }
            end = lf + 1;
            Record next;
            if (end == text.size() || matchPrefix(text, end, next) != 0) break;
        }
        record.message = text.substr(pos + prefix, end - 1 - (pos + prefix));
        records.push_back(std::move(record));
        pos = end;
    }
    return records;
}

// Seconds between a record's local time and now (local), taken as UTC offsetSeconds ahead.
long secondsFromNow(const std::string& recordTime, long offsetSeconds) {
    std::tm tm{};
    if (::strptime(recordTime.c_str(), "%Y-%m-%d %H:%M:%S", &tm) == nullptr) return LONG_MAX;
    const std::time_t asUtc = ::timegm(&tm);
    return static_cast<long>(asUtc - offsetSeconds - std::time(nullptr));
}

long localUtcOffset() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    ::localtime_r(&now, &local);
    return local.tm_gmtoff;
}

std::vector<std::uint8_t> bytesOf(const std::string& text) {
    return {text.begin(), text.end()};
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Globals

TEST(GlobVars, EveryPropertyComesFromTheSettings) {
    const Settings settings = {
        {"vornagentDataDictPath", "/srv/agent data"},
        {"localComputerName", "PC-01"},
        {"currentLocalNamespace", "WORKGROUP"},
        {"encodedLocalNameSpace", "WORK%20GROUP"},
        {"vornCustomerID", "cust-42"},
        {"vornCustomerName", "Customer & Co <x>"},
        {"vornMSPName", "MSP {0} %s"},
        {"vornAgentResourceID", "1234"},
        {"fqdnName", "pc-01.example.test"},
        {"serialNumber", "C02XYZ"},
        {"vornRemoteOffID", "77"},
        {"ServerURL", "https://mgmt.example.test:8443"},
        {"TrustedParentPath", "/opt/agent/bin/agent"},
    };
    Globals g(settings);
    EXPECT_TRUE(g.read);
    ASSERT_NE(gv_globvars, nullptr);
    EXPECT_EQ(gv_globvars->vornagentPath(), g.agent.path().string());
    EXPECT_EQ(gv_globvars->vornagentDataDictPath(), "/srv/agent data");
    EXPECT_EQ(gv_globvars->localComputerName(), "PC-01");
    EXPECT_EQ(gv_globvars->currentLocalNamespace(), "WORKGROUP");
    EXPECT_EQ(gv_globvars->encodedLocalNameSpace(), "WORK%20GROUP");
    EXPECT_EQ(gv_globvars->vornCustomerID(), "cust-42");
    EXPECT_EQ(gv_globvars->vornCustomerName(), "Customer & Co <x>");
    EXPECT_EQ(gv_globvars->vornMSPName(), "MSP {0} %s");
    EXPECT_EQ(gv_globvars->vornAgentResourceID(), "1234");
    EXPECT_EQ(gv_globvars->fqdnName(), "pc-01.example.test");
    EXPECT_EQ(gv_globvars->serialNumber(), "C02XYZ");
    EXPECT_EQ(gv_globvars->vornRemoteOffID(), "77");
    EXPECT_EQ(gv_globvars->serverURL(), "https://mgmt.example.test:8443");
    EXPECT_EQ(gv_globvars->trustedParentPaths(), std::vector<std::string>{"/opt/agent/bin/agent"});
    EXPECT_TRUE(VornUtilMac().initializeAgentParams());
}

TEST(GlobVars, BinarySettingsAreReadToo) {
    Globals g(
        {{"vornCustomerID", "bin-7"}, {"TrustedParentPath", std::vector<std::string>{"/a", "/b"}}},
        ScratchAgent::Format::Binary);
    EXPECT_TRUE(g.read);
    EXPECT_EQ(gv_globvars->vornCustomerID(), "bin-7");
    EXPECT_EQ(gv_globvars->trustedParentPaths(), (std::vector<std::string>{"/a", "/b"}));
}

void expectDefaults(const std::string& agentDir) {
    ASSERT_NE(gv_globvars, nullptr);
    EXPECT_EQ(gv_globvars->vornagentPath(), agentDir);
    EXPECT_EQ(gv_globvars->vornagentDataDictPath(), agentDir + "/data");
    EXPECT_EQ(gv_globvars->localComputerName(), hostName());
    EXPECT_EQ(gv_globvars->fqdnName(), canonicalHostName());
    EXPECT_EQ(gv_globvars->currentLocalNamespace(), std::nullopt);
    EXPECT_EQ(gv_globvars->encodedLocalNameSpace(), std::nullopt);
    EXPECT_EQ(gv_globvars->vornCustomerID(), std::nullopt);
    EXPECT_EQ(gv_globvars->vornCustomerName(), std::nullopt);
    EXPECT_EQ(gv_globvars->vornMSPName(), std::nullopt);
    EXPECT_EQ(gv_globvars->vornAgentResourceID(), std::nullopt);
    EXPECT_EQ(gv_globvars->serialNumber(), std::nullopt);
    EXPECT_EQ(gv_globvars->vornRemoteOffID(), std::nullopt);
    EXPECT_EQ(gv_globvars->serverURL(), std::nullopt);
    EXPECT_TRUE(gv_globvars->trustedParentPaths().empty());
}

TEST(GlobVars, AbsentPropertiesGiveNothingOrTheirDefaults) {
    Globals g;  // an empty dictionary
    EXPECT_TRUE(g.read);
    expectDefaults(g.agent.path().string());
}

TEST(GlobVars, MissingSettingsFileMeansDefaults) {
    ScratchAgent agent;
    agent.removeSettings();
    auto env = agent.activate();
    EXPECT_FALSE(VornUtilMac().initializeVornGlobal());
    expectDefaults(agent.path().string());
}

TEST(GlobVars, GarbageOrHostileSettingsMeanDefaults) {
    std::string tooLarge = ScratchAgent::serialize({{"vornCustomerID", "big"}});
    tooLarge.insert(tooLarge.find("<dict>"), std::string(2 << 20, ' '));
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"empty", ""},
        {"text", "this is not a property list {} %s"},
        {"truncated xml", ScratchAgent::serialize({{"vornCustomerID", "x"}}).substr(0, 120)},
        {"truncated binary",
         ScratchAgent::serialize({{"vornCustomerID", "x"}}, ScratchAgent::Format::Binary)
             .substr(0, 20)},
        {"binary header only", "bplist00"},
        {"root array",
         "<?xml version=\"1.0\"?><plist version=\"1.0\"><array><string>x</string>"
         "</array></plist>"},
        {"deep nesting", "<plist><dict><key>a</key>" + std::string(5000, '[') + "</dict></plist>"},
        {"larger than 1 MiB", tooLarge},
    };
    for (const auto& [name, bytes] : cases) {
        SCOPED_TRACE(name);
        ScratchAgent agent;
        agent.writeConfigFile("agent.plist", bytes);
        auto env = agent.activate();
        EXPECT_FALSE(VornUtilMac().initializeVornGlobal());
        expectDefaults(agent.path().string());
    }
}

TEST(GlobVars, ADirectoryOrFifoAtTheSettingsPathMeansDefaults) {
    {
        ScratchAgent agent;
        agent.removeSettings();
        fs::create_directory(agent.settingsFile());
        auto env = agent.activate();
        EXPECT_FALSE(VornUtilMac().initializeVornGlobal());
        expectDefaults(agent.path().string());
    }
    {
        ScratchAgent agent;
        agent.removeSettings();
        ASSERT_EQ(::mkfifo(agent.settingsFile().c_str(), 0600), 0);
        auto env = agent.activate();
        EXPECT_FALSE(VornUtilMac().initializeVornGlobal());  // must not wait for a writer
        expectDefaults(agent.path().string());
    }
}

TEST(GlobVars, NonStringValuesAreIgnored) {
    ScratchAgent agent;
    plist_t root = plist_new_dict();
    plist_dict_set_item(root, "vornCustomerID", plist_new_uint(42));
    plist_dict_set_item(root, "localComputerName", plist_new_bool(1));
    plist_dict_set_item(root, "ServerURL", plist_new_array());
    plist_t trusted = plist_new_array();
    plist_array_append_item(trusted, plist_new_uint(1));
    plist_array_append_item(trusted, plist_new_string("relative/path"));
    plist_array_append_item(trusted, plist_new_string(""));
    plist_array_append_item(trusted, plist_new_string("/usable/path"));
    plist_dict_set_item(root, "TrustedParentPath", trusted);
    plist_dict_set_item(root, "vornMSPName", plist_new_string(""));
    writePlist(agent.settingsFile(), root);
    auto env = agent.activate();
    EXPECT_TRUE(VornUtilMac().initializeVornGlobal());
    EXPECT_EQ(gv_globvars->vornCustomerID(), std::nullopt);
    EXPECT_EQ(gv_globvars->localComputerName(), hostName());
    EXPECT_EQ(gv_globvars->serverURL(), std::nullopt);
    EXPECT_EQ(gv_globvars->trustedParentPaths(), std::vector<std::string>{"/usable/path"});
    EXPECT_EQ(gv_globvars->vornMSPName(), "");  // present, though empty
}

TEST(GlobVars, EmptyDefaultedPropertiesFallBackToTheirDefaults) {
    Globals g({{"vornagentDataDictPath", ""}, {"localComputerName", ""}, {"fqdnName", ""}});
    EXPECT_EQ(gv_globvars->vornagentDataDictPath(), g.agent.path().string() + "/data");
    EXPECT_EQ(gv_globvars->localComputerName(), hostName());
    EXPECT_EQ(gv_globvars->fqdnName(), canonicalHostName());
}

TEST(GlobVars, AgentDirectoryWithoutTheVariableIsTheExecutablesGrandparent) {
    const std::string expected = fs::path(selfExecutable()).parent_path().parent_path().string();
    for (const std::optional<std::string>& value :
         {std::optional<std::string>(), std::optional<std::string>("")}) {
        ScopedEnv env("VORNAGENT_PATH", value);
        VornUtilMac().initializeVornGlobal();
        ASSERT_NE(gv_globvars, nullptr);
        EXPECT_EQ(gv_globvars->vornagentPath(), expected);
        EXPECT_EQ(gv_globvars->vornagentDataDictPath(), expected + "/data");
    }
}

TEST(GlobVars, NullUntilInitialisedAndNothingWorksWithoutThem) {
    const auto run = runChild("uninitialised");
    EXPECT_EQ(run.exitCode, 0) << run.err;
}

// ---------------------------------------------------------------------------------------------
// Parent check: the child (this binary again) asks about its parent, this test process.

TEST(ProcessInfo, TrustedParentIsAccepted) {
    ScratchAgent agent({{"TrustedParentPath", selfExecutable()}});
    const auto run = runChild("parent-check", {{"VORNAGENT_PATH", agent.path().string()}});
    EXPECT_EQ(run.exitCode, kTrue) << run.err;
}

TEST(ProcessInfo, TrustedParentAmongSeveralAndThroughALinkIsAccepted) {
    ScratchAgent agent;
    const fs::path link = agent.path() / "agent-link";
    fs::create_symlink(selfExecutable(), link);
    agent.writeSettings(
        {{"TrustedParentPath", std::vector<std::string>{"/bin/sh", link.string()}}});
    const auto run = runChild("parent-check", {{"VORNAGENT_PATH", agent.path().string()}});
    EXPECT_EQ(run.exitCode, kTrue) << run.err;
}

TEST(ProcessInfo, OtherParentIsRefused) {
    ScratchAgent agent({{"TrustedParentPath", fs::canonical("/bin/sh").string()}});
    const auto run = runChild("parent-check", {{"VORNAGENT_PATH", agent.path().string()}});
    EXPECT_EQ(run.exitCode, kFalse) << run.err;
}

TEST(ProcessInfo, MissingOrMalformedSettingFailsClosed) {
    const std::vector<std::pair<std::string, Settings>> cases = {
        {"no setting", {}},
        {"empty string", {{"TrustedParentPath", ""}}},
        {"empty array", {{"TrustedParentPath", std::vector<std::string>{}}}},
        {"relative path", {{"TrustedParentPath", fs::path(selfExecutable()).filename().string()}}},
        {"missing file", {{"TrustedParentPath", "/nonexistent/agent"}}},
    };
    for (const auto& [name, settings] : cases) {
        SCOPED_TRACE(name);
        ScratchAgent agent(settings);
        const auto run = runChild("parent-check", {{"VORNAGENT_PATH", agent.path().string()}});
        EXPECT_EQ(run.exitCode, kFalse) << run.err;
    }
    ScratchAgent noFile;
    noFile.removeSettings();
    const auto run = runChild("parent-check", {{"VORNAGENT_PATH", noFile.path().string()}});
    EXPECT_EQ(run.exitCode, kFalse) << run.err;
}

TEST(ProcessInfo, InThisProcessTheParentIsNotThisBinary) {
    Globals g({{"TrustedParentPath", selfExecutable()}});
    EXPECT_FALSE(ProcessInfo::CheckIfTrueParent());  // our parent is ctest or a shell
}

// ---------------------------------------------------------------------------------------------
// HTTP transport against the real management server.

TEST(HttpHandlermac, AcceptedReportGivesZeroAndArrivesByteForByte) {
    MgmtServer server;
    Globals g({{"ServerURL", server.url()}});
    std::string body =
        "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<Report a=\"%s {}\">\xC3\xA9</Report>\r\n";
    body.push_back('\0');
    for (int c = 0; c < 256; ++c) body.push_back(static_cast<char>(c));
    const std::string path = "/invswmetering?computer=PC1&domain=WORKGROUP&customerid=7";
    EXPECT_EQ(HttpHandlermac::initWithGlobals().VornSendData(path, bytesOf(body)), 0);
    ASSERT_TRUE(server.waitForRequests(1));
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].target, path);
    EXPECT_EQ(requests[0].body, body);
    EXPECT_EQ(requests[0].header("Content-Type"), "text/xml; charset=utf-8");
}

TEST(HttpHandlermac, LargeAndEmptyBodiesArriveWhole) {
    MgmtServer server;
    Globals g({{"ServerURL", server.url()}});
    std::string large(3 << 20, '\0');
    for (std::size_t i = 0; i < large.size(); ++i) large[i] = static_cast<char>('a' + i % 26);
    const auto http = HttpHandlermac::initWithGlobals();
    EXPECT_EQ(http.VornSendData("/big", bytesOf(large)), 0);
    EXPECT_EQ(http.VornSendData("/empty", {}), 0);
    ASSERT_TRUE(server.waitForRequests(2));
    const auto requests = server.requests();
    EXPECT_EQ(requests[0].body, large);
    EXPECT_EQ(requests[1].target, "/empty");
    EXPECT_EQ(requests[1].body, "");
}

TEST(HttpHandlermac, Every2xxIsSuccess) {
    for (int status : {200, 201, 202, 204}) {
        SCOPED_TRACE(status);
        MgmtServer server(status);
        Globals g({{"ServerURL", server.url()}});
        EXPECT_EQ(
            HttpHandlermac::initWithGlobals().VornSendData("/invswmetering?x=1", bytesOf("<a/>")),
            0);
    }
}

TEST(HttpHandlermac, OtherAnswersGiveTheirStatus) {
    for (int status : {404, 500, 503, 400, 301, 302}) {
        SCOPED_TRACE(status);
        MgmtServer server(status);
        Globals g({{"ServerURL", server.url()}});
        EXPECT_EQ(
            HttpHandlermac::initWithGlobals().VornSendData("/invswmetering?x=1", bytesOf("<a/>")),
            status);
        EXPECT_EQ(server.requests().size(), 1u);  // redirects are not followed
    }
}

TEST(HttpHandlermac, NoAnswerGivesMinusOne) {
    {
        SCOPED_TRACE("connection refused");
        Globals g({{"ServerURL",
                    "http://127.0.0.1:" + std::to_string(tallyvane::test::unusedLocalPort())}});
        EXPECT_EQ(HttpHandlermac::initWithGlobals().VornSendData("/invswmetering", bytesOf("<a/>")),
                  -1);
    }
    {
        SCOPED_TRACE("no ServerURL");
        Globals g;
        EXPECT_EQ(HttpHandlermac::initWithGlobals().VornSendData("/invswmetering", bytesOf("<a/>")),
                  -1);
    }
    {
        SCOPED_TRACE("empty ServerURL");
        Globals g({{"ServerURL", std::string()}});
        EXPECT_EQ(HttpHandlermac::initWithGlobals().VornSendData("/invswmetering", bytesOf("<a/>")),
                  -1);
    }
    {
        SCOPED_TRACE("not a web protocol");
        Globals g({{"ServerURL", std::string("file:///etc")}});
        EXPECT_EQ(HttpHandlermac::initWithGlobals().VornSendData("/passwd", bytesOf("<a/>")), -1);
    }
    {
        SCOPED_TRACE("TLS to a plain HTTP server");
        MgmtServer server;
        Globals g({{"ServerURL", "https://127.0.0.1:" + std::to_string(server.port())}});
        EXPECT_EQ(HttpHandlermac::initWithGlobals().VornSendData("/invswmetering", bytesOf("<a/>")),
                  -1);
    }
}

TEST(HttpHandlermac, CharactersThatMayNotStandInAUrlArePercentEncoded) {
    MgmtServer server;
    Globals g({{"ServerURL", server.url()}});
    const auto http = HttpHandlermac::initWithGlobals();
    EXPECT_EQ(http.VornSendData("/invswmetering?computer=My PC&domain=WORK GROUP", bytesOf("<a/>")),
              0);
    EXPECT_EQ(http.VornSendData("/invswmetering?computer=A%20B&x=%41", bytesOf("<a/>")), 0);
    EXPECT_EQ(
        http.VornSendData("/q?n=caf\xC3\xA9&q=\"<>\\^`{|}&h=a#b&p=100%&r=[1]", bytesOf("<a/>")), 0);
    // (A second '?' is left out: cpp-httplib 0.11's server answers such a target with 400.)
    EXPECT_EQ(http.VornSendData("/k?a=!$'()*+,;=:@/-._~", bytesOf("<a/>")), 0);
    ASSERT_TRUE(server.waitForRequests(4));
    const auto requests = server.requests();
    EXPECT_EQ(requests[0].target, "/invswmetering?computer=My%20PC&domain=WORK%20GROUP");
    EXPECT_EQ(requests[1].target, "/invswmetering?computer=A%20B&x=%41");  // escapes kept
    EXPECT_EQ(requests[2].target,
              "/q?n=caf%C3%A9&q=%22%3C%3E%5C%5E%60%7B%7C%7D&h=a%23b&p=100%25&r=%5B1%5D");
    EXPECT_EQ(requests[3].target, "/k?a=!$'()*+,;=:@/-._~");
}

TEST(HttpHandlermac, TrailingSlashOfTheServerUrlIsNotDoubled) {
    MgmtServer server;
    Globals g({{"ServerURL", server.url() + "/"}});
    EXPECT_EQ(HttpHandlermac::initWithGlobals().VornSendData("/invswmetering?x=1", bytesOf("<a/>")),
              0);
    ASSERT_TRUE(server.waitForRequests(1));
    EXPECT_EQ(server.requests()[0].target, "/invswmetering?x=1");
}

TEST(HttpHandlermac, ServerBasePathIsKept) {
    MgmtServer server;
    Globals g({{"ServerURL", server.url() + "/agent api"}});
    EXPECT_EQ(HttpHandlermac::initWithGlobals().VornSendData("/invswmetering?x=1", bytesOf("<a/>")),
              0);
    ASSERT_TRUE(server.waitForRequests(1));
    EXPECT_EQ(server.requests()[0].target, "/agent%20api/invswmetering?x=1");
}

// ---------------------------------------------------------------------------------------------
// Log

class LogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        env_.emplace(agent_.activate());
        VornUtilMac util;
        util.initializeVornGlobal();
        ASSERT_TRUE(util.startLoggingTo(name_, true));
    }
    std::vector<Record> records() const { return splitRecords(agent_.logText(name_)); }

    ScratchAgent agent_;
    std::optional<ScopedEnv> env_;
    std::string name_ = "AgentlibTest.log";
};

TEST_F(LogTest, RecordHasThePrefixAndTheMessageUnchanged) {
    EXPECT_TRUE(fs::is_directory(agent_.logsDir()));
    const std::vector<std::string> messages = {
        "main: Software Metering executable is launched.",
        "percent %s %d %% %n and braces {} {0} {:>10} {",
        "first line\nsecond line\n  third line",
        "",
        "trailing line feed\n",
        "tab\tcarriage\rreturn",
    };
    for (const auto& message : messages) VornLog(message);
    const auto got = records();
    ASSERT_EQ(got.size(), messages.size()) << agent_.logText(name_);
    const long tid = static_cast<long>(::syscall(SYS_gettid));
    for (std::size_t i = 0; i < messages.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(got[i].message, messages[i]);
        EXPECT_EQ(got[i].pid, static_cast<long>(::getpid()));
        EXPECT_EQ(got[i].tid, tid);
        EXPECT_LE(std::labs(secondsFromNow(got[i].time, localUtcOffset())), 5);
    }
}

TEST_F(LogTest, FileIsAppendedToNotTruncated) {
    VornLog("one");
    ASSERT_TRUE(VornUtilMac().startLoggingTo("Other.log", true));
    VornLog("elsewhere");
    ASSERT_TRUE(VornUtilMac().startLoggingTo(name_, true));
    VornLog("two");
    const auto got = records();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].message, "one");
    EXPECT_EQ(got[1].message, "two");
    const auto other = splitRecords(agent_.logText("Other.log"));
    ASSERT_EQ(other.size(), 1u);
    EXPECT_EQ(other[0].message, "elsewhere");
}

TEST_F(LogTest, BadFileNamesAreRefused) {
    for (const char* name : {"", ".", "..", "a/b", "../escape.log"}) {
        EXPECT_FALSE(VornUtilMac().startLoggingTo(name, true)) << name;
    }
    VornLog("still here");
    ASSERT_EQ(records().size(), 1u);  // the log stayed where it was
}

TEST_F(LogTest, RecordFromASignalHandlerHasTheSameForm) {
    struct sigaction action {};
    struct sigaction previous {};
    action.sa_handler = [](int) {
        static const char kText[] =
            "termination_handler : Recieved Termination signal ... ignoring "
            "termination -> 15";
        VornLogFromSignal(kText, sizeof kText - 1);
    };
    sigemptyset(&action.sa_mask);
    ASSERT_EQ(::sigaction(SIGUSR1, &action, &previous), 0);
    VornLog("before");
    ::raise(SIGUSR1);
    VornLog("after");
    ::sigaction(SIGUSR1, &previous, nullptr);
    const auto got = records();
    ASSERT_EQ(got.size(), 3u) << agent_.logText(name_);
    EXPECT_EQ(got[1].message,
              "termination_handler : Recieved Termination signal ... ignoring termination -> 15");
    EXPECT_EQ(got[1].pid, static_cast<long>(::getpid()));
    EXPECT_EQ(got[1].tid, static_cast<long>(::syscall(SYS_gettid)));
    EXPECT_LE(std::labs(secondsFromNow(got[1].time, localUtcOffset())), 5);
    EXPECT_LE(got[0].time, got[1].time);
    EXPECT_LE(got[1].time, got[2].time);
}

TEST_F(LogTest, LongMessageFromASignalHandlerIsCutButStaysOneRecord) {
    const std::string message(10000, 's');
    VornLogFromSignal(message.data(), message.size());
    VornLog("next");
    const auto got = records();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_GT(got[0].message.size(), 3000u);
    EXPECT_EQ(got[0].message, message.substr(0, got[0].message.size()));
    EXPECT_EQ(got[1].message, "next");
}

std::atomic<int> g_signalRecords{0};

TEST_F(LogTest, ConcurrentRecordsAndSignalRecordsNeverInterleave) {
    struct sigaction action {};
    struct sigaction previous {};
    action.sa_handler = [](int) {
        static const char kText[] = "signal record";
        VornLogFromSignal(kText, sizeof kText - 1);
        g_signalRecords.fetch_add(1);
    };
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ASSERT_EQ(::sigaction(SIGUSR2, &action, &previous), 0);
    g_signalRecords = 0;

    constexpr int kThreads = 4;
    constexpr int kRecords = 60;
    std::atomic<bool> done{false};
    std::thread signaller([&] {
        while (!done.load()) {
            ::kill(::getpid(), SIGUSR2);
            std::this_thread::sleep_for(std::chrono::microseconds(300));
        }
    });
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t) {
        writers.emplace_back([t] {
            for (int i = 0; i < kRecords; ++i) {
                // Larger than any stdio buffer, with line feeds inside.
                std::string message =
                    "thread " + std::to_string(t) + " record " + std::to_string(i) + "\n";
                message += std::string(20000, static_cast<char>('a' + t));
                VornLog(message);
            }
        });
    }
    for (auto& w : writers) w.join();
    done = true;
    signaller.join();
    ::sigaction(SIGUSR2, &previous, nullptr);

    const auto got = records();
    int normal = 0;
    int fromSignal = 0;
    for (const auto& record : got) {
        if (record.message == "signal record") {
            ++fromSignal;
            continue;
        }
        ++normal;
        const auto lf = record.message.find('\n');
        ASSERT_NE(lf, std::string::npos);
        ASSERT_EQ(record.message.size(), lf + 1 + 20000) << record.message.substr(0, 40);
        const char fill = record.message[lf + 1];
        EXPECT_EQ(record.message.find_first_not_of(fill, lf + 1), std::string::npos);
    }
    EXPECT_EQ(normal, kThreads * kRecords);
    EXPECT_EQ(fromSignal, g_signalRecords.load());
    EXPECT_GT(fromSignal, 0);
}

TEST(Log, BeforeStartRecordsGoToStandardError) {
    const auto run = runChild("log-before-start");
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const auto got = splitRecords(run.err);
    ASSERT_EQ(got.size(), 2u) << run.err;
    EXPECT_EQ(got[0].message, "normal %s {} record");
    EXPECT_EQ(got[1].message, "signal record");
    EXPECT_EQ(got[0].pid, got[1].pid);
    EXPECT_EQ(run.out, "printed from signal\n");
}

TEST(Log, RecordsBeforeTheStartAlsoOpenTheLogFile) {
    ScratchAgent agent;
    const auto run =
        runChild("log-before-and-after-start", {{"VORNAGENT_PATH", agent.path().string()}});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const auto onStderr = splitRecords(run.err);
    ASSERT_EQ(onStderr.size(), 2u) << run.err;
    EXPECT_EQ(onStderr[0].message, "early one");
    EXPECT_EQ(onStderr[1].message, "early two\nsecond line");
    const std::string text = agent.logText("Early.log");
    const auto inFile = splitRecords(text);
    ASSERT_EQ(inFile.size(), 3u) << text;
    EXPECT_EQ(text.substr(0, run.err.size()), run.err);  // the same records, byte for byte
    EXPECT_EQ(inFile[2].message, "late");
}

TEST(Log, SignalRecordsUseTheLocalTimeZone) {
    for (const char* zone : {"<+0530>-5:30", "<-09>9", "UTC"}) {
        SCOPED_TRACE(zone);
        const auto run = runChild("log-before-start", {{"TZ", std::string(zone)}});
        ASSERT_EQ(run.exitCode, 0) << run.err;
        const auto got = splitRecords(run.err);
        ASSERT_EQ(got.size(), 2u);
        const long offset =
            std::string(zone) == "UTC" ? 0 : (zone[1] == '+' ? 5 * 3600 + 1800 : -9 * 3600);
        EXPECT_LE(std::labs(secondsFromNow(got[0].time, offset)), 5) << got[0].time;
        EXPECT_LE(std::labs(secondsFromNow(got[1].time, offset)), 5) << got[1].time;
    }
}

TEST(Log, PrintedLinesArriveAtOnceThroughAPipe) {
    ScopedEnv mode("AGENTLIB_TEST_CHILD", std::string("print-and-wait"));
    int out[2];
    int in[2];
    ASSERT_EQ(::pipe2(out, O_CLOEXEC), 0);
    ASSERT_EQ(::pipe2(in, O_CLOEXEC), 0);
    const std::string self = selfExecutable();
    char* argv[] = {const_cast<char*>(self.c_str()), nullptr};
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(out[1], STDOUT_FILENO);
        ::dup2(in[0], STDIN_FILENO);
        ::execv(self.c_str(), argv);
        ::_exit(127);
    }
    ::close(out[1]);
    ::close(in[0]);
    // The child now waits for its standard input to close; both lines must already be here.
    const std::string expected = "first line\nsecond 100% {} line\n";
    std::string got;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (got.size() < expected.size() && std::chrono::steady_clock::now() < deadline) {
        struct pollfd p {
            out[0], POLLIN, 0
        };
        if (::poll(&p, 1, 100) <= 0) continue;
        char buffer[256];
        const ssize_t n = ::read(out[0], buffer, sizeof buffer);
        if (n <= 0) break;
        got.append(buffer, static_cast<std::size_t>(n));
    }
    EXPECT_EQ(got, expected);
    ::close(in[1]);  // lets the child end
    int status = 0;
    ::waitpid(pid, &status, 0);
    ::close(out[0]);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

// ---------------------------------------------------------------------------------------------
// Proplisthandler

TEST(Proplisthandler, ValuesHaveTheirKindAndStringsTheirText) {
    for (bool binary : {false, true}) {
        SCOPED_TRACE(binary ? "binary" : "xml");
        ScratchAgent agent;
        const fs::path file = agent.dataDir() / "consoleuser.plist";
        plist_t root = plist_new_dict();
        plist_dict_set_item(root, "ConsoleUser", plist_new_string("alice {} %s"));
        plist_dict_set_item(root, "Empty", plist_new_string(""));
        plist_dict_set_item(root, "Count", plist_new_uint(static_cast<uint64_t>(-1)));
        plist_dict_set_item(root, "Real", plist_new_real(60.5));
        plist_dict_set_item(root, "Flag", plist_new_bool(1));
        plist_dict_set_item(root, "When", plist_new_date(1000, 0));
        plist_dict_set_item(root, "Blob", plist_new_data("\0x", 2));
        plist_dict_set_item(root, "List", plist_new_array());
        plist_dict_set_item(root, "Map", plist_new_dict());
        writePlist(file, root, binary);

        Proplisthandler handler;
        ASSERT_TRUE(handler.InitwithFile(file.string()));
        using Kind = Proplisthandler::Object::Kind;
        auto user = handler.GetValueForKey("ConsoleUser");
        ASSERT_TRUE(user.has_value());
        EXPECT_EQ(user->kind, Kind::String);
        EXPECT_EQ(user->stringValue(), "alice {} %s");
        EXPECT_EQ(handler.GetValueForKey("Empty")->stringValue(), "");
        EXPECT_EQ(handler.GetValueForKey("Count")->kind, Kind::Number);
        EXPECT_EQ(handler.GetValueForKey("Count")->stringValue(), std::nullopt);
        EXPECT_EQ(handler.GetValueForKey("Real")->kind, Kind::Number);
        EXPECT_EQ(handler.GetValueForKey("Flag")->kind, Kind::Boolean);
        EXPECT_EQ(handler.GetValueForKey("When")->kind, Kind::Date);
        EXPECT_EQ(handler.GetValueForKey("Blob")->kind, Kind::Data);
        EXPECT_EQ(handler.GetValueForKey("List")->kind, Kind::Array);
        EXPECT_EQ(handler.GetValueForKey("Map")->kind, Kind::Dictionary);
        EXPECT_EQ(handler.GetValueForKey("Missing"), std::nullopt);
        EXPECT_EQ(handler.GetValueForKey(std::string_view("Console\0User", 12)), std::nullopt);
    }
}

TEST(Proplisthandler, UnreadableFilesFail) {
    ScratchAgent agent;
    Proplisthandler handler;
    EXPECT_EQ(handler.GetValueForKey("ConsoleUser"), std::nullopt);  // nothing loaded yet
    EXPECT_FALSE(handler.InitwithFile((agent.path() / "missing.plist").string()));
    EXPECT_FALSE(handler.InitwithFile(""));
    EXPECT_FALSE(handler.InitwithFile(agent.path().string()));  // a directory
    agent.writeConfigFile("garbage.plist", "garbage {} %s");
    EXPECT_FALSE(handler.InitwithFile((agent.configDir() / "garbage.plist").string()));
    agent.writeConfigFile("empty.plist", "");
    EXPECT_FALSE(handler.InitwithFile((agent.configDir() / "empty.plist").string()));

    // A failed load forgets what an earlier one read.
    agent.writeSettings({{"ConsoleUser", "bob"}});
    ASSERT_TRUE(handler.InitwithFile(agent.settingsFile().string()));
    EXPECT_EQ(handler.GetValueForKey("ConsoleUser")->stringValue(), "bob");
    EXPECT_FALSE(handler.InitwithFile((agent.configDir() / "garbage.plist").string()));
    EXPECT_EQ(handler.GetValueForKey("ConsoleUser"), std::nullopt);

    // A property list whose root is not a dictionary loads but has no keys.
    agent.writeConfigFile("array.plist",
                          "<?xml version=\"1.0\"?><plist version=\"1.0\"><array/></plist>");
    EXPECT_TRUE(handler.InitwithFile((agent.configDir() / "array.plist").string()));
    EXPECT_EQ(handler.GetValueForKey("ConsoleUser"), std::nullopt);
}

// ---------------------------------------------------------------------------------------------
// FileUtils

class FileUtilsTest : public ::testing::Test {
  protected:
    void SetUp() override { previousUmask_ = ::umask(022); }
    void TearDown() override { ::umask(previousUmask_); }
    static unsigned modeOf(const fs::path& path) {
        struct stat st {};
        ::lstat(path.c_str(), &st);
        return st.st_mode & 07777;
    }
    ScratchAgent agent_;
    mode_t previousUmask_ = 0;
};

TEST_F(FileUtilsTest, CreatesMissingParentsWithTheOctalModeDespiteTheUmask) {
    const fs::path leaf = agent_.dataDir() / "SoftwareMetering" / "deeper" / "leaf";
    EXPECT_TRUE(FileUtils().createDirectoryAtPath(leaf.string(), 777));
    EXPECT_TRUE(fs::is_directory(leaf));
    EXPECT_EQ(modeOf(agent_.dataDir() / "SoftwareMetering"), 0777u);
    EXPECT_EQ(modeOf(agent_.dataDir() / "SoftwareMetering" / "deeper"), 0777u);
    EXPECT_EQ(modeOf(leaf), 0777u);
    EXPECT_EQ(modeOf(agent_.dataDir()), 0755u);  // existing folders keep their mode

    const fs::path other = agent_.path() / "other";
    EXPECT_TRUE(FileUtils().createDirectoryAtPath(other.string() + "/", 750));
    EXPECT_EQ(modeOf(other), 0750u);
}

TEST_F(FileUtilsTest, ExistingDirectoryIsFineAndKeepsItsMode) {
    const fs::path dir = agent_.path() / "kept";
    fs::create_directory(dir);
    fs::permissions(dir, fs::perms(0700));
    EXPECT_TRUE(FileUtils().createDirectoryAtPath(dir.string(), 777));
    EXPECT_EQ(modeOf(dir), 0700u);
}

TEST_F(FileUtilsTest, RefusesFilesInTheWayAndBadModes) {
    const fs::path file = agent_.path() / "file";
    std::ofstream(file) << "x";
    EXPECT_FALSE(FileUtils().createDirectoryAtPath(file.string(), 777));
    EXPECT_FALSE(FileUtils().createDirectoryAtPath((file / "below").string(), 777));
    EXPECT_FALSE(FileUtils().createDirectoryAtPath("", 777));
    EXPECT_FALSE(FileUtils().createDirectoryAtPath((agent_.path() / "a").string(), 778));
    EXPECT_FALSE(FileUtils().createDirectoryAtPath((agent_.path() / "b").string(), -1));
    EXPECT_FALSE(FileUtils().createDirectoryAtPath((agent_.path() / "c").string(), 17777));
    EXPECT_FALSE(fs::exists(agent_.path() / "a"));
}

TEST_F(FileUtilsTest, IsFileExistSeesAnythingAtThePath) {
    const fs::path file = agent_.path() / "file";
    std::ofstream(file) << "x";
    const fs::path dangling = agent_.path() / "dangling";
    fs::create_symlink(agent_.path() / "nowhere", dangling);
    FileUtils utils;
    EXPECT_TRUE(utils.isFileExist(file.string()));
    EXPECT_TRUE(utils.isFileExist(agent_.dataDir().string()));
    EXPECT_TRUE(utils.isFileExist(dangling.string()));
    EXPECT_FALSE(utils.isFileExist((agent_.path() / "missing").string()));
    EXPECT_FALSE(utils.isFileExist(""));
}

// ---------------------------------------------------------------------------------------------
// Data dictionaries

TEST(CBrindleWrapper, ReadsDataDictionariesFromTheConfigFolderWhenPresent) {
    Globals g;
    g.agent.writeConfigFile("data-dictionary.xml", ScratchAgent::serialize({{"k", "v"}}));
    g.agent.writeConfigFile("data-dictionary-onpremise.xml",
                            ScratchAgent::serialize({{"k", "v"}}, ScratchAgent::Format::Binary));
    g.agent.writeConfigFile("data-dictionary-framework.xml", "not a plist");
    CBrindleWrapper wrapper;
    EXPECT_TRUE(wrapper.loadVornDataDictionary("data-dictionary.xml"));
    EXPECT_TRUE(wrapper.loadVornDataDictionary("data-dictionary-onpremise.xml"));
    EXPECT_FALSE(wrapper.loadVornDataDictionary("data-dictionary-framework.xml"));
    EXPECT_FALSE(wrapper.loadVornDataDictionary("missing.xml"));
    EXPECT_FALSE(wrapper.loadVornDataDictionary("../config/data-dictionary.xml"));
    EXPECT_FALSE(wrapper.loadVornDataDictionary(""));
}
