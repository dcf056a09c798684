// The package's management agent against a stand-in logind on a private bus: it follows logins,
// switches and logoffs of real test users, keeps consoleuser.plist, runs the monitor as the
// console user (whose parent check then passes) and a report run as that user.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/ptrace.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>
#include <tuple>

#include "HandOver.h"
#include "support/AgentInstallation.h"

namespace tallyvane::test {
namespace {

namespace fs = std::filesystem;
const std::string kBin = TALLYVANE_BIN_DIR;

// A system user made for the test and removed after it.
struct TestUser {
    explicit TestUser(const std::string& name) : name(name) {
        std::system(("useradd -r -M -s /usr/sbin/nologin " + name + " 2>/dev/null").c_str());
        if (const passwd* entry = ::getpwnam(name.c_str())) owner = {entry->pw_uid, entry->pw_gid};
    }
    ~TestUser() { std::system(("userdel " + name + " 2>/dev/null").c_str()); }
    uid_t uid() const { return owner.uid; }
    std::string name;
    agent::Owner owner;
};

// A child that is killed and reaped at scope exit, also when an assertion returns early.
struct Child {
    pid_t pid;
    ~Child() { wait(true); }
    // Its exit status; -1 when it did not exit.
    int wait(bool kill = false) {
        int status = 0;
        if (pid <= 0) return -1;
        if (kill) ::kill(pid, SIGKILL);
        ::waitpid(std::exchange(pid, -1), &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
};

// Runs body in a child process as user (its own group, no others), which exits with its result.
Child startAsUser(const TestUser& user, const std::function<int()>& body) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (::setgroups(0, nullptr) != 0 || ::setgid(user.owner.gid) != 0 ||
            ::setuid(user.uid()) != 0)
            ::_exit(126);
        ::_exit(body());
    }
    return {pid};
}

// Owner, group and mode of path itself; -1s when nothing is there.
std::tuple<uid_t, gid_t, unsigned> ownership(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return {uid_t(-1), gid_t(-1), 0u};
    return {st.st_uid, st.st_gid, st.st_mode & 07777};
}

// Two test users and a place for an agent folder of root's, below a folder the test users may
// pass: the hand-over and the agent run as root.
class AgentFolder : public testing::Test {
  protected:
    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "needs root";
        ASSERT_TRUE(alice.uid() != 0 && bob.uid() != 0);
        fs::permissions(dir.path(), fs::perms(0755));
    }
    // Named by this process: tests running side by side add and remove users of their own.
    const std::string tag = std::to_string(::getpid());
    TestUser alice{"tvagent-alice-" + tag}, bob{"tvagent-bob-" + tag};
    ScratchDir dir;
    std::string agent = dir.path() + "/agent", data = agent + "/data",
                metering = data + "/SoftwareMetering";
    bool handTo(agent::Owner owner) const {
        return agent::handOverMeteringFolder(agent, data, owner);
    }
};
// The agent folder with its data folder, as the agent leaves it.
class HandOver : public AgentFolder {
  protected:
    void SetUp() override {
        AgentFolder::SetUp();
        fs::create_directories(data);
    }
};

TEST_F(HandOver, AUserRacingARootLinkInNeverGetsARootFile) {
    const std::string victim = dir.path() + "/root-only";
    std::ofstream(victim) << "root's secret";
    ::chmod(victim.c_str(), 0600);
    ASSERT_TRUE(handTo(alice.owner));
    const std::string honest = metering + "/spare", target = metering + "/AppRuleData.plist";
    // Alice swaps an honest file of hers with root's link as fast as she can, for ever.
    const Child racer = startAsUser(alice, [&] {
        for (;;) ::renameat2(AT_FDCWD, honest.c_str(), AT_FDCWD, target.c_str(), RENAME_EXCHANGE);
        return 0;
    });
    int copied = 0, refused = 0;
    for (int i = 0; i < 1000; ++i) {
        // Root's hard link stands in for a kernel with fs.protected_hardlinks=0.
        ::unlink(target.c_str());
        ::unlink(honest.c_str());
        ASSERT_EQ(::link(victim.c_str(), target.c_str()), 0);
        // Made by name in root's folder only: the test itself must not follow her swaps.
        const std::string fresh = dir.path() + "/fresh";
        { std::ofstream(fresh) << "<plist version=\"1.0\"><dict/></plist>"; }
        ASSERT_EQ(::chown(fresh.c_str(), alice.uid(), alice.owner.gid), 0);
        ASSERT_EQ(::link(fresh.c_str(), honest.c_str()), 0);
        ::unlink(fresh.c_str());
        ASSERT_TRUE(handTo(alice.owner));
        ASSERT_EQ(ownership(victim), std::tuple(0u, 0u, 0600u)) << i;
        struct stat st {};
        if (::stat(target.c_str(), &st) != 0) {
            ++refused;
            continue;
        }
        ++copied;
        ASSERT_NE(slurp(target), "root's secret") << i;
        ASSERT_TRUE(st.st_uid == alice.uid() && st.st_nlink == 1) << i;
    }
    EXPECT_GT(copied, 0);  // both ways happened: the race was run
    EXPECT_GT(refused, 0);
}

TEST_F(HandOver, ThePreviousUserKeepsNoDescriptorModeNameOrPlantedFile) {
    ASSERT_TRUE(handTo(alice.owner));
    const std::string launches = metering + "/AppLaunchData.plist",
                      logFile = agent + "/logs/AppMonitor.log";
    int ready[2], go[2];
    ASSERT_EQ(::pipe(ready), 0);
    ASSERT_EQ(::pipe(go), 0);
    Child child = startAsUser(alice, [&] {
        const std::string m = metering;
        std::ofstream(launches) << "honest";
        std::ofstream(m + "/AppPostData.plist") << "posted";
        std::ofstream(logFile) << "alice's line\n";
        const int kept = ::open(launches.c_str(), O_WRONLY | O_APPEND);
        const int keptLog = ::open(logFile.c_str(), O_WRONLY | O_APPEND);
        const int gift = ::open((m + "/zz_gift").c_str(), O_WRONLY | O_CREAT, 0666);
        if (kept < 0 || keptLog < 0 || gift < 0 || ::fchmod(gift, 0666) != 0 ||
            ::chmod(m.c_str(), 0777) != 0 ||
            ::link((m + "/AppPostData.plist").c_str(), (m + "/mine").c_str()) != 0)
            return 1;
        char byte = 0;
        if (::write(ready[1], "r", 1) != 1 || ::read(go[0], &byte, 1) != 1) return 2;
        const bool wrote = ::write(kept, "4242", 4) == 4 && ::write(keptLog, "4242", 4) == 4;
        return wrote ? 0 : 3;
    });
    char byte = 0;
    ASSERT_EQ(::read(ready[0], &byte, 1), 1);
    ASSERT_TRUE(handTo(bob.owner));
    ASSERT_EQ(::write(go[1], "g", 1), 1);
    child.wait();

    const auto& [uid, gid] = bob.owner;
    EXPECT_EQ(ownership(metering), std::tuple(uid, gid, 0700u));
    EXPECT_EQ(ownership(launches), std::tuple(uid, gid, 0600u));
    EXPECT_EQ(slurp(launches), "honest");
    EXPECT_EQ(ownership(logFile), std::tuple(uid, gid, 0644u));
    EXPECT_EQ(slurp(logFile), "");
    for (const char* gone : {"/zz_gift", "/mine", "/AppPostData.plist"})  // the last had two names
        EXPECT_FALSE(fs::exists(metering + gone)) << gone;
    const std::vector<fs::path> aside(fs::directory_iterator(data + "/refused"), {}),
        previous(fs::directory_iterator(agent + "/logs/previous"), {});
    ASSERT_EQ(aside.size(), 1u);
    EXPECT_TRUE(aside[0].string().ends_with("-AppPostData.plist"));
    EXPECT_EQ(ownership(data + "/refused"), std::tuple(0u, 0u, 0700u));
    ASSERT_EQ(previous.size(), 1u);
    EXPECT_EQ(slurp(previous[0]), "alice's line\n");  // her later write went nowhere
    const group* adm = ::getgrnam("adm");
    EXPECT_EQ(ownership(previous[0]), std::tuple(0u, adm ? adm->gr_gid : 0u, 0640u));
}

// The PIDs of the monitor-mode processes that parent started, and the user each runs as; those
// of tests running alongside are not counted.
std::map<pid_t, uid_t> monitors(pid_t parent) {
    const std::string command = kBin + "/tallyvane" + '\0' + "startMonitoring" + '\0';
    std::map<pid_t, uid_t> found;
    for (const auto& entry : fs::directory_iterator("/proc")) {
        // The monitor is not dumpable, so its /proc folder is root's: its real user id says.
        const std::string status = slurp(entry.path() / "status");
        const auto ppid = status.find("\nPPid:"), uid = status.find("\nUid:");
        if (ppid != status.npos && uid != status.npos &&
            std::stoi(status.substr(ppid + 6)) == parent &&
            slurp(entry.path() / "cmdline") == command)
            found[std::stoi(entry.path().filename())] = std::stoul(status.substr(uid + 5));
    }
    return found;
}

using Agent = AgentFolder;

TEST_F(Agent, FollowsTheConsoleAndRunsTheMonitorAndTheReportAsItsUser) {
    if (std::system(("runuser -u " + alice.name + " -- test -x " + kBin + "/tallyvane").c_str()))
        GTEST_SKIP() << "the test users cannot run " << kBin << "/tallyvane";
    writePlist(agent + "/config/agent.plist",
               plist::Dict{{"TrustedParentPath", kBin + "/tallyvane-agent"}});
    // A private bus, an agent installation's, plays the system bus with fake_logind on it.
    const AgentInstallation bus;
    const std::map<std::string, std::string> systemBus{
        {"DBUS_SYSTEM_BUS_ADDRESS", bus.environment().at("DBUS_SESSION_BUS_ADDRESS")}};
    ChildProcess logind({kBin + "/fake_logind"}, systemBus, bus.path() + "/logind.out");
    ASSERT_TRUE(eventually([&] { return slurp(bus.path() + "/logind.out") == "ready\n"; }));
    // Calls a method of fake_logind's control interface; true when it answered.
    auto call = [&](const std::string& method, std::vector<std::string> argv) {
        argv.insert(argv.begin(), {"/usr/bin/dbus-send", "--system", "--print-reply",
                                   "--dest=org.freedesktop.login1", "/org/freedesktop/login1",
                                   "org.tallyvane.FakeLogind." + method});
        return ChildProcess(argv, systemBus, bus.path() + "/calls.out").waitExit() == 0;
    };
    // A session of user's that then becomes the console's.
    auto activate = [&](const std::string& id, const TestUser& user, std::string kind = "user") {
        return call("Login", {"string:" + id, "uint32:" + std::to_string(user.uid()),
                              "string:" + user.name, "string:" + kind}) &&
               call("Activate", {"string:" + id});
    };
    ChildProcess daemon({kBin + "/tallyvane-agent", "--agent-folder", agent}, systemBus,
                        dir.path() + "/agent.out");
    const std::string consoleFile = agent + "/consoleuser.plist";
    auto consoleSays = [&](const char* type, const TestUser& user) {
        const plist::Value file(plist::Dict{{"logType", type}, {"CurrentConsoleUser", user.name}});
        return eventually([&] { return parsePlistFile(consoleFile) == file; });
    };
    auto monitorOf = [&](const TestUser& user) {
        return eventually([&] {
            const auto found = monitors(daemon.pid());
            return found.size() == 1 && found.begin()->second == user.uid();
        });
    };

    ASSERT_TRUE(activate("a1", alice));
    ASSERT_TRUE(consoleSays("Login", alice)) << slurp(consoleFile);
    ASSERT_TRUE(monitorOf(alice)) << slurp(dir.path() + "/agent.out");
    // The monitor, as alice, took its parent for genuine and runs.
    EXPECT_TRUE(eventually([&] {
        return std::ranges::count(agentLogMessages(agent),
                                  "monitorApps: Setting up app monitoring...") == 1;
    })) << slurp(agent + "/logs/AppMonitor.log");
    // The agent made its data folder itself.
    EXPECT_EQ(ownership(data), std::tuple(0u, 0u, 0755u));
    for (const std::string& path : {metering, metering + "/AppRuleData.plist"})
        EXPECT_EQ(std::get<0>(ownership(path)), alice.uid()) << path;
    // Her own monitor cannot be traced by her.
    const pid_t monitor = monitors(daemon.pid()).begin()->first;
    const auto trace = [monitor] {
        return ::ptrace(PTRACE_ATTACH, monitor, nullptr, nullptr) ? errno : 0;
    };
    EXPECT_EQ(startAsUser(alice, trace).wait(), EPERM);

    // Bob logs in beside her and the console switches to him; a greeter in between changes
    // nothing while bob is still logged in.
    ASSERT_TRUE(activate("b1", bob));
    ASSERT_TRUE(consoleSays("Switch", bob)) << slurp(consoleFile);
    ASSERT_TRUE(monitorOf(bob));
    for (const std::string& path :
         {metering, metering + "/AppRuleData.plist", agent + "/logs/AppMonitor.log"})
        EXPECT_EQ(std::get<0>(ownership(path)), bob.uid()) << path;
    ASSERT_TRUE(activate("g1", alice, "greeter"));
    std::this_thread::sleep_for(std::chrono::seconds(1));
    EXPECT_EQ(parsePlistFile(consoleFile),
              plist::Value(plist::Dict{{"logType", "Switch"}, {"CurrentConsoleUser", bob.name}}));
    EXPECT_TRUE(monitorOf(bob));

    // The daily report runs as the console user, through the agent, and ends normally.
    ChildProcess report({kBin + "/tallyvane-agent", "report", "--agent-folder", agent}, systemBus,
                        dir.path() + "/report.out");
    EXPECT_EQ(report.waitExit(std::chrono::seconds(60)), 0) << slurp(dir.path() + "/report.out");
    EXPECT_EQ(std::ranges::count(agentLogMessages(agent), "main: Sent 'reset' notification"), 1);

    // Bob logs off: his monitor is stopped, the file says so.
    ASSERT_TRUE(call("Logout", {"string:b1"}));
    ASSERT_TRUE(consoleSays("Logoff", bob)) << slurp(consoleFile);
    EXPECT_TRUE(eventually([&] { return monitors(daemon.pid()).empty(); }));

    // Stopped, the agent takes its registration with it.
    const std::string registration = "/run/tallyvane/agent." + std::to_string(daemon.pid());
    EXPECT_TRUE(fs::exists(registration));
    daemon.signal(SIGTERM);
    EXPECT_EQ(daemon.waitExit(), 0);
    EXPECT_FALSE(fs::exists(registration));
}

}  // namespace
}  // namespace tallyvane::test
