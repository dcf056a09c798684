// The Linux platform layer against the real thing: the Asio loop, real processes under /proc and
// a real D-Bus session bus (run under dbus-run-session).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/FileSystem.h"
#include "platform/linux/LinuxPlatform.h"
#include "platform/linux/PackageVersions.h"
#include "platform/linux/ProcFs.h"
#include "store/DurableFile.h"
#include "support/AppBundle.h"
#include "support/ChildProcess.h"

using namespace std::chrono_literals;
using namespace tallyvane;
using namespace tallyvane::linux_platform;
using namespace tallyvane::test;
using enum tallyvane::WorkspaceEvent;
using enum tallyvane::linux_platform::ProcessEvents;

namespace {

// For the loops whose log no test reads.
DroppingLogSink quiet;

// Runs the loop in 10 ms slices until done() holds; a generous bound turns a lost event into a
// failure instead of a hang. Only the slice timer stops the loop, so none is left pending.
bool runUntil(MainLoop& loop, const std::function<bool()>& done) {
    const auto end = std::chrono::steady_clock::now() + 10s;
    while (!done() && std::chrono::steady_clock::now() < end) {
        loop.postAfter(10ms, [&loop] { loop.stop(); });
        loop.run();
    }
    return done();
}

std::optional<RunningApplication> findRunning(Workspace& workspace, pid_t pid) {
    const auto apps = workspace.runningApplications();
    EXPECT_TRUE(std::ranges::is_sorted(apps, {}, &RunningApplication::processIdentifier));
    for (const auto& app : apps)
        if (app.processIdentifier == pid) return app;
    return std::nullopt;
}

// Sets an environment variable for the scope.
struct ScopedEnv {
    ScopedEnv(const char* name, const std::string& value) : name(name) {
        if (const char* was = std::getenv(name)) old = was;
        setenv(name, value.c_str(), 1);
    }
    ~ScopedEnv() { old ? setenv(name, old->c_str(), 1) : unsetenv(name); }
    const char* name;
    std::optional<std::string> old;
};

}  // namespace

// Posts from another thread are the process watcher's, in WorkspaceEvents.
TEST(MainLoop, RunsTasksInOrderTimersAndOneThatRaises) {
    MemoryLogSink log;
    auto loop = makeMainLoop(log);
    std::vector<std::string> seen;
    loop->post([&] { seen.push_back("a"); });
    loop->postAfter(0ms, [] { throw std::runtime_error("a task that raises"); });
    loop->postAfter(30ms, [&] { seen.push_back("later"); });
    loop->post([&] { seen.push_back("b"); });
    int ticks = 0;
    loop->every(5ms, [&] { ++ticks; });
    ASSERT_TRUE(runUntil(*loop, [&] { return seen.size() == 3 && ticks >= 3; }));
    EXPECT_EQ(seen, (std::vector<std::string>{"a", "b", "later"}));
    EXPECT_EQ(log.lines(), std::vector<std::string>{"MainLoop: a task raised: a task that raises"});
}

TEST(DistributedNotificationCenter, DeliversByNameAndFailsWithoutABus) {
    MemoryLogSink log;
    auto loop = makeMainLoop(log);
    auto center = makeDistributedNotificationCenter(*loop, log);
    int resets = 0, quoted = 0;
    ASSERT_TRUE(center->addObserver("reset", [&] { ++resets; }));
    // A quote cannot go into the bus's match rule, so this one is filtered on our side.
    ASSERT_TRUE(center->addObserver("it's", [&] { ++quoted; }));
    // Another process's signal (dbus-send) is in monitor_e2e, which resets by hand.
    ASSERT_TRUE(center->post("resetting") && center->post("it's") && center->post("reset"));
    runUntil(*loop, [&] { return resets >= 1 && quoted >= 1; });
    EXPECT_EQ(std::pair(resets, quoted), std::pair(1, 1));

    const ScopedEnv busless("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/tallyvane-bus");
    auto none = makeDistributedNotificationCenter(*loop, log);
    EXPECT_FALSE(none->post("reset") || none->addObserver("reset", [] {}));
    // Each failure said once, with the bus's reason; the delivery above said nothing.
    const auto said = log.lines();
    ASSERT_EQ(said.size(), 2u);
    EXPECT_TRUE(said[0].starts_with(
        "DistributedNotificationCenter: cannot post \"reset\" on the session bus: "));
    EXPECT_TRUE(said[1].starts_with(
        "DistributedNotificationCenter: cannot observe \"reset\" on the session bus: "));
}

class WorkspaceEvents : public ::testing::TestWithParam<ProcessEvents> {
  protected:
    // One set-up for every event test, so each checks its mode and the main thread alike.
    bool watch(std::chrono::milliseconds scanPeriod,
               std::function<void(WorkspaceEvent, const RunningApplication&)> heard) {
        workspace = makeWorkspace(*loop, {.events = GetParam(), .scanPeriod = scanPeriod});
        const bool connector = workspaceUsesConnector(*workspace);
        if (GetParam() == Connector && !connector) return false;
        EXPECT_EQ(connector, GetParam() == Connector);
        for (auto event : {DidLaunchApplication, DidTerminateApplication})
            workspace->notificationCenter().addObserver(
                this, event, [heard, event, main = std::this_thread::get_id()](const auto& n) {
                    EXPECT_EQ(std::this_thread::get_id(), main);
                    ASSERT_TRUE(n.application);
                    heard(event, *n.application);
                });
        return true;
    }
    // Where the tests install desktop entries: none but theirs.
    ScratchDir dir;
    const ScopedEnv dataHome{"XDG_DATA_HOME", dir.path() + "/data"};
    const ScopedEnv dataDirs{"XDG_DATA_DIRS", dir.path() + "/none"};
    std::unique_ptr<MainLoop> loop = makeMainLoop(quiet);
    std::unique_ptr<Workspace> workspace;
};

// Real scripts, launchers and bundles, each named by its entry or bundle, started all at once and
// over and over: one launch each, for as long as its window's owner (a copy of sleep) runs.
TEST_P(WorkspaceEvents, WrappersLaunchersAndTheSessionBusGiveOneRunEach) {
    namespace fs = std::filesystem;
    const std::string tag = std::to_string(::getpid()), data = dir.path() + "/data",
                      apps = dir.path() + "/apps";
    // A wrapper script that execs a binary of the same name, a window's owner.
    const std::string wrap = "zqwrap" + tag, binary = apps + "/lib/" + wrap;
    std::map<std::string, std::vector<std::string>> shapes{{wrap, {apps + "/bin/" + wrap}}};
    fs::create_directories(apps + "/lib");
    fs::create_directories(apps + "/bin");
    fs::copy_file("/bin/sleep", binary);
    writeScript(shapes[wrap][0], "exec " + binary + " \"${1:-2}\"\n");
    // A script of a Debian package, run by an interpreter of another; its input starts before it
    // does, so it holds longer than the others to leave the same margin.
    shapes["zgrep"] = {"/bin/sh", "-c", "sleep 2.5 | exec zgrep x"};
    const std::string widget = "Widget Pro " + tag;
    shapes[widget] = {makeBundle(apps, "Widget", {.displayName = widget, .bundleName = "N"}), "2"};
    // A launcher that starts a detached copy of itself and exits at once: its window's owner is
    // no child of what the desktop started.
    const std::string detach = "zqdetach" + tag;
    fs::copy_file("/bin/sleep", apps + "/lib/" + detach + "-window");
    shapes[detach] = {apps + "/bin/" + detach};
    writeScript(shapes[detach][0], "[ \"$1\" = copy ] && exec " + apps + "/lib/" + detach +
                                       "-window 2\n(setsid \"$0\" copy &)\nexit 0\n");
    // A client that asks the session bus to start the server of its entry's bus name: the
    // server is the bus daemon's child.
    const std::string bus = "zqbus" + tag, busName = "org.zqbus.p" + tag;
    fs::copy_file("/bin/sleep", apps + "/lib/" + bus + "-server");
    fs::create_directories(data + "/dbus-1/services");
    std::ofstream(data + "/dbus-1/services/" + busName + ".service")
        << "[D-BUS Service]\nName=" << busName << "\nExec=" << apps << "/lib/" << bus
        << "-server 2\n";
    shapes[bus] = {apps + "/bin/" + bus};
    writeScript(shapes[bus][0], "dbus-send --session --type=method_call --dest=" + busName + " / " +
                                    busName + ".Go\nexit 0\n");
    std::ofstream(dir.path() + "/bus.conf")
        << "<busconfig><include>/usr/share/dbus-1/session.conf</include><servicedir>" << data
        << "/dbus-1/services</servicedir></busconfig>\n";
    // A bus of its own for each round: one that saw its service end unclaimed starts no other.
    const ScopedEnv address("DBUS_SESSION_BUS_ADDRESS", "");
    auto startBus = [&] {
        fs::remove(dir.path() + "/address");
        auto daemon = std::make_unique<ChildProcess>(
            std::vector<std::string>{"/usr/bin/dbus-daemon",
                                     "--config-file=" + dir.path() + "/bus.conf", "--nofork",
                                     "--print-address=1"},
            std::map<std::string, std::string>{}, dir.path() + "/address");
        std::string busAddress;
        EXPECT_TRUE(eventually([&] {
            for (const std::string& line : linesOf(slurp(dir.path() + "/address")))
                if (line.starts_with("unix:")) busAddress = line;
            return !busAddress.empty();
        }));
        ::setenv("DBUS_SESSION_BUS_ADDRESS", busAddress.c_str(), 1);
        return daemon;
    };

    struct Heard {
        WorkspaceEvent event;
        std::chrono::steady_clock::time_point at;
        RunningApplication application;
    };
    std::map<std::string, std::vector<Heard>> heard;
    if (!watch(250ms, [&](auto event, const auto& app) {
            heard[app.localizedName.value_or("")].push_back(
                {event, std::chrono::steady_clock::now(), app});
        }))
        GTEST_SKIP() << "the process event connector cannot be opened here";
    auto settle = [&](std::chrono::milliseconds span) {
        loop->postAfter(span, [&] { loop->stop(); });
        loop->run();
    };
    // Run before its entry is installed, in a folder that comes with it: no application yet.
    ChildProcess(shapes[wrap][0], {"0.2"}).wait();
    settle(400ms);
    EXPECT_TRUE(heard[wrap].empty());
    fs::create_directories(data + "/applications");
    std::ofstream(data + "/applications/" + wrap + ".desktop")
        << "[Desktop Entry]\nType=Application\nExec=" << apps << "/bin/" << wrap << " %U\n";
    std::ofstream(data + "/applications/zq-zgrep.desktop")
        << "[Desktop Entry]\nType=Application\nExec=zgrep\n";
    std::ofstream(data + "/applications/" + detach + ".desktop")
        << "[Desktop Entry]\nType=Application\nExec=" << shapes[detach][0] << " %U\n";
    std::ofstream(data + "/applications/" + busName + ".desktop")
        << "[Desktop Entry]\nType=Application\nDBusActivatable=true\nExec=" << shapes[bus][0]
        << "\n";
    settle(600ms);
    for (int round = 0; round < 20; ++round) {
        const auto daemon = startBus();
        heard.clear();
        std::map<std::string, std::unique_ptr<ChildProcess>> started;
        for (const auto& [name, command] : shapes)
            started[name] =
                std::make_unique<ChildProcess>(command, std::map<std::string, std::string>{});
        const bool ended = runUntil(*loop, [&] {
            for (const auto& [name, command] : shapes)
                if (heard[name].size() < 2) return false;
            return true;
        });
        settle(300ms);  // nothing else comes
        EXPECT_TRUE(ended);
        for (const auto& [name, command] : shapes) {
            const auto& events = heard[name];
            ASSERT_EQ(events.size(), 2u) << name << " round " << round;
            EXPECT_EQ(events[0].event, DidLaunchApplication) << name;
            EXPECT_EQ(events[1].event, DidTerminateApplication) << name;
            const auto ran = std::chrono::duration<double>(events[1].at - events[0].at).count();
            // Ended at the wrapper's exec it is far shorter.
            EXPECT_GT(ran, 1.2) << name << " round " << round;
            EXPECT_LT(ran, 5.0) << name << " round " << round;
        }
        EXPECT_EQ(heard[widget][0].application.bundleURL, apps + "/Widget.app");
        EXPECT_FALSE(findRunning(*workspace, started[widget]->pid()));
        if (round == 0) {
            // The version of what was launched, not of the shell that runs it.
            ChildProcess query({"/usr/bin/dpkg-query", "-W", "-f", "${Version}", "gzip"}, {},
                               dir.path() + "/gzip");
            EXPECT_EQ(query.waitExit(), 0);
            EXPECT_EQ(PackageVersions().versionOf(heard["zgrep"][0].application),
                      slurp(dir.path() + "/gzip"));
        }
    }
    if (GetParam() == Connector) {
        // A process that lives 50 ms is still seen to come and go.
        heard.clear();
        ChildProcess brief(shapes[widget][0], {"0.05"});
        brief.wait();
        ASSERT_TRUE(runUntil(*loop, [&] { return heard[widget].size() == 2; }));
        EXPECT_EQ(heard[widget][0].application.processIdentifier, brief.pid());
    }
}

// The desktop started the application in a unit of its entry's: the unit's end is heard at
// once, not at the next scan.
TEST_P(WorkspaceEvents, AUnitsEndIsHeardBeforeTheNextScan) {
    namespace fs = std::filesystem;
    if (GetParam() == Connector) GTEST_SKIP() << "the connector hears the exit itself";
    const std::string tag = std::to_string(::getpid()), name = "zqpad" + tag;
    const auto mount = ProcFs().cgroup2Mount();
    const std::string slice = mount.value_or("") + "/tallyvane-unit-" + tag,
                      scope = slice + "/app-zq\\x2dpad" + tag + "-1.scope";
    if (!mount || !fs::exists(*mount + "/cgroup.procs")) GTEST_SKIP() << "no cgroup2 here";
    fs::create_directories(dir.path() + "/data/applications");
    std::ofstream(dir.path() + "/data/applications/zq-pad" + tag + ".desktop")
        << "[Desktop Entry]\nType=Application\nExec=" << name << "\n";
    std::vector<std::pair<WorkspaceEvent, std::chrono::steady_clock::time_point>> heard;
    if (!watch(5s, [&](auto event, const auto& app) {
            if (app.localizedName == name)
                heard.emplace_back(event, std::chrono::steady_clock::now());
        }))
        GTEST_SKIP() << "the process event connector cannot be opened here";
    if (!fs::create_directories(scope)) GTEST_SKIP() << "no cgroup of the test's own here";
    // Removed also when a check returns early, once the process in it is gone.
    struct Removed {
        std::string scope, slice;
        ~Removed() {
            for (int i = 0; i < 50 && ::rmdir(scope.c_str()) != 0 && errno == EBUSY; ++i)
                std::this_thread::sleep_for(20ms);
            ::rmdir(slice.c_str());
        }
    } removed{scope, slice};
    // A copy of sleep under a name of its own: a program other tests meter is not started here.
    const std::string plain = dir.path() + "/zqplain";
    fs::copy_file("/bin/sleep", plain);
    ChildProcess app(
        {"/bin/sh", "-c", "echo $$ >\"$0/cgroup.procs\"; exec \"$1\" 60", scope, plain}, {});
    ASSERT_TRUE(runUntil(*loop, [&] { return heard.size() == 1; }));
    app.kill();
    ASSERT_TRUE(runUntil(*loop, [&] { return heard.size() == 2; }));
    EXPECT_EQ(heard[1].first, DidTerminateApplication);
    EXPECT_LT(std::chrono::duration<double>(heard[1].second - heard[0].second).count(), 2.5);
}

INSTANTIATE_TEST_SUITE_P(Detection, WorkspaceEvents, ::testing::Values(Scan, Connector),
                         [](const auto& p) { return p.param == Scan ? "Scan" : "Connector"; });

TEST(Workspace, NamesApplicationsByBundleAndExecutable) {
    ScratchDir dir;
    auto loop = makeMainLoop(quiet);
    // The listing alone, without any watching, as report mode makes it.
    auto workspace = makeWorkspace(*loop, {.events = None});
    ChildProcess named(makeBundle(dir.path(), "Named", {.bundleName = "Bundle Name"}), {"60"});
    ChildProcess bare(makeBundle(dir.path(), "Bare", {.writeInfoPlist = false}), {"60"});
    // Not a bundle: the executable's file name, also after the file has been deleted.
    const std::string tool = dir.path() + "/plain tool";
    std::filesystem::copy_file("/bin/sleep", tool);
    workspace->meterApplicationsNamed({"plain tool"});
    ChildProcess plain(tool, {"60"});
    const std::map<pid_t, std::string> expected{
        {named.pid(), "Bundle Name"}, {bare.pid(), "Bare"}, {plain.pid(), "plain tool"}};
    auto names = [&] {
        std::map<pid_t, std::string> got;
        for (const auto& [pid, name] : expected)
            if (auto app = findRunning(*workspace, pid)) got[pid] = app->localizedName.value_or("");
        return got;
    };
    ASSERT_TRUE(eventually([&] { return names() == expected; }));  // each exec has finished
    std::filesystem::remove(tool);
    EXPECT_EQ(names(), expected);
    EXPECT_EQ(findRunning(*workspace, bare.pid()).value().bundleURL, dir.path() + "/Bare.app");
    EXPECT_FALSE(findRunning(*workspace, plain.pid()).value().bundleURL);
}

TEST(ProcessTable, StartTimeOfALiveProcessAndNothingForAGoneOne) {
    auto table = makeProcessTable();
    const auto before = std::time(nullptr);
    ChildProcess child("/bin/sleep", {"60"});
    const auto started = table->startTime(child.pid());
    ASSERT_TRUE(started);
    EXPECT_NEAR(*started, before, 2.0);
    EXPECT_NE(*started, std::floor(*started));
    child.kill();
    EXPECT_FALSE(table->startTime(child.pid()) || table->startTime(-1));
}

TEST(PosixFiles, ACopyAcrossFileSystemsGoesThroughABufferAndLeavesExactlyTheSource) {
    // The kernel refuses to copy from one file system type to another, which sends the copy
    // through the buffered path.
    ScratchDir dir;
    struct stat shm = {}, scratch = {};
    if (::stat("/dev/shm", &shm) != 0 || ::stat(dir.path().c_str(), &scratch) != 0 ||
        shm.st_dev == scratch.st_dev)
        GTEST_SKIP() << "no second file system at /dev/shm";
    std::string source = "/dev/shm/tallyvane-copy-XXXXXX";
    const int fd = ::mkstemp(source.data());
    ASSERT_GE(fd, 0);
    ::close(fd);
    std::string bytes;
    for (int i = 0; bytes.size() < 200'000; ++i) bytes += std::to_string(i * 7919) + '\n';
    FileSystem& files = posixFileSystem();
    ASSERT_TRUE(files.overwrite(source, bytes));
    const std::string target = dir.path() + "/target";
    ASSERT_TRUE(store::writeWhole(files, target, std::string(500'000, 'x')));
    const Status copied = files.copyInto(target, source);
    ::unlink(source.c_str());
    ASSERT_TRUE(copied) << copied.description();
    EXPECT_EQ(*files.readFile(target), bytes);
}
