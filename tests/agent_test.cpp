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
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include "HandOver.h"
#include "support/AgentFixture.h"

namespace tallyvane::test {
namespace {

namespace fs = std::filesystem;
const std::string kBin = TALLYVANE_BIN_DIR;

// A system user made for the test and removed after it.
struct TestUser {
    explicit TestUser(const std::string& name) : name(name) {
        std::system(
            ("useradd --system --no-create-home --shell /usr/sbin/nologin " + name + " 2>/dev/null")
                .c_str());
        if (const passwd* entry = ::getpwnam(name.c_str())) owner = {entry->pw_uid, entry->pw_gid};
    }
    ~TestUser() { std::system(("userdel " + name + " 2>/dev/null").c_str()); }
    uid_t uid() const { return owner.uid; }
    bool exists() const { return owner.uid != 0; }
    std::string name;
    agent::Owner owner;
};

// Starts body in a child process as user (its own group, no others), which exits with its result.
pid_t startAsUser(const TestUser& user, const std::function<int()>& body) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (::setgroups(0, nullptr) != 0 || ::setgid(user.owner.gid) != 0 ||
            ::setuid(user.uid()) != 0)
            ::_exit(126);
        ::_exit(body());
    }
    return pid;
}

// A child that is killed and reaped at scope exit, also when an assertion returns early.
struct Child {
    pid_t pid;
    ~Child() { wait(true); }
    void wait(bool kill = false) {
        if (pid <= 0) return;
        if (kill) ::kill(pid, SIGKILL);
        ::waitpid(std::exchange(pid, -1), nullptr, 0);
    }
};

int asUser(const TestUser& user, const std::function<int()>& body) {
    int status = 0;
    ::waitpid(startAsUser(user, body), &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// An agent folder of root's with its data folder, below a folder the test users may pass.
struct HandOverFolders {
    HandOverFolders() {
        fs::permissions(dir.path(), fs::perms(0755));
        fs::create_directories(data);
    }
    ScratchDir dir;
    std::string agent = dir.path() + "/agent", data = agent + "/data",
                metering = data + "/SoftwareMetering";
    bool handTo(agent::Owner owner) const {
        return agent::handOverMeteringFolder(agent, data, owner);
    }
};

TEST(HandOver, AUserRacingARootLinkInNeverGetsARootFile) {
    if (::geteuid() != 0) GTEST_SKIP() << "the hand-over runs as root";
    TestUser alice("tvagent-alice");
    ASSERT_TRUE(alice.exists());
    HandOverFolders folders;
    const std::string victim = folders.dir.path() + "/root-only";
    std::ofstream(victim) << "root's secret";
    ::chmod(victim.c_str(), 0600);
    ASSERT_TRUE(folders.handTo(alice.owner));
    const std::string honest = folders.metering + "/spare",
                      target = folders.metering + "/AppRuleData.plist";
    // Alice swaps an honest file of hers with root's link as fast as she can, for ever.
    const Child racer{startAsUser(alice, [&] {
        for (;;) ::renameat2(AT_FDCWD, honest.c_str(), AT_FDCWD, target.c_str(), RENAME_EXCHANGE);
        return 0;
    })};
    int copied = 0, refused = 0;
    for (int i = 0; i < 1000; ++i) {
        // Root's hard link stands in for a kernel with fs.protected_hardlinks=0.
        ::unlink(target.c_str());
        ::unlink(honest.c_str());
        ASSERT_EQ(::link(victim.c_str(), target.c_str()), 0);
        // Made by name in root's folder only: the test itself must not follow her swaps.
        const std::string fresh = folders.dir.path() + "/fresh";
        { std::ofstream(fresh) << "<plist version=\"1.0\"><dict/></plist>"; }
        ASSERT_EQ(::chown(fresh.c_str(), alice.uid(), alice.owner.gid), 0);
        ASSERT_EQ(::link(fresh.c_str(), honest.c_str()), 0);
        ::unlink(fresh.c_str());
        ASSERT_TRUE(folders.handTo(alice.owner));
        struct stat st {};
        ASSERT_EQ(::stat(victim.c_str(), &st), 0);
        ASSERT_TRUE(st.st_uid == 0 && st.st_gid == 0 && (st.st_mode & 07777) == 0600) << i;
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

TEST(HandOver, ThePreviousUserKeepsNoDescriptorModeNameOrPlantedFile) {
    if (::geteuid() != 0) GTEST_SKIP() << "the hand-over runs as root";
    TestUser alice("tvagent-alice"), bob("tvagent-bob");
    ASSERT_TRUE(alice.exists() && bob.exists());
    HandOverFolders folders;
    ASSERT_TRUE(folders.handTo(alice.owner));
    const std::string launches = folders.metering + "/AppLaunchData.plist",
                      logFile = folders.agent + "/logs/AppMonitor.log";
    int ready[2], go[2];
    ASSERT_EQ(::pipe(ready), 0);
    ASSERT_EQ(::pipe(go), 0);
    Child child{startAsUser(alice, [&] {
        const std::string m = folders.metering;
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
    })};
    char byte = 0;
    ASSERT_EQ(::read(ready[0], &byte, 1), 1);
    ASSERT_TRUE(folders.handTo(bob.owner));
    ASSERT_EQ(::write(go[1], "g", 1), 1);
    child.wait();

    auto owner = [](const std::string& path) {
        struct stat st {};
        return ::lstat(path.c_str(), &st) == 0 ? std::pair(st.st_uid, st.st_mode & 07777)
                                               : std::pair(uid_t(-1), 0u);
    };
    EXPECT_EQ(owner(folders.metering), std::pair(bob.uid(), 0700u));
    EXPECT_EQ(owner(launches), std::pair(bob.uid(), 0600u));
    EXPECT_EQ(slurp(launches), "honest");
    EXPECT_EQ(owner(logFile).first, bob.uid());
    EXPECT_EQ(slurp(logFile), "");
    for (const char* gone : {"/zz_gift", "/mine", "/AppPostData.plist"})  // the last had two names
        EXPECT_FALSE(fs::exists(folders.metering + gone)) << gone;
    auto list = [](const std::string& folder) {
        std::vector<std::string> paths;
        for (const auto& e : fs::directory_iterator(folder)) paths.push_back(e.path());
        return paths;
    };
    const auto aside = list(folders.data + "/refused"),
               previous = list(folders.agent + "/logs/previous");
    ASSERT_EQ(aside.size(), 1u);
    EXPECT_TRUE(aside[0].ends_with("-AppPostData.plist"));
    EXPECT_EQ(owner(folders.data + "/refused"), std::pair(uid_t(0), 0700u));
    ASSERT_EQ(previous.size(), 1u);
    EXPECT_EQ(slurp(previous[0]), "alice's line\n");  // her later write went nowhere
    struct stat st {};
    ASSERT_EQ(::stat(previous[0].c_str(), &st), 0);
    const group* adm = ::getgrnam("adm");
    EXPECT_TRUE(st.st_uid == 0 && st.st_gid == (adm ? adm->gr_gid : 0) &&
                (st.st_mode & 07777) == 0640);
}

// A private bus playing the system bus, with fake_logind on it.
class FakeSystemBus {
  public:
    FakeSystemBus() {
        FILE* bus = popen("dbus-daemon --session --fork --print-address=1 --print-pid=1", "r");
        char address[512] = {};
        if (bus && std::fscanf(bus, "%511s %d", address, &busPid_) == 2) address_ = address;
        if (bus) pclose(bus);
        logind_ = std::make_unique<ChildProcess>(std::vector<std::string>{kBin + "/fake_logind"},
                                                 environment(), dir_.path() + "/logind.out");
        EXPECT_TRUE(eventually([&] { return slurp(dir_.path() + "/logind.out") == "ready\n"; }));
    }
    ~FakeSystemBus() {
        logind_.reset();
        if (busPid_ > 0) ::kill(busPid_, SIGTERM);
    }
    std::map<std::string, std::string> environment() const {
        return {{"DBUS_SYSTEM_BUS_ADDRESS", address_}};
    }
    // Calls a method of fake_logind's control interface; true when it answered.
    bool call(const std::string& method, const std::vector<std::string>& arguments) {
        std::vector<std::string> argv{
            "/usr/bin/dbus-send",      "--system",
            "--print-reply",           "--dest=org.freedesktop.login1",
            "/org/freedesktop/login1", "org.tallyvane.FakeLogind." + method};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        return ChildProcess(argv, environment(), dir_.path() + "/calls.out").waitExit() == 0;
    }
    bool login(const std::string& id, const TestUser& user, const std::string& kind = "user") {
        return call("Login", {"string:" + id, "uint32:" + std::to_string(user.uid()),
                              "string:" + user.name, "string:" + kind});
    }

  private:
    ScratchDir dir_;
    std::string address_;
    pid_t busPid_ = -1;
    std::unique_ptr<ChildProcess> logind_;
};

// The PIDs of the monitor-mode processes that parent started, and the user each runs as; those
// of tests running alongside are not counted.
std::map<pid_t, uid_t> monitors(pid_t parent) {
    std::map<pid_t, uid_t> found;
    for (const auto& entry : fs::directory_iterator("/proc")) {
        const std::string name = entry.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        const std::string cmdline = slurp(entry.path() / "cmdline");
        if (cmdline != kBin + "/tallyvane" + '\0' + "startMonitoring" + '\0') continue;
        // The parent's PID is the second field after the parenthesised name.
        const std::string stat = slurp(entry.path() / "stat");
        const auto close = stat.rfind(')');
        if (close == std::string::npos || std::atoi(stat.c_str() + close + 4) != parent) continue;
        // The monitor is not dumpable, so its /proc folder is root's: its real user id says.
        const std::string status = slurp(entry.path() / "status");
        if (const auto uid = status.find("\nUid:"); uid != std::string::npos)
            found[std::stoi(name)] = static_cast<uid_t>(std::stoul(status.substr(uid + 5)));
    }
    return found;
}

TEST(Agent, FollowsTheConsoleAndRunsTheMonitorAndTheReportAsItsUser) {
    if (::geteuid() != 0) GTEST_SKIP() << "the agent runs as root";
    TestUser alice("tvagent-alice"), bob("tvagent-bob");
    ASSERT_TRUE(alice.exists() && bob.exists());
    if (std::system(("runuser -u " + alice.name + " -- test -x " + kBin + "/tallyvane").c_str()))
        GTEST_SKIP() << "the test users cannot run " << kBin << "/tallyvane";
    ScratchDir dir;
    const std::string agent = dir.path() + "/agent";
    writePlist(agent + "/config/agent.plist",
               plist::Dict{{"TrustedParentPath", kBin + "/tallyvane-agent"}});
    fs::permissions(dir.path(), fs::perms(0755));
    FakeSystemBus bus;
    ChildProcess daemon({kBin + "/tallyvane-agent", "--agent-folder", agent}, bus.environment(),
                        dir.path() + "/agent.out");
    auto console = [&] {
        auto value = parsePlistFile(agent + "/consoleuser.plist");
        const plist::Dict* d = value ? plist::asDict(*value) : nullptr;
        if (!d || !d->count("logType") || !d->count("CurrentConsoleUser")) return std::string();
        return plist::describe(d->at("logType")) + " " +
               plist::describe(d->at("CurrentConsoleUser"));
    };
    auto monitorOf = [&](const TestUser& user) {
        return eventually([&] {
            const auto found = monitors(daemon.pid());
            return found.size() == 1 && found.begin()->second == user.uid();
        });
    };
    const std::string metering = agent + "/data/SoftwareMetering";
    auto ownedBy = [&](const std::string& path, const TestUser& user) {
        struct stat st {};
        return ::stat(path.c_str(), &st) == 0 && st.st_uid == user.uid();
    };

    ASSERT_TRUE(bus.login("a1", alice));
    ASSERT_TRUE(bus.call("Activate", {"string:a1"}));
    ASSERT_TRUE(eventually([&] { return console() == "\"Login\" \"tvagent-alice\""; }))
        << console();
    ASSERT_TRUE(monitorOf(alice)) << slurp(dir.path() + "/agent.out");
    // The monitor, as alice, took its parent for genuine and runs.
    EXPECT_TRUE(eventually([&] {
        return std::ranges::count(agentLogMessages(agent),
                                  "monitorApps: Setting up app monitoring...") == 1;
    })) << slurp(agent + "/logs/AppMonitor.log");
    EXPECT_TRUE(ownedBy(metering, alice) && ownedBy(metering + "/AppRuleData.plist", alice));
    // Her own monitor cannot be traced by her.
    const pid_t monitor = monitors(daemon.pid()).begin()->first;
    EXPECT_EQ(asUser(alice,
                     [monitor] {
                         return ::ptrace(PTRACE_ATTACH, monitor, nullptr, nullptr) == -1 &&
                                        errno == EPERM
                                    ? 0
                                    : 1;
                     }),
              0);

    // Bob logs in beside her and the console switches to him; a greeter in between changes
    // nothing while bob is still logged in.
    ASSERT_TRUE(bus.login("b1", bob));
    ASSERT_TRUE(bus.call("Activate", {"string:b1"}));
    ASSERT_TRUE(eventually([&] { return console() == "\"Switch\" \"tvagent-bob\""; })) << console();
    ASSERT_TRUE(monitorOf(bob));
    EXPECT_TRUE(ownedBy(metering, bob) && ownedBy(metering + "/AppRuleData.plist", bob) &&
                ownedBy(agent + "/logs/AppMonitor.log", bob));
    ASSERT_TRUE(bus.login("g1", alice, "greeter") && bus.call("Activate", {"string:g1"}));
    std::this_thread::sleep_for(std::chrono::seconds(1));
    EXPECT_EQ(console(), "\"Switch\" \"tvagent-bob\"");
    EXPECT_TRUE(monitorOf(bob));

    // The daily report runs as the console user, through the agent, and ends normally.
    ChildProcess report({kBin + "/tallyvane-agent", "report", "--agent-folder", agent},
                        bus.environment(), dir.path() + "/report.out");
    EXPECT_EQ(report.waitExit(std::chrono::seconds(60)), 0) << slurp(dir.path() + "/report.out");
    EXPECT_EQ(std::ranges::count(agentLogMessages(agent), "main: Sent 'reset' notification"), 1);

    // Bob logs off: his monitor is stopped, the file says so.
    ASSERT_TRUE(bus.call("Logout", {"string:b1"}));
    ASSERT_TRUE(eventually([&] { return console() == "\"Logoff\" \"tvagent-bob\""; })) << console();
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
