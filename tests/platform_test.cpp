// The Linux platform layer against the real thing: the Asio loop, real processes under /proc and
// a real D-Bus session bus (run under dbus-run-session).
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <thread>

#include "platform/linux/LinuxPlatform.h"
#include "support/AppBundle.h"
#include "support/ChildProcess.h"

using namespace std::chrono_literals;
using namespace tallyvane;
using namespace tallyvane::linux_platform;
using tallyvane::test::BundleInfo;
using tallyvane::test::ChildProcess;
using tallyvane::test::makeBundle;
using tallyvane::test::ScratchDir;

namespace {

// Runs the loop until a task stops it, or gives up after a generous bound so a lost event fails
// the test instead of hanging it. A fresh loop per use: its timers are never cancelled.
void runAtMost(MainLoop& loop, std::chrono::milliseconds bound = 10s) {
    loop.postAfter(bound, [&loop] { loop.stop(); });
    loop.run();
}

// Runs the loop until done() holds (checked every few milliseconds) or a generous bound passes;
// true when done() came to hold.
bool runUntil(MainLoop& loop, const std::function<bool()>& done) {
    static int generation = 0;
    const int mine = ++generation;
    bool finished = false;
    auto check = std::make_shared<std::function<void()>>();
    *check = [&, mine, check] {
        if (mine != generation) return;
        if (done()) {
            finished = true;
            loop.stop();
        } else {
            loop.postAfter(5ms, *check);
        }
    };
    loop.post(*check);
    loop.postAfter(10s, [&loop, mine] {
        if (mine == generation) loop.stop();
    });
    loop.run();
    ++generation;  // retire this wait's pending checks and bound
    *check = nullptr;
    return finished;
}

struct Seen {
    WorkspaceEvent event;
    RunningApplication application;
};

struct Recorder {
    std::vector<Seen> seen;
    explicit Recorder(Workspace& workspace) {
        for (auto event :
             {WorkspaceEvent::DidLaunchApplication, WorkspaceEvent::DidTerminateApplication})
            workspace.notificationCenter().addObserver(
                this, event, [this, event](const WorkspaceNotification& n) {
                    ASSERT_TRUE(n.application);
                    seen.push_back({event, *n.application});
                });
    }
    std::vector<Seen> of(pid_t pid) const {
        std::vector<Seen> mine;
        for (const auto& s : seen)
            if (s.application.processIdentifier == pid) mine.push_back(s);
        return mine;
    }
    bool has(WorkspaceEvent event, pid_t pid, const std::string& name) const {
        return std::any_of(seen.begin(), seen.end(), [&](const Seen& s) {
            return s.event == event && s.application.processIdentifier == pid &&
                   s.application.localizedName == name;
        });
    }
};

std::optional<RunningApplication> findRunning(Workspace& workspace, pid_t pid) {
    const auto apps = workspace.runningApplications();
    EXPECT_TRUE(std::is_sorted(apps.begin(), apps.end(), [](const auto& a, const auto& b) {
        return a.processIdentifier < b.processIdentifier;
    }));
    for (const auto& app : apps)
        if (app.processIdentifier == pid) return app;
    return std::nullopt;
}

}  // namespace

TEST(MainLoop, RunsTasksInOrderAndTimersFromAnyThread) {
    auto loop = makeMainLoop();
    std::vector<std::string> seen;
    loop->post([&] { seen.push_back("a"); });
    loop->post([&] { seen.push_back("b"); });
    loop->postAfter(30ms, [&] { seen.push_back("later"); });
    loop->postAfter(0ms, [&] { throw std::runtime_error("a task that raises"); });
    int ticks = 0;
    loop->every(5ms, [&] {
        if (++ticks == 3) {
            seen.push_back("third tick");
            // Posted from another thread while the loop runs.
            std::thread([&] { loop->post([&] { seen.push_back("from thread"); }); }).join();
        }
    });
    loop->postAfter(200ms, [&] { loop->stop(); });
    runAtMost(*loop);
    ASSERT_GE(seen.size(), 5u);
    EXPECT_EQ(seen[0], "a");
    EXPECT_EQ(seen[1], "b");
    EXPECT_NE(std::find(seen.begin(), seen.end(), "later"), seen.end());
    auto third = std::find(seen.begin(), seen.end(), "third tick");
    ASSERT_NE(third, seen.end());
    EXPECT_NE(std::find(third, seen.end(), "from thread"), seen.end());
    EXPECT_GE(ticks, 3);
}

TEST(DistributedNotificationCenter, DeliversByNameWithinAndAcrossProcesses) {
    auto loop = makeMainLoop();
    auto center = makeDistributedNotificationCenter(*loop);
    std::vector<std::string> seen;
    int resets = 0;
    ASSERT_TRUE(center->addObserver("reset", [&] {
        seen.push_back("reset");
        if (++resets == 2) loop->stop();
    }));
    ASSERT_TRUE(center->addObserver("it's", [&] { seen.push_back("it's"); }));
    // Other names, including one that only begins like the observed one, do not arrive.
    ASSERT_TRUE(center->post("resetting"));
    ASSERT_TRUE(center->post("it's"));
    ASSERT_TRUE(center->post("reset"));
    // The same signal posted by hand from another process.
    loop->postAfter(100ms, [] {
        ASSERT_EQ(0, std::system("dbus-send --session --type=signal "
                                 "/org/tallyvane/DistributedNotificationCenter "
                                 "org.tallyvane.DistributedNotificationCenter.Notification "
                                 "string:reset"));
    });
    runAtMost(*loop);
    std::erase(seen, "it's");
    EXPECT_EQ(seen, (std::vector<std::string>{"reset", "reset"}));
}

TEST(DistributedNotificationCenter, WithoutASessionBusFailsWithALogLineOnly) {
    const char* saved = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    std::optional<std::string> previous = saved ? std::optional<std::string>(saved) : std::nullopt;
    setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/tallyvane-bus", 1);
    auto loop = makeMainLoop();
    auto center = makeDistributedNotificationCenter(*loop);
    testing::internal::CaptureStderr();
    EXPECT_FALSE(center->post("reset"));
    EXPECT_FALSE(center->addObserver("reset", [] {}));
    const std::string log = testing::internal::GetCapturedStderr();
    if (previous)
        setenv("DBUS_SESSION_BUS_ADDRESS", previous->c_str(), 1);
    else
        unsetenv("DBUS_SESSION_BUS_ADDRESS");
    EXPECT_NE(log.find("cannot post \"reset\""), std::string::npos) << log;
    EXPECT_NE(log.find("cannot observe \"reset\""), std::string::npos) << log;
}

class WorkspaceEvents : public ::testing::TestWithParam<ProcessEvents> {};

TEST_P(WorkspaceEvents, LaunchExecAndTerminationArriveOnTheMainLoop) {
    ScratchDir dir;
    const std::string exe =
        makeBundle(dir.path(), "Widget", {.displayName = "Widget Pro", .bundleName = "WidgetN"});
    auto loop = makeMainLoop();
    auto workspace = makeWorkspace(*loop, {.events = GetParam(), .scanPeriod = 20ms});
    const bool connector = workspaceUsesConnector(*workspace);
    if (GetParam() == ProcessEvents::Connector && !connector)
        GTEST_SKIP() << "the process event connector cannot be opened here";
    EXPECT_EQ(connector, GetParam() == ProcessEvents::Connector);
    Recorder recorder(*workspace);
    const auto mainThread = std::this_thread::get_id();
    workspace->notificationCenter().addObserver(
        &mainThread, WorkspaceEvent::DidLaunchApplication,
        [&](const WorkspaceNotification&) { EXPECT_EQ(std::this_thread::get_id(), mainThread); });

    ChildProcess app(exe, {"60"});
    const pid_t pid = app.pid();
    ASSERT_TRUE(runUntil(*loop, [&] {
        return recorder.has(WorkspaceEvent::DidLaunchApplication, pid, "Widget Pro");
    }));
    const auto running = findRunning(*workspace, pid);
    ASSERT_TRUE(running);
    EXPECT_EQ(running->localizedName, "Widget Pro");
    EXPECT_EQ(running->bundleURL, dir.path() + "/Widget.app");
    const auto launched = recorder.of(pid).back().application;
    EXPECT_EQ(launched.bundleURL, dir.path() + "/Widget.app");

    app.kill();
    ASSERT_TRUE(runUntil(*loop, [&] {
        return recorder.has(WorkspaceEvent::DidTerminateApplication, pid, "Widget Pro");
    }));
    EXPECT_FALSE(findRunning(*workspace, pid));

    // The same PID turning into the application by exec: the shell ends, the application starts.
    ChildProcess shell("/bin/sh", {"-c", "read line </dev/null; sleep 0.2; exec " + exe + " 60"});
    const pid_t shellPid = shell.pid();
    ASSERT_TRUE(runUntil(*loop, [&] {
        return recorder.has(WorkspaceEvent::DidLaunchApplication, shellPid, "Widget Pro");
    }));
    const auto events = recorder.of(shellPid);
    ASSERT_GE(events.size(), 3u);
    EXPECT_EQ(events[events.size() - 2].event, WorkspaceEvent::DidTerminateApplication);
    EXPECT_NE(events[events.size() - 2].application.localizedName, "Widget Pro");
    EXPECT_EQ(events.front().event, WorkspaceEvent::DidLaunchApplication);

    if (connector) {
        // A process that lives 50 ms is still seen to come and go.
        ChildProcess brief(exe, {"0.05"});
        const pid_t briefPid = brief.pid();
        brief.wait();
        EXPECT_TRUE(runUntil(*loop, [&] {
            return recorder.has(WorkspaceEvent::DidLaunchApplication, briefPid, "Widget Pro") &&
                   recorder.has(WorkspaceEvent::DidTerminateApplication, briefPid, "Widget Pro");
        }));
    }
}

INSTANTIATE_TEST_SUITE_P(Detection, WorkspaceEvents,
                         ::testing::Values(ProcessEvents::Scan, ProcessEvents::Connector),
                         [](const auto& info) {
                             return info.param == ProcessEvents::Scan ? "Scan" : "Connector";
                         });

TEST(Workspace, NamesApplicationsByBundleAndExecutable) {
    ScratchDir dir;
    auto loop = makeMainLoop();
    auto workspace = makeWorkspace(*loop, {.events = ProcessEvents::Scan});
    ChildProcess named(makeBundle(dir.path(), "Named", {.bundleName = "Bundle Name"}), {"60"});
    ChildProcess bare(makeBundle(dir.path(), "Bare", {.writeInfoPlist = false}), {"60"});
    // Not a bundle: the executable's file name, also after the file has been deleted.
    const std::string tool = dir.path() + "/plain tool";
    std::filesystem::copy_file("/bin/sleep", tool);
    std::filesystem::permissions(tool, std::filesystem::perms::owner_all);
    ChildProcess plain(tool, {"60"});
    // A hostile Info.plist falls back to the bundle directory's name.
    const std::string junkExe = makeBundle(dir.path(), "Junk", {.writeInfoPlist = false});
    {
        std::FILE* junk = std::fopen((dir.path() + "/Junk.app/Contents/Info.plist").c_str(), "w");
        ASSERT_TRUE(junk);
        std::fputs("<?xml version=\"1.0\"?><plist><dict><key>CFBundleName</key>", junk);
        std::fclose(junk);
    }
    ChildProcess junk(junkExe, {"60"});
    std::this_thread::sleep_for(100ms);  // let each exec finish before looking
    std::filesystem::remove(tool);

    const auto a = findRunning(*workspace, named.pid());
    ASSERT_TRUE(a);
    EXPECT_EQ(a->localizedName, "Bundle Name");
    const auto b = findRunning(*workspace, bare.pid());
    ASSERT_TRUE(b);
    EXPECT_EQ(b->localizedName, "Bare");
    EXPECT_EQ(b->bundleURL, dir.path() + "/Bare.app");
    const auto c = findRunning(*workspace, plain.pid());
    ASSERT_TRUE(c);
    EXPECT_EQ(c->localizedName, "plain tool");
    EXPECT_FALSE(c->bundleURL);
    const auto d = findRunning(*workspace, junk.pid());
    ASSERT_TRUE(d);
    EXPECT_EQ(d->localizedName, "Junk");
    // Kernel threads (kthreadd is PID 2 on a host) are no applications.
    EXPECT_FALSE(findRunning(*workspace, 2));
}

TEST(ProcessTable, StartTimeOfALiveProcessAndNothingForAGoneOne) {
    auto table = makeProcessTable();
    const double before =
        std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    ChildProcess child("/bin/sleep", {"60"});
    const pid_t pid = child.pid();
    const auto started = table->startTime(pid);
    ASSERT_TRUE(started);
    EXPECT_NEAR(*started, before, 2.0);
    EXPECT_NE(*started, std::floor(*started));
    child.kill();
    EXPECT_FALSE(table->startTime(pid));
    EXPECT_FALSE(table->startTime(-1));
    EXPECT_FALSE(table->startTime(0));
}
