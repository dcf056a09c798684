// The process tracker on a made-up /proc tree, fed scripted kernel events and scans.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/linux/ProcessTracker.h"
#include "support/ChildProcess.h"

namespace tallyvane::test {
namespace {

namespace fs = std::filesystem;
using linux_platform::ApplicationCatalog;
using linux_platform::ProcessTracker;
using linux_platform::ProcFs;
using enum WorkspaceEvent;

// A /proc tree whose processes the test starts, execs and ends by writing their files.
class FakeProc {
  public:
    const std::string& root() const { return dir_.path(); }
    void start(pid_t pid, std::uint64_t ticks, const std::string& exe, pid_t parent = 1,
               uid_t uid = ::getuid(), const std::string& script = "") {
        fs::create_directories(folder(pid));
        write(pid, "status", "Name:\tx\nUid:\t" + std::to_string(uid) + "\t0\t0\t0\n");
        ticks_[pid] = ticks;
        parents_[pid] = parent;
        lastPid(pid);
        fs::create_directory_symlink(root(), folder(pid) + "/cwd");
        exec(pid, exe, script);
    }
    // The same process (same start) now runs exe; with a script, through that script's #! line.
    // Halfway, the kernel has named it but not yet set up its arguments.
    void exec(pid_t pid, const std::string& exe, const std::string& script = "",
              bool halfway = false) {
        const std::string comm =
            fs::path(script.empty() ? exe : script).filename().string().substr(0, 15);
        std::string stat =
            std::to_string(pid) + " (" + comm + ") S " + std::to_string(parents_[pid]);
        for (int field = 5; field <= 21; ++field) stat += " 0";
        write(pid, "stat", stat + " " + std::to_string(ticks_[pid]) + " 0 0\n");
        write(pid, "comm", comm + "\n");
        write(pid, "cmdline",
              halfway ? "" : exe + std::string(1, '\0') + script + std::string(1, '\0'));
        fs::remove(folder(pid) + "/exe");
        fs::create_symlink(exe, folder(pid) + "/exe");
    }
    // As the kernel does when the parent ends first.
    void reparent(pid_t pid, pid_t parent) {
        parents_[pid] = parent;
        const std::string exe = fs::read_symlink(folder(pid) + "/exe");
        exec(pid, exe);
    }
    // A stat file held open reads nothing once its process is gone, as the kernel's does.
    void end(pid_t pid) {
        fs::resize_file(folder(pid) + "/stat", 0);
        fs::remove_all(folder(pid));
    }
    void lastPid(pid_t pid) {
        std::ofstream(root() + "/loadavg") << "0.00 0.00 0.00 1/99 " << pid << "\n";
    }
    // Puts the process in a Flatpak sandbox, as its root shows it.
    void sandbox(pid_t pid, const std::string& id) {
        fs::create_directories(folder(pid) + "/root");
        std::ofstream(folder(pid) + "/root/.flatpak-info") << "[Application]\nname=" << id << "\n";
    }
    std::string script(const std::string& name) {
        std::ofstream(root() + "/" + name) << "#!/bin/sh\nexit 0\n";
        return root() + "/" + name;
    }

  private:
    std::string folder(pid_t pid) const { return root() + "/" + std::to_string(pid); }
    void write(pid_t pid, const char* file, const std::string& text) {
        // In place, as the kernel's files change: a held-open stat file sees the new text.
        std::fstream(folder(pid) + "/" + file, std::ios::in | std::ios::out | std::ios::trunc)
            << text;
        if (!fs::exists(folder(pid) + "/" + file)) std::ofstream(folder(pid) + "/" + file) << text;
    }
    ScratchDir dir_;
    std::map<pid_t, std::uint64_t> ticks_;
    std::map<pid_t, pid_t> parents_;
};

struct Seen {
    WorkspaceEvent event;
    pid_t pid;
    std::string name;
    bool operator==(const Seen&) const = default;
};

void PrintTo(const Seen& s, std::ostream* out) {
    *out << (s.event == DidLaunchApplication ? "launch " : "end ") << s.pid << " " << s.name;
}

// No desktop entries: these programs are applications by their metered names.
ApplicationCatalog metering(const std::vector<std::string>& names) {
    ApplicationCatalog catalog({});
    catalog.meter(names);
    return catalog;
}

class Tracker : public ::testing::TestWithParam<std::size_t> {
  protected:
    FakeProc proc;
    ProcFs procFs{proc.root()};
    std::vector<Seen> seen;
    ApplicationCatalog catalog =
        metering({"Editor", "Chat", "Late", "Other", "true", "run-me", "not-there"});
    ProcessTracker tracker{procFs, catalog, ::getuid(), GetParam(),
                           [this](WorkspaceEvent e, const RunningApplication& app) {
                               seen.push_back({e, app.processIdentifier, *app.localizedName});
                           }};
    std::vector<Seen> take() { return std::exchange(seen, {}); }
};

TEST_P(Tracker, APidIsKnownByItsStartTime) {
    proc.start(100, 500, "/apps/Editor");
    proc.start(101, 500, "/apps/Other", 1, ::getuid() + 1);  // another user's: never an application
    tracker.scan(false);
    EXPECT_TRUE(take().empty());  // what ran before is not launched

    // Another fork event for the same process changes nothing ...
    tracker.forked(100);
    EXPECT_TRUE(take().empty());
    // ... but the PID reused by a new process of the same program is an end and a launch.
    proc.end(100);
    proc.start(100, 900, "/apps/Editor");
    tracker.forked(100);
    EXPECT_EQ(take(), (std::vector<Seen>{{DidTerminateApplication, 100, "Editor"},
                                         {DidLaunchApplication, 100, "Editor"}}));
    // The same seen by a scan alone, events lost.
    proc.end(100);
    proc.start(100, 1300, "/apps/Editor");
    proc.lastPid(100);
    tracker.scan(true);
    EXPECT_EQ(take(), (std::vector<Seen>{{DidTerminateApplication, 100, "Editor"},
                                         {DidLaunchApplication, 100, "Editor"}}));
    tracker.exited(101);
    EXPECT_TRUE(take().empty());
}

TEST_P(Tracker, ExecInPlaceAndEndsAreSeenByEventsAndByScans) {
    proc.lastPid(200);
    proc.start(200, 10, "/bin/sh");
    tracker.scan(false);
    proc.exec(200, "/apps/Widget.app/Contents/MacOS/Widget");
    tracker.execed(200);
    EXPECT_EQ(take(), (std::vector<Seen>{{DidLaunchApplication, 200, "Widget"}}));
    // Exec again with no event: the scan finds it without listing /proc (no PID was handed out).
    proc.exec(200, "/bin/true");
    tracker.scan(true);
    EXPECT_EQ(take(), (std::vector<Seen>{{DidTerminateApplication, 200, "Widget"},
                                         {DidLaunchApplication, 200, "true"}}));
    // A scan that comes in the middle of an exec into a script looks again on the next one.
    proc.exec(200, "/bin/sh", proc.script("run-me"), true);
    tracker.scan(true);
    EXPECT_EQ(take(), (std::vector<Seen>{{DidTerminateApplication, 200, "true"}}));
    proc.exec(200, "/bin/sh", proc.root() + "/run-me");
    tracker.scan(true);
    EXPECT_EQ(take(), (std::vector<Seen>{{DidLaunchApplication, 200, "run-me"}}));
    proc.exec(200, "/bin/true");
    tracker.scan(true);
    take();
    // Processes started and ended while events were lost: the next listing tells.
    proc.start(201, 20, "/apps/Late");
    proc.lastPid(201);
    proc.end(200);
    tracker.scan(true);
    EXPECT_EQ(take(), (std::vector<Seen>{{DidTerminateApplication, 200, "true"},
                                         {DidLaunchApplication, 201, "Late"}}));
    proc.end(201);
    tracker.exited(201);
    tracker.exited(201);  // an exit seen twice ends it once
    EXPECT_EQ(take(), (std::vector<Seen>{{DidTerminateApplication, 201, "Late"}}));
    EXPECT_EQ(tracker.known(), 0u);
}

// How the tracker hears of a workload: each event as it happens; each event after the whole
// step has happened (a fork read after the child's exec, an exit after the reparenting); a step's
// events received together after it; by scans alone; or with some steps' events lost and a
// rescan.
enum class Hearing { AtOnce, Late, Batched, Scans, SomeLost };

using Event = ProcessTracker::Event;

struct Step {
    std::function<void()> change;
    std::function<void(ProcessTracker&)> event;
    std::vector<Event> events;
};

class Workload : public ::testing::TestWithParam<std::tuple<Hearing, std::size_t>> {
  protected:
    FakeProc proc;
    ProcFs procFs{proc.root()};
    std::vector<Seen> seen;
    ApplicationCatalog catalog = metering({"Editor", "tool.sh", "true"});
    ProcessTracker tracker{procFs, catalog, ::getuid(), std::get<1>(GetParam()),
                           [this](WorkspaceEvent e, const RunningApplication& app) {
                               seen.push_back({e, app.processIdentifier, *app.localizedName});
                           }};
    std::vector<Seen> run(const std::vector<Step>& steps) {
        const Hearing hearing = std::get<0>(GetParam());
        for (std::size_t i = 0; i < steps.size(); ++i) {
            steps[i].change();
            if (hearing == Hearing::Scans || (hearing == Hearing::SomeLost && i % 3 == 1))
                tracker.scan(true);
            else if (hearing == Hearing::Batched)
                tracker.received(steps[i].events);
            else if (steps[i].event)
                steps[i].event(tracker);
        }
        return std::exchange(seen, {});
    }
    // The events of several steps, delivered after all of them happened when heard late.
    Step together(std::vector<Step> steps) {
        std::vector<Event> events;
        for (const auto& step : steps)
            events.insert(events.end(), step.events.begin(), step.events.end());
        if (std::get<0>(GetParam()) == Hearing::Batched) {
            return {[steps] {
                        for (const auto& step : steps) step.change();
                    },
                    {},
                    events};
        }
        if (std::get<0>(GetParam()) != Hearing::Late) {
            return {[steps, this] {
                        for (const auto& step : steps) {
                            step.change();
                            if (step.event) step.event(tracker);
                        }
                    },
                    {},
                    events};
        }
        return {[steps] {
                    for (const auto& step : steps) step.change();
                },
                [steps](ProcessTracker& t) {
                    for (const auto& step : steps)
                        if (step.event) step.event(t);
                },
                events};
    }
    // A fork of a script's process runs that script too.
    Step fork(pid_t pid, pid_t parent, std::uint64_t ticks, const std::string& exe,
              const std::string& script = "") {
        return {[=, this] { proc.start(pid, ticks, exe, parent, ::getuid(), script); },
                [=](ProcessTracker& t) { t.forked(pid, parent); },
                {{Event::Fork, pid, parent}}};
    }
    Step exec(pid_t pid, const std::string& exe, const std::string& script = "") {
        return {[=, this] { proc.exec(pid, exe, script); },
                [=](ProcessTracker& t) { t.execed(pid); },
                {{Event::Exec, pid}}};
    }
    Step end(pid_t pid) {
        return {[=, this] { proc.end(pid); },
                [=](ProcessTracker& t) { t.exited(pid); },
                {{Event::Exit, pid}}};
    }
};

TEST_P(Workload, EveryWayOfHearingGivesTheSameInstances) {
    const std::string tool = proc.script("tool.sh");
    proc.start(10, 1, "/bin/bash");  // the user's shell, running before the tracker
    tracker.scan(false);
    const auto steps = std::vector<Step>{
        fork(300, 10, 100, "/bin/bash"),
        together({exec(300, "/apps/Editor"),
                  // Its helpers: a fork, and a fork that runs a shell that runs the editor.
                  fork(301, 300, 101, "/apps/Editor"), fork(302, 300, 102, "/apps/Editor")}),
        together({exec(302, "/bin/sh"), fork(303, 302, 103, "/bin/sh")}),
        exec(303, "/apps/Editor"),
        // The same application started again from the shell is a second launch.
        together({fork(304, 10, 104, "/bin/bash"), exec(304, "/apps/Editor")}),
        // The main process ends; its helpers live on, fork, and end, all uncounted.
        {[this] {
             proc.end(300);
             proc.reparent(301, 1);
         },
         [](ProcessTracker& t) { t.exited(300); },
         {{Event::Exit, 300}}},
        fork(305, 301, 105, "/apps/Editor"),
        end(301),
        // A #! script is its script's application; its subshells belong to it.
        together({fork(306, 10, 106, "/bin/bash"), exec(306, "/bin/sh", tool),
                  fork(307, 306, 107, "/bin/sh", tool)}),
        together({fork(308, 307, 108, "/bin/sh", tool), exec(308, "/usr/bin/true")}),
        together({end(308), end(307), end(306)}),
        end(304),
    };
    EXPECT_EQ(run(steps), (std::vector<Seen>{{DidLaunchApplication, 300, "Editor"},
                                             {DidLaunchApplication, 304, "Editor"},
                                             {DidTerminateApplication, 300, "Editor"},
                                             {DidLaunchApplication, 306, "tool.sh"},
                                             {DidLaunchApplication, 308, "true"},
                                             {DidTerminateApplication, 308, "true"},
                                             {DidTerminateApplication, 306, "tool.sh"},
                                             {DidTerminateApplication, 304, "Editor"}}));
    // The shells are no applications, and the editors left run for an instance that ended.
    EXPECT_TRUE(tracker.instances().empty());
}

std::string hearingName(const ::testing::TestParamInfo<Workload::ParamType>& info) {
    static const char* const names[] = {"AtOnce", "Late", "Batched", "Scans", "SomeLost"};
    return std::string(names[static_cast<int>(std::get<0>(info.param))]) +
           (std::get<1>(info.param) ? "HeldOpen" : "ByPath");
}

INSTANTIATE_TEST_SUITE_P(Hearings, Workload,
                         ::testing::Combine(::testing::Values(Hearing::AtOnce, Hearing::Late,
                                                              Hearing::Batched, Hearing::Scans,
                                                              Hearing::SomeLost),
                                            ::testing::Values(0, 64)),
                         hearingName);

TEST_P(Tracker, ParentsAreThoseThatStartedAProcess) {
    proc.start(400, 1, "/apps/Chat");
    tracker.scan(false);
    // The helper forks, the main process quits at once and the helper is given to init; the
    // fork's event names the parent.
    proc.start(401, 2, "/apps/Chat", 400);
    proc.end(400);
    proc.reparent(401, 1);
    tracker.forked(401, 400);
    tracker.exited(400);
    EXPECT_EQ(take(), (std::vector<Seen>{{DidTerminateApplication, 400, "Chat"}}));
    // A script is named by its path relative to the process's folder, and a process that renamed
    // itself is not taken for a script.
    proc.script("run-me");
    proc.start(402, 3, "/bin/sh");
    proc.exec(402, "/bin/sh", "./run-me");
    proc.start(403, 4, "/bin/sh");
    proc.exec(403, "/bin/sh", "not-there");
    tracker.forked(402);
    tracker.forked(403);
    EXPECT_EQ(take(), (std::vector<Seen>{{DidLaunchApplication, 402, "run-me"}}));
    // PIDs wrapped round: a scan lists the child before its parent.
    proc.start(450, 5, "/apps/Chat");
    proc.start(50, 6, "/apps/Chat", 450);
    tracker.scan(true);
    EXPECT_EQ(take(), (std::vector<Seen>{{DidLaunchApplication, 450, "Chat"}}));
    // A bundle's main process that execs another executable of its bundle stays one launch.
    proc.start(460, 7, "/apps/Suite.app/Contents/MacOS/launcher");
    tracker.forked(460);
    proc.exec(460, "/apps/Suite.app/Contents/MacOS/suite-bin");
    tracker.execed(460);
    proc.end(460);
    tracker.exited(460);
    EXPECT_EQ(take(), (std::vector<Seen>{{DidLaunchApplication, 460, "Suite"},
                                         {DidTerminateApplication, 460, "Suite"}}));
}

TEST_P(Tracker, OnlyApplicationsHaveInstances) {
    // The user's desktop entries hide the system's of the same id; a FIFO among them is skipped.
    ScratchDir data;
    const std::string user = data.path() + "/user", system = data.path() + "/system";
    fs::create_directories(user);
    fs::create_directories(system + "/vendor");
    auto program = [&](const std::string& name) {
        const std::string path = data.path() + "/" + name;
        std::ofstream(path) << "binary";
        fs::permissions(path, fs::perms::owner_all);
        return fs::canonical(path).string();
    };
    const std::string viewer = program("Viewer"), hidden = program("Hidden"),
                      later = program("Later");
    std::ofstream(system + "/vendor/viewer.desktop")
        << "[Desktop Entry]\nType=Application\nExec=env LANG=C sh -c \"exec '" << viewer
        << "' --new\" %U\n";
    std::ofstream(system + "/hidden.desktop")
        << "[Desktop Entry]\nType=Application\nExec=" << hidden << "\n";
    std::ofstream(user + "/hidden.desktop") << "[Desktop Entry]\nHidden=true\n";
    ASSERT_EQ(::mkfifo((user + "/stuck.desktop").c_str(), 0600), 0);
    ApplicationCatalog entries({user, system});
    ProcessTracker desktop{procFs, entries, ::getuid(), GetParam(),
                           [this](WorkspaceEvent e, const RunningApplication& app) {
                               seen.push_back({e, app.processIdentifier, *app.localizedName});
                           }};
    proc.start(500, 1, "/opt/zq/ZqTool");  // running before its name is metered
    desktop.scan(false);
    proc.start(501, 2, viewer);
    proc.start(502, 3, hidden);
    proc.start(503, 4, "/usr/bin/tar");
    proc.start(504, 5, "/snap/zqsnap/12/usr/bin/zqsnap");
    proc.start(505, 6, "/snap/core22/1/usr/lib/snapd/snap-exec");
    proc.start(506, 7, "/home/u/Apps/Zq-1.0-x86_64.AppImage");
    // In a sandbox: its launcher is not the application; the helper belongs to the main process.
    proc.start(507, 8, "/usr/bin/bwrap");
    proc.sandbox(507, "org.zq.Pad");
    proc.start(508, 9, "/app/bin/zqpad", 507);
    proc.sandbox(508, "org.zq.Pad");
    proc.start(509, 10, "/app/bin/zqpad-helper", 508);
    proc.sandbox(509, "org.zq.Pad");
    for (pid_t pid = 501; pid <= 509; ++pid) desktop.forked(pid);
    EXPECT_EQ(take(), (std::vector<Seen>{{DidLaunchApplication, 501, "Viewer"},
                                         {DidLaunchApplication, 504, "zqsnap"},
                                         {DidLaunchApplication, 506, "Zq-1.0-x86_64.AppImage"},
                                         {DidLaunchApplication, 508, "zqpad"}}));

    // Metered now: it runs, but was not launched since.
    entries.meter({"ZqTool"});
    desktop.reclassify();
    EXPECT_TRUE(take().empty());
    proc.end(500);
    desktop.exited(500);
    EXPECT_EQ(take(), (std::vector<Seen>{{DidTerminateApplication, 500, "ZqTool"}}));

    // An entry installed while watching is known at the next launch.
    EXPECT_FALSE(entries.refresh());
    std::ofstream(system + "/later.desktop")
        << "[Desktop Entry]\nType=Application\nTryExec=" << later << "\nExec=later\n";
    ASSERT_TRUE(entries.refresh());
    desktop.reclassify();
    proc.start(510, 11, later);
    desktop.forked(510);
    EXPECT_EQ(take(), (std::vector<Seen>{{DidLaunchApplication, 510, "Later"}}));
}

TEST(DesktopEntry, TheProgramACommandStarts) {
    auto program = [](std::string_view exec) -> std::optional<std::string> {
        auto arguments = linux_platform::execArguments(exec);
        if (!arguments) return "malformed";
        return linux_platform::launchedProgram(*arguments);
    };
    EXPECT_EQ(program("zqedit %F"), "zqedit");
    EXPECT_EQ(program(R"("/opt/Zq Suite/zq\\"bin\\"" --x=%% %u)"), R"(/opt/Zq Suite/zq"bin")");
    EXPECT_EQ(program(R"("/opt/Zq\sSuite/zq")"), "/opt/Zq Suite/zq");
    EXPECT_EQ(program("env -u DISPLAY GDK_BACKEND=x11 A=1 /usr/bin/zq"), "/usr/bin/zq");
    EXPECT_EQ(program(R"(sh -c "cd /tmp && exec zq --new")"), "cd");
    EXPECT_EQ(program(R"(bash -ec "FOO=1 exec '/opt/zq app/zq' x; echo")"), "/opt/zq app/zq");
    EXPECT_EQ(program(R"(env sh -c "env A=1 sh -c 'exec zq'")"), "zq");
    // Known by their sandbox, or a file handed to an interpreter: no program of their own.
    EXPECT_EQ(program("flatpak run org.zq.Pad"), std::nullopt);
    EXPECT_EQ(program("/snap/bin/zq"), "/snap/bin/zq");
    EXPECT_EQ(program("python3 /usr/share/zq/zq.py"), std::nullopt);
    EXPECT_EQ(program("luakit %u"), "luakit");  // a browser, not the lua interpreter
    EXPECT_EQ(program("sh /usr/share/zq/run.sh"), std::nullopt);
    EXPECT_EQ(program("\"unclosed"), "malformed");
    EXPECT_EQ(program(R"(sh -c "exec 'unclosed")"), std::nullopt);
    EXPECT_EQ(program(""), std::nullopt);
}

// Without held-open stat files (as with the connector), and with them (as the scan runs).
INSTANTIATE_TEST_SUITE_P(CommFiles, Tracker, ::testing::Values(0, 16),
                         [](const auto& p) { return p.param ? "HeldOpen" : "ByPath"; });

}  // namespace
}  // namespace tallyvane::test
