// The process tracker on a made-up /proc tree, fed scripted kernel events and scans.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "base/LogSink.h"
#include "platform/linux/ProcessTracker.h"
#include "platform/linux/ProcessWatcher.h"
#include "platform/linux/UnitWatch.h"
#include "support/ChildProcess.h"
#include "support/ScriptedEvents.h"

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
    // As an exiting process shows before its end is reported.
    void exiting(pid_t pid) { fs::remove(folder(pid) + "/exe"); }
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
    void cgroup(pid_t pid, const std::string& path) { write(pid, "cgroup", "0::" + path + "\n"); }
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

// A tracker on the made-up tree with a clock of the test's, and no package database.
struct Tracking {
    Tracking(const ProcFs& procFs, const ApplicationCatalog& catalog, std::size_t statFds)
        : tracker(procFs, catalog, ::getuid(), options(statFds),
                  [this](WorkspaceEvent e, const RunningApplication& app) {
                      seen.push_back({e, app.processIdentifier, *app.localizedName});
                  }) {}
    ProcessTracker::Options options(std::size_t statFds) {
        ProcessTracker::Options o;
        o.statFdBudget = statFds;
        o.now = [this] { return now; };
        o.system = noPackages.path();
        return o;
    }
    // Lets time pass, and the runs left without processes meanwhile end.
    void wait(std::chrono::milliseconds ms) {
        now += ms;
        tracker.expire();
    }
    std::vector<Seen> take() { return std::exchange(seen, {}); }

    ScratchDir noPackages;
    ProcessTracker::Clock::time_point now{};
    std::vector<Seen> seen;
    ProcessTracker tracker;
};

using namespace std::chrono_literals;

class Tracker : public ::testing::TestWithParam<std::size_t> {
  protected:
    FakeProc proc;
    ProcFs procFs{proc.root()};
    ApplicationCatalog catalog = metering({"Editor", "Other", "run-me"});
    Tracking t{procFs, catalog, GetParam()};
    ProcessTracker& tracker = t.tracker;
    std::vector<Seen> take() { return t.take(); }
};

TEST_P(Tracker, ARunEndsAHoldAfterItsLastProcess) {
    proc.start(100, 500, "/apps/Editor");
    proc.start(101, 500, "/apps/Other", 1, ::getuid() + 1);  // another user's: never an application
    tracker.scan(false);
    EXPECT_TRUE(take().empty());  // what ran before is not launched
    EXPECT_EQ(tracker.instances().size(), 1u);

    // Another fork event for the same process changes nothing; a new process of the same
    // program within the hold after the first ended is the same run.
    tracker.forked(100);
    // While it exits its program cannot be read: a late look then changes nothing.
    proc.exiting(100);
    tracker.execed(100);
    t.wait(200ms);
    EXPECT_EQ(tracker.instances().size(), 1u);
    proc.end(100);
    tracker.exited(100);
    t.wait(60ms);
    proc.start(100, 900, "/apps/Editor");
    tracker.forked(100);
    t.wait(60ms);
    EXPECT_TRUE(take().empty());
    // Ended for longer than the hold: a termination, then a launch.
    proc.end(100);
    tracker.exited(100);
    EXPECT_EQ(tracker.deadline(), t.now + 100ms);
    EXPECT_TRUE(tracker.instances().empty());
    t.wait(99ms);
    EXPECT_TRUE(take().empty());
    t.wait(1ms);
    proc.start(100, 1300, "/apps/Editor");
    tracker.scan(true);
    EXPECT_EQ(take(), (std::vector<Seen>{{DidTerminateApplication, 100, "Editor"},
                                         {DidLaunchApplication, 100, "Editor"}}));
    tracker.exited(101);
    EXPECT_TRUE(take().empty());
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

// Desktop entries for the workload: a link to a launcher script whose splash starts the real
// program beside it, and a terminal.
struct Desktop {
    Desktop() {
        fs::create_directories(dir.path() + "/applications");
        fs::create_directories(dir.path() + "/bin");
        fs::create_directories(dir.path() + "/lib/zq");
        for (const char* file :
             {"lib/zq/launch", "lib/zq/splash", "lib/zq/zqedit.bin", "bin/zqterm-server"})
            std::ofstream(dir.path() + "/" + file) << "#!/bin/sh\n";
        fs::create_symlink(dir.path() + "/lib/zq/launch", dir.path() + "/bin/zqedit");
        entry("zq-edit", "Exec=" + dir.path() + "/bin/zqedit --new %U");
        entry("zq-term", "Exec=zqterm\nDBusActivatable=true");
        fs::create_directories(dir.path() + "/dbus-1/services");
        std::ofstream(dir.path() + "/dbus-1/services/zq.service")
            << "[D-BUS Service]\nName=zq-term\nExec=" << dir.path() << "/bin/zqterm-server\n";
    }
    void entry(const std::string& id, const std::string& lines) {
        std::ofstream(dir.path() + "/applications/" + id + ".desktop")
            << "[Desktop Entry]\nType=Application\n"
            << lines << "\n";
    }
    std::string path(const std::string& file) const { return dir.path() + "/" + file; }
    ScratchDir dir;
};

// Started by the desktop in a unit of its entry's: the unit's end stands for its processes' exits.
TEST(UnitTracking, TheUnitNamesTheRunAndItsEndEndsIt) {
    FakeProc proc;
    ProcFs procFs{proc.root()};
    Desktop desktop;
    ApplicationCatalog catalog{{desktop.path("applications")}};
    Tracking t{procFs, catalog, 0};
    const std::string unit = "/user.slice/app-gnome-zq\\x2dedit-7.scope";
    proc.start(400, 1, "/usr/bin/plain");
    proc.cgroup(400, unit);
    t.tracker.forked(400);
    EXPECT_EQ(t.tracker.units(), std::set<std::string>{unit});
    proc.end(400);
    t.tracker.unitEmptied("/user.slice/app-other-1.scope");
    t.wait(100ms);
    EXPECT_EQ(t.tracker.instances().size(), 1u);
    t.tracker.unitEmptied(unit);
    t.wait(100ms);
    EXPECT_EQ(t.take(), (std::vector<Seen>{{DidLaunchApplication, 400, "zqedit"},
                                           {DidTerminateApplication, 400, "zqedit"}}));
    EXPECT_TRUE(t.tracker.units().empty());
}

class Workload : public ::testing::TestWithParam<std::tuple<Hearing, std::size_t>> {
  protected:
    FakeProc proc;
    ProcFs procFs{proc.root()};
    Desktop desktop;
    ApplicationCatalog catalog{{desktop.path("applications")}};
    Tracking t{procFs, catalog, std::get<1>(GetParam())};
    ProcessTracker& tracker = t.tracker;
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
            tracker.expire();
        }
        return t.take();
    }
    // The events of several steps, delivered after all of them happened when heard late.
    Step together(std::vector<Step> steps) {
        Step all{[steps, this] {
                     for (const auto& step : steps) {
                         step.change();
                         if (!late() && step.event) step.event(tracker);
                     }
                 },
                 {},
                 {}};
        for (const auto& step : steps)
            all.events.insert(all.events.end(), step.events.begin(), step.events.end());
        if (late())
            all.event = [steps](ProcessTracker& t) {
                for (const auto& step : steps)
                    if (step.event) step.event(t);
            };
        return all;
    }
    // Batched hearing takes the events from the list alone, so they are not given at once either.
    bool late() const {
        const Hearing hearing = std::get<0>(GetParam());
        return hearing == Hearing::Late || hearing == Hearing::Batched;
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
    Step wait(std::chrono::milliseconds ms) {
        return {[=, this] { t.now += ms; }, {}, {}};
    }
};

TEST_P(Workload, EveryWayOfHearingGivesTheSameRuns) {
    const std::string launch = desktop.path("lib/zq/launch"),
                      splash = desktop.path("lib/zq/splash"),
                      real = desktop.path("lib/zq/zqedit.bin"),
                      term = desktop.path("bin/zqterm-server");
    proc.start(10, 1, "/bin/bash");  // the user's shell, running before the tracker
    tracker.scan(false);
    const auto steps = std::vector<Step>{
        // The entry's link runs the launcher script, which execs the splash, which starts the
        // real program beside it; that one restarts itself once.
        together({fork(300, 10, 100, "/bin/bash"), exec(300, "/bin/sh", launch)}),
        exec(300, splash),
        together({fork(301, 300, 101, splash), exec(301, real)}),
        end(301),
        together({fork(302, 300, 102, splash), exec(302, real)}),
        // Its shell and the job that shell leaves are no part of it.
        together({fork(303, 302, 103, real), exec(303, "/bin/sh"), fork(304, 303, 104, "/bin/sh"),
                  exec(304, "/usr/bin/sleep")}),
        end(303),
        // The splash detaches: the real program runs on under init.
        {[this] {
             proc.end(300);
             proc.reparent(302, 1);
         },
         [](ProcessTracker& t) { t.exited(300); },
         {{Event::Exit, 300}}},
        // A second start hands its work over and ends.
        together({fork(305, 10, 105, "/bin/bash"), exec(305, "/bin/sh", launch)}),
        end(305),
        wait(200ms),
        end(302),
        wait(99ms),
        // The terminal's client asks the bus, which starts the server within the hold.
        together({fork(306, 10, 106, "/bin/bash"), exec(306, "/usr/bin/zqterm")}),
        end(306),
        wait(60ms),
        fork(401, 1, 108, term),
        wait(100ms),
        end(401),
        wait(100ms),
    };
    EXPECT_EQ(run(steps), (std::vector<Seen>{{DidLaunchApplication, 300, "zqedit"},
                                             {DidLaunchApplication, 306, "zqterm"},
                                             {DidTerminateApplication, 302, "zqedit"},
                                             {DidTerminateApplication, 401, "zqterm"}}));
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

TEST_P(Tracker, ExecsScriptsAndWrappedPids) {
    proc.lastPid(1);
    tracker.scan(false);
    // Launched as an application, it stays that one whatever it execs next.
    proc.start(200, 10, "/apps/Widget.app/Contents/MacOS/Widget");
    tracker.forked(200);
    proc.exec(200, "/bin/true");
    tracker.execed(200);
    t.wait(100ms);
    EXPECT_EQ(take(), (std::vector<Seen>{{DidLaunchApplication, 200, "Widget"}}));
    // A scan in the middle of an exec into a script looks again on the next one.
    proc.start(201, 11, "/bin/sh");
    tracker.scan(true);
    proc.exec(201, "/bin/sh", proc.script("run-me"), true);
    tracker.scan(true);
    EXPECT_TRUE(take().empty());
    proc.exec(201, "/bin/sh", proc.root() + "/run-me");
    tracker.scan(true);
    EXPECT_EQ(take(), (std::vector<Seen>{{DidLaunchApplication, 201, "run-me"}}));
    proc.end(201);
    tracker.exited(201);
    tracker.exited(201);  // an exit seen twice ends it once
    t.wait(100ms);
    EXPECT_EQ(take(), (std::vector<Seen>{{DidTerminateApplication, 201, "run-me"}}));
    // A script is named by its path relative to the process's folder, and a process that renamed
    // itself is not taken for a script.
    proc.start(402, 3, "/bin/sh");
    proc.exec(402, "/bin/sh", "./run-me");
    proc.start(403, 4, "/bin/sh");
    proc.exec(403, "/bin/sh", "not-there");
    tracker.forked(402);
    tracker.forked(403);
    EXPECT_EQ(take(), (std::vector<Seen>{{DidLaunchApplication, 402, "run-me"}}));
    // PIDs wrapped round: a scan lists the child before its parent.
    proc.start(450, 5, "/apps/Editor");
    proc.start(50, 6, "/apps/Editor", 450);
    tracker.scan(true);
    EXPECT_EQ(take(), (std::vector<Seen>{{DidLaunchApplication, 450, "Editor"}}));
    // The oldest process stands for its run, and the list is by its PID.
    std::vector<pid_t> pids;
    for (const auto& app : tracker.instances()) pids.push_back(app.processIdentifier);
    EXPECT_EQ(pids, (std::vector<pid_t>{200, 402, 450}));
    // A helper beside the program, of no name of its own, keeps the run.
    proc.start(470, 9, "/apps/Editor", 450);
    tracker.forked(470, 450);
    proc.exec(470, "/apps/editor-helper");
    tracker.execed(470);
    for (pid_t pid : {450, 50}) {
        proc.end(pid);
        tracker.exited(pid);
    }
    t.wait(200ms);
    EXPECT_TRUE(take().empty());
    proc.end(470);
    tracker.exited(470);
    t.wait(100ms);
    EXPECT_EQ(take(), (std::vector<Seen>{{DidTerminateApplication, 470, "Editor"}}));
}

TEST_P(Tracker, OnlyApplicationsHaveRuns) {
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
    const std::string viewer = program("Viewer"), hidden = program("Hidden");
    std::ofstream(system + "/vendor/viewer.desktop")
        << "[Desktop Entry]\nType=Application\nExec=env LANG=C sh -c \"exec '" << viewer
        << "' --new\" %U\n";
    std::ofstream(system + "/hidden.desktop")
        << "[Desktop Entry]\nType=Application\nExec=" << hidden << "\n";
    std::ofstream(user + "/hidden.desktop") << "[Desktop Entry]\nHidden=true\n";
    ASSERT_EQ(::mkfifo((user + "/stuck.desktop").c_str(), 0600), 0);
    ApplicationCatalog entries({user, system});
    Tracking d{procFs, entries, GetParam()};
    proc.start(500, 1, "/opt/zq/ZqTool");  // running before its name is metered
    d.tracker.scan(false);
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
    for (pid_t pid = 501; pid <= 509; ++pid) d.tracker.forked(pid);
    EXPECT_EQ(d.take(), (std::vector<Seen>{{DidLaunchApplication, 501, "Viewer"},
                                           {DidLaunchApplication, 504, "zqsnap"},
                                           {DidLaunchApplication, 506, "Zq-1.0-x86_64.AppImage"},
                                           {DidLaunchApplication, 508, "zqpad"}}));

    // Metered now: it runs, but was not launched since.
    entries.meter({"ZqTool"});
    d.tracker.reclassify();
    EXPECT_TRUE(d.take().empty());
    proc.end(500);
    d.tracker.exited(500);
    d.wait(100ms);
    EXPECT_EQ(d.take(), (std::vector<Seen>{{DidTerminateApplication, 500, "ZqTool"}}));
}

TEST(DesktopEntry, WhatEntriesServicesAndUnitsName) {
    using linux_platform::parseDesktopEntry;
    const auto name = [](std::string_view text) {
        const auto entry = parseDesktopEntry(text, "zq");
        return entry ? entry->name + "|" + entry->busName : "none";
    };
    EXPECT_EQ(name("[Desktop Entry]\nType=Application\nExec=zqoffice --writer %U"), "zqoffice|");
    EXPECT_EQ(name("[Desktop Entry]\nType=Application\nExec=env A=1 /usr/bin/zq-term\n"
                   "DBusActivatable=true"),
              "zq-term|zq");
    EXPECT_EQ(name("[Desktop Entry]\nType=Application\nExec=zq\nX-DBus-ServiceName=org.zq.Z"),
              "zq|org.zq.Z");
    EXPECT_EQ(name("[Desktop Entry]\nType=Application\nExec=flatpak run org.zq.Pad"), "none");
    EXPECT_EQ(parseDesktopEntry("[Desktop Entry]\nType=Application\nExec=zq-term", "org.zq.Term")
                  ->busName,
              "org.zq.Term");
    EXPECT_EQ(name("[Desktop Entry]\nType=Link\nExec=zq"), "none");
    EXPECT_EQ(name("[Other]\nType=Application\nExec=zq"), "none");

    using linux_platform::scriptExecs;
    EXPECT_EQ(
        scriptExecs("#!/bin/sh\n[ -n \"$1\" ] && exec /opt/zq/zq-bin \"$@\"\nexec \"$ZQ/zq\"\n"
                    "echo exec /opt/zq/not; exec '/opt/zq app/zq' --x\n"),
        (std::vector<std::string>{"/opt/zq/zq-bin", "/opt/zq app/zq"}));
    // A path built from names set once at the top; not from one set twice, in a branch, before a
    // command, or by a command.
    EXPECT_EQ(
        scriptExecs("#!/bin/bash\nAPP=zq\nDIR=/opt/${APP}\nTWICE=/a\n[ x ] && TWICE=/b\n"
                    "  IN=/c\nPRE=/d zq-setup\nRUN=$(pwd)\nexec \"$DIR\"/\"$APP\" \"$@\"\n"
                    "exec $TWICE/zq; exec $IN/zq; exec $PRE/zq; exec $RUN/zq; exec $DIR/${APP\n"),
        (std::vector<std::string>{"/opt/zq/zq"}));
    EXPECT_TRUE(scriptExecs("\x7f"
                            "ELF exec /opt/zq/zq")
                    .empty());
    using linux_platform::serviceProgram;
    const std::string service =
        "[D-BUS Service]\nName=org.zq.Term\nExec=/usr/libexec/zq-server --x\n";
    EXPECT_EQ(serviceProgram(service, "org.zq.Term"), "/usr/libexec/zq-server");
    EXPECT_EQ(serviceProgram(service, "org.zq"), std::nullopt);
    EXPECT_EQ(serviceProgram("[Other]\nName=org.zq.Term\nExec=/x", "org.zq.Term"), std::nullopt);

    const std::vector<std::pair<std::string, std::vector<std::string>>> units = {
        {"app-gnome-zq\\x2dedit-4121.scope", {"gnome-zq-edit", "zq-edit"}},
        {"app-zq.Editor-77.scope", {"zq.Editor"}},
        {"app-flatpak-org.zq.Pad@12.service", {"flatpak-org.zq.Pad", "org.zq.Pad"}},
        {"app-zq.service", {"zq"}},
        {"app-4121.scope", {}},
        {"session-2.scope", {}},
        {"app-zq.slice", {}},
        {"", {}},
    };
    for (const auto& [unit, ids] : units)
        EXPECT_EQ(linux_platform::unitDesktopIds(unit), ids) << unit;
    EXPECT_EQ(linux_platform::cgroupOf("1:name=systemd:/x/y\n0::/user.slice/app-zq-1.scope\n"),
              "/user.slice/app-zq-1.scope");
    EXPECT_EQ(linux_platform::cgroupOf("1:cpu:/a\n"), "");
    // A hybrid layout, and a mount point with a blank in it.
    const std::string v1 = "30 24 0:26 / /sys/fs/cgroup/cpu rw shared:9 - cgroup cgroup rw,cpu\n";
    EXPECT_EQ(
        linux_platform::cgroup2MountOf(
            v1 + "31 24 0:27 / /sys/fs/cgroup/uni\\040fied rw shared:10 - cgroup2 cgroup2 rw\n"),
        "/sys/fs/cgroup/uni fied");
    EXPECT_EQ(linux_platform::cgroup2MountOf(v1), std::nullopt);
    EXPECT_EQ(linux_platform::populatedOf("populated 1\nfrozen 0\n"), true);
    EXPECT_EQ(linux_platform::populatedOf("populated 0\n"), false);
    EXPECT_EQ(linux_platform::populatedOf("populated 2\n"), std::nullopt);
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

// The watcher between a scripted source and a tracker without a hold: what it gathers, rescans
// and defers, and the scan it falls back to.
TEST(Watcher, GathersRescansDefersAndFallsBackToTheScan) {
    using Steps = std::vector<ScriptedEvents::Step>;
    struct Case {
        const char* name;
        std::function<Steps(FakeProc&)> script;
        std::vector<Seen> seen;
    };
    const auto editor = [](FakeProc& p, pid_t pid) { p.start(pid, pid, "/apps/Editor"); };
    const std::vector<Case> cases = {
        // A fork and the exit that follows within the gathering: never looked at.
        {"gathered",
         [&](FakeProc& p) {
             return Steps{{[&] { editor(p, 400); }, {{Event::Fork, 400, 1}}},
                          {[&] { p.end(400); }, {{Event::Exit, 400}}}};
         },
         {}},
        // Lost after an exit whose PID names a new process by now: the rescan alone tells.
        {"lost",
         [&](FakeProc& p) {
             editor(p, 900);
             const auto change = [&] {
                 p.end(900);
                 p.start(900, 1, "/apps/Editor");
                 p.start(700, 7, "/apps/Other");
             };
             return Steps{{change, {{Event::Exit, 900}}, true}};
         },
         {{DidLaunchApplication, 700, "Other"}}},
        {"fails",
         [&](FakeProc& p) {
             return Steps{{[&] { editor(p, 800); }, {}, false, true}};
         },
         {{DidLaunchApplication, 800, "Editor"}}},
        // A burst of tools queued after a run's last exit, its successor behind them: one run.
        {"burst",
         [&](FakeProc& p) {
             editor(p, 600);
             Steps steps{{[&] { p.end(600); }, {{Event::Exit, 600}}}};
             for (pid_t tool = 610; tool < 630; ++tool)
                 steps.push_back({[&p, tool] { p.start(tool, tool, "/usr/bin/tar"); },
                                  {{Event::Fork, tool, 1}, {Event::Exit, tool}}});
             steps.push_back({[&] { editor(p, 601); }, {{Event::Fork, 601, 1}}});
             return steps;
         },
         {}},
    };
    for (const Case& c : cases) {
        FakeProc proc;
        ProcFs procFs{proc.root()};
        ApplicationCatalog catalog = metering({"Editor", "Other"});
        ScratchDir noPackages;
        std::vector<Seen> seen;
        ProcessTracker tracker(procFs, catalog, ::getuid(),
                               {.hold = {}, .system = noPackages.path()},
                               [&](WorkspaceEvent e, const RunningApplication& app) {
                                   seen.push_back({e, app.processIdentifier, *app.localizedName});
                               });
        const UniqueFd stop(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
        ScriptedEvents source(c.script(proc), stop.get()), scan({{}}, stop.get(), 1ms);
        tracker.scan(false);
        linux_platform::UnitWatch units(std::nullopt);
        std::mutex mutex;
        MemoryLogSink log;
        linux_platform::ProcessWatcher(tracker, catalog, units, mutex, stop.get(), log)
            .run(source, scan);
        EXPECT_EQ(seen, c.seen) << c.name;
        EXPECT_EQ(log.linesStartingWith("Workspace: the process event connector failed (").size(),
                  c.name == std::string("fails"))
            << c.name;
    }
}

// Without held-open stat files (as with the connector), and with them (as the scan runs).
INSTANTIATE_TEST_SUITE_P(CommFiles, Tracker, ::testing::Values(0, 16),
                         [](const auto& p) { return p.param ? "HeldOpen" : "ByPath"; });

}  // namespace
}  // namespace tallyvane::test
