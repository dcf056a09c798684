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
#include "platform/linux/EntryParsers.h"
#include "platform/linux/ProcessTracker.h"
#include "platform/linux/ProcessWatcher.h"
#include "platform/linux/ShellScripts.h"
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
        std::ofstream(root() + "/loadavg") << "0.00 0.00 0.00 1/99 " << pid << "\n";
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
        exec(pid, fs::read_symlink(folder(pid) + "/exe"));
    }
    // A stat file held open reads nothing once its process is gone, as the kernel's does.
    void end(pid_t pid) {
        fs::resize_file(folder(pid) + "/stat", 0);
        fs::remove_all(folder(pid));
    }
    void cgroup(pid_t pid, const std::string& path) { write(pid, "cgroup", "0::" + path + "\n"); }
    // Puts the process in a Flatpak sandbox, as its root shows it.
    void sandbox(pid_t pid, const std::string& id) {
        fs::create_directories(folder(pid) + "/root");
        std::ofstream(folder(pid) + "/root/.flatpak-info") << "[Application]\nname=" << id << "\n";
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

using namespace std::chrono_literals;

// Desktop entries: a link to a launcher script whose splash starts the real program beside it; a
// terminal; one in a subfolder behind a wrapper; and one the user's folder hides, beside a FIFO.
struct Desktop {
    Desktop() {
        for (const char* folder :
             {"user", "applications/vendor", "bin", "lib/zq", "dbus-1/services"})
            fs::create_directories(path(folder));
        for (const char* file : {"lib/zq/launch", "lib/zq/splash", "lib/zq/zqedit.bin",
                                 "bin/zqterm-server", "Viewer", "Hidden"})
            std::ofstream(path(file)) << "#!/bin/sh\n";
        fs::create_symlink(path("lib/zq/launch"), path("bin/zqedit"));
        entry("zq-edit", "Exec=" + path("bin/zqedit") + " --new %U");
        entry("zq-term", "Exec=zqterm\nDBusActivatable=true");
        std::ofstream(path("dbus-1/services/zq.service"))
            << "[D-BUS Service]\nName=zq-term\nExec=" << path("bin/zqterm-server") << "\n";
        entry("vendor/viewer", "Exec=env LANG=C sh -c \"exec '" + path("Viewer") + "' --new\" %U");
        entry("hidden", "Exec=" + path("Hidden"));
        std::ofstream(path("user/hidden.desktop")) << "[Desktop Entry]\nHidden=true\n";
        EXPECT_EQ(::mkfifo(path("user/stuck.desktop").c_str(), 0600), 0);
    }
    void entry(const std::string& id, const std::string& lines) {
        std::ofstream(path("applications/" + id + ".desktop"))
            << "[Desktop Entry]\nType=Application\n"
            << lines << "\n";
    }
    std::string path(const std::string& file) const { return dir.path() + "/" + file; }
    ScratchDir dir;
};

// How the tracker hears of a workload: each event as it happens; each event after the whole
// group of steps has happened (a fork read after the child's exec, an exit after the
// reparenting); a group's events received together after it; by scans alone; or with some
// groups' events lost and a rescan.
enum class Hearing { AtOnce, Late, Batched, Scans, SomeLost };

// The made-up tree, the desktop's entries with some names metered, and a tracker on them with a
// clock of the test's and no package database.
template <class Param>
class Scene : public ::testing::TestWithParam<Param> {
  protected:
    Scene() { catalog.meter({"Editor", "run-me"}); }
    static std::size_t statFds(std::size_t fds) { return fds; }
    static std::size_t statFds(const std::tuple<Hearing, std::size_t>& p) { return std::get<1>(p); }
    // Lets time pass, and the runs left without processes meanwhile end.
    void wait(std::chrono::milliseconds ms) {
        now += ms;
        tracker.expire();
    }
    std::vector<Seen> take() { return std::exchange(seen, {}); }
    FakeProc proc;
    ProcFs procFs{proc.root()};
    Desktop desktop;
    ApplicationCatalog catalog{{desktop.path("user"), desktop.path("applications")}};
    ScratchDir noPackages;
    ProcessTracker::Clock::time_point now{};
    std::vector<Seen> seen;
    ProcessTracker::Options options() {
        return {.statFdBudget = statFds(this->GetParam()),
                .now = [this] { return now; },
                .system = noPackages.path()};
    }
    ProcessTracker tracker{procFs, catalog, ::getuid(), options(),
                           [this](WorkspaceEvent e, const RunningApplication& app) {
                               seen.push_back({e, app.processIdentifier, *app.localizedName});
                           }};
};

using Tracker = Scene<std::size_t>;

// What no kernel event tells: the exact end of the hold, and a unit's end.
TEST_P(Tracker, AHoldsEndAndAUnitsEnd) {
    tracker.scan(false);
    proc.start(100, 5, "/apps/Editor");
    tracker.forked(100);
    proc.end(100);
    tracker.exited(100);
    EXPECT_EQ(tracker.deadline(), now + 100ms);
    wait(99ms);
    EXPECT_EQ(take(), (std::vector<Seen>{{DidLaunchApplication, 100, "Editor"}}));
    wait(1ms);
    EXPECT_EQ(take(), (std::vector<Seen>{{DidTerminateApplication, 100, "Editor"}}));
    // The PID taken again by the same program: a new run, found by a rescan; and once more
    // within the hold after that one ended: the same run.
    proc.start(100, 9, "/apps/Editor");
    tracker.scan(true);
    proc.end(100);
    tracker.exited(100);
    wait(60ms);
    proc.start(100, 13, "/apps/Editor");
    tracker.forked(100);
    wait(60ms);
    EXPECT_EQ(take(), (std::vector<Seen>{{DidLaunchApplication, 100, "Editor"}}));
    proc.end(100);
    tracker.exited(100);
    wait(100ms);
    EXPECT_EQ(take(), (std::vector<Seen>{{DidTerminateApplication, 100, "Editor"}}));
    // Started by the desktop in a unit of its entry's: the unit names the run, and its end stands
    // for its processes' exits.
    const std::string unit = "/user.slice/app-gnome-zq\\x2dedit-7.scope";
    proc.start(400, 1, "/usr/bin/plain");
    proc.cgroup(400, unit);
    tracker.forked(400);
    EXPECT_EQ(tracker.units(), std::set<std::string>{unit});
    proc.end(400);
    tracker.unitEmptied("/user.slice/app-other-1.scope");
    wait(100ms);
    EXPECT_EQ(take(), (std::vector<Seen>{{DidLaunchApplication, 400, "zqedit"}}));
    tracker.unitEmptied(unit);
    wait(100ms);
    EXPECT_EQ(take(), (std::vector<Seen>{{DidTerminateApplication, 400, "zqedit"}}));
    EXPECT_TRUE(tracker.units().empty());
}

using Event = ProcessTracker::Event;

// A change to the made-up tree, and how the kernel tells of it (a catalog's change, by no event).
struct Step {
    std::function<void()> change;
    std::function<void(ProcessTracker&)> event;
    std::vector<Event> events;
};

class Workload : public Scene<std::tuple<Hearing, std::size_t>> {
  protected:
    std::vector<Seen> run(const std::vector<std::vector<Step>>& groups) {
        const Hearing hearing = std::get<0>(GetParam());
        for (std::size_t i = 0; i < groups.size(); ++i) {
            const bool scanned =
                hearing == Hearing::Scans || (hearing == Hearing::SomeLost && i % 3 == 1);
            const bool atOnce =
                hearing == Hearing::AtOnce || (hearing == Hearing::SomeLost && !scanned);
            std::vector<Event> events;
            for (const Step& step : groups[i]) {
                step.change();
                if (step.event && (atOnce || step.events.empty())) step.event(tracker);
                events.insert(events.end(), step.events.begin(), step.events.end());
            }
            if (scanned)
                tracker.scan(true);
            else if (hearing == Hearing::Batched)
                tracker.received(events);
            else if (hearing == Hearing::Late)
                for (const Step& step : groups[i])
                    if (step.event && !step.events.empty()) step.event(tracker);
            tracker.expire();
        }
        return take();
    }
    // A fork of a script's process runs that script too; in a sandbox, the sandbox's files show.
    Step fork(pid_t pid, pid_t parent, std::uint64_t ticks, const std::string& exe,
              const std::string& script = "", uid_t uid = ::getuid(), std::string sandbox = "") {
        return {[=, this] {
                    proc.start(pid, ticks, exe, parent, uid, script);
                    if (!sandbox.empty()) proc.sandbox(pid, sandbox);
                },
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
        return {[=, this] { this->now += ms; }, {}, {}};
    }
    // The event of a step heard a second time.
    static Step again(Step step) {
        return {[] {}, step.event, step.events};
    }
};

TEST_P(Workload, EveryWayOfHearingGivesTheSameRuns) {
    const std::string launch = desktop.path("lib/zq/launch"),
                      splash = desktop.path("lib/zq/splash"),
                      real = desktop.path("lib/zq/zqedit.bin"),
                      term = desktop.path("bin/zqterm-server"),
                      widget = "/apps/Widget.app/Contents/MacOS/Widget";
    std::ofstream(proc.root() + "/run-me") << "#!/bin/sh\n";
    // The user's shell, and what it ran before the tracker: not launched.
    proc.start(10, 1, "/bin/bash");
    proc.start(11, 2, desktop.path("Viewer"), 10);
    proc.start(12, 3, "/opt/zq/ZqTool", 10);
    tracker.scan(false);
    const auto groups = std::vector<std::vector<Step>>{
        // The entry's link runs the launcher script, which execs the splash, which starts the
        // real program beside it; that one restarts itself once.
        {fork(300, 10, 100, "/bin/bash"), exec(300, "/bin/sh", launch)},
        {exec(300, splash)},
        {fork(301, 300, 101, splash), exec(301, real)},
        {end(301)},
        {fork(302, 300, 102, splash), exec(302, real)},
        // Its shell and the job that shell leaves are no part of it.
        {fork(303, 302, 103, real), exec(303, "/bin/sh"), fork(304, 303, 104, "/bin/sh"),
         exec(304, "/usr/bin/sleep")},
        {end(303)},
        // The splash detaches: the real program runs on under init.
        {{[this] {
              proc.end(300);
              proc.reparent(302, 1);
          },
          [](ProcessTracker& t) { t.exited(300); },
          {{Event::Exit, 300}}}},
        // A second start hands its work over and ends.
        {fork(305, 10, 105, "/bin/bash"), exec(305, "/bin/sh", launch)},
        {end(305)},
        {wait(200ms)},
        {end(302)},
        {wait(99ms)},
        // The terminal's client asks the bus, which starts the server within the hold.
        {fork(306, 10, 106, "/bin/bash"), exec(306, "/usr/bin/zqterm")},
        {end(306)},
        {wait(60ms)},
        {fork(401, 1, 108, term)},
        {wait(100ms)},
        {end(401)},
        {wait(100ms)},
        // Metered now: it runs, but was not launched since.
        {{[this] {
              catalog.meter({"Editor", "run-me", "ZqTool"});
          },
          [](ProcessTracker& t) { t.reclassify(); },
          {}}},
        {end(12)},
        // Launched as an application, it stays that one whatever it execs next; a fork heard
        // again or an exit heard twice changes nothing, and another user's is never one.
        {fork(200, 10, 200, widget)},
        {exec(200, "/bin/true"), again(fork(200, 10, 200, widget))},
        {end(200), again(end(200))},
        {fork(201, 10, 201, "/apps/Editor", "", ::getuid() + 1)},
        {end(201), wait(100ms)},
        // Past the hold, the same program's next process is a new run.
        {fork(210, 10, 210, widget)},
        // A script is named by its path relative to the process's folder, also once looked at
        // halfway through the exec, before its arguments are set up; a process that renamed
        // itself is not taken for a script.
        {fork(402, 10, 402, "/bin/sh")},
        {{[this] { proc.exec(402, "/bin/sh", "./run-me", true); }, {}, {}}},
        {exec(402, "/bin/sh", "./run-me")},
        {fork(403, 10, 403, "/bin/sh", "not-there")},
        // PIDs wrapped round: the child comes before its parent, and the oldest stands for the run.
        {fork(450, 10, 450, "/apps/Editor"), fork(50, 450, 451, "/apps/Editor")},
        // A helper beside the program, of no name of its own, keeps the run.
        {fork(470, 450, 470, "/apps/Editor"), exec(470, "/apps/editor-helper")},
        {end(450), end(50)},
        // A late look while it exits, when its program cannot be read, changes nothing.
        {{[this] { proc.exiting(470); },
          [](ProcessTracker& t) { t.execed(470); },
          {{Event::Exec, 470}}}},
        {wait(200ms)},
        // Only applications have runs: neither a tool, nor a snap's runner, nor a sandbox's
        // launcher, whose helper belongs to its main process.
        {fork(502, 10, 502, desktop.path("Hidden"))},
        {fork(503, 10, 503, "/usr/bin/tar")},
        {fork(504, 10, 504, "/snap/zqsnap/12/usr/bin/zqsnap")},
        {fork(505, 10, 505, "/snap/core22/1/usr/lib/snapd/snap-exec")},
        {fork(506, 10, 506, "/home/u/Apps/Zq-1.0-x86_64.AppImage")},
        {fork(507, 10, 507, "/usr/bin/bwrap", "", ::getuid(), "org.zq.Pad")},
        {fork(508, 507, 508, "/app/bin/zqpad", "", ::getuid(), "org.zq.Pad")},
        {fork(509, 508, 509, "/app/bin/zqpad-helper", "", ::getuid(), "org.zq.Pad")},
        {end(470)},
        {wait(100ms)},
    };
    EXPECT_EQ(run(groups), (std::vector<Seen>{{DidLaunchApplication, 300, "zqedit"},
                                              {DidLaunchApplication, 306, "zqterm"},
                                              {DidTerminateApplication, 302, "zqedit"},
                                              {DidTerminateApplication, 401, "zqterm"},
                                              {DidLaunchApplication, 200, "Widget"},
                                              {DidTerminateApplication, 200, "Widget"},
                                              {DidTerminateApplication, 12, "ZqTool"},
                                              {DidLaunchApplication, 210, "Widget"},
                                              {DidLaunchApplication, 402, "run-me"},
                                              {DidLaunchApplication, 450, "Editor"},
                                              {DidLaunchApplication, 504, "zqsnap"},
                                              {DidLaunchApplication, 506, "Zq-1.0-x86_64.AppImage"},
                                              {DidLaunchApplication, 508, "zqpad"},
                                              {DidTerminateApplication, 470, "Editor"}}));
    std::vector<pid_t> pids;
    for (const auto& app : tracker.instances()) pids.push_back(app.processIdentifier);
    EXPECT_EQ(pids, (std::vector<pid_t>{11, 210, 402, 504, 506, 508}));
}

INSTANTIATE_TEST_SUITE_P(
    Hearings, Workload,
    ::testing::Combine(::testing::Values(Hearing::AtOnce, Hearing::Late, Hearing::Batched,
                                         Hearing::Scans, Hearing::SomeLost),
                       ::testing::Values(0, 64)),
    ([](const auto& info) {
        const char* names[] = {"AtOnce", "Late", "Batched", "Scans", "SomeLost"};
        return names[static_cast<int>(std::get<0>(info.param))] +
               std::string(std::get<1>(info.param) ? "HeldOpen" : "ByPath");
    }));

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
    // Names that double each other give up at a path's length, not at the memory's.
    std::string doubling = "#!/bin/sh\nA=/zq\n";
    for (char name = 'B'; name <= 'Z'; ++name)
        doubling += std::string(1, name) + "=$" + char(name - 1) + "$" + char(name - 1) + "\n";
    std::string h;
    for (int i = 0; i < 129; ++i) h += "/zq";
    EXPECT_EQ(scriptExecs(doubling + "exec $H/zq\nexec $Z/zq\n"), std::vector<std::string>{h});
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
        ApplicationCatalog catalog({});
        catalog.meter({"Editor", "Other"});
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
