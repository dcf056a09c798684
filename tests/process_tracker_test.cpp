// The process tracker on a made-up /proc tree, fed scripted kernel events and scans.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/linux/ProcessTracker.h"
#include "support/ChildProcess.h"

namespace tallyvane::test {
namespace {

namespace fs = std::filesystem;
using linux_platform::ProcessTracker;
using linux_platform::ProcFs;
using enum WorkspaceEvent;

// A /proc tree whose processes the test starts, execs and ends by writing their files.
class FakeProc {
  public:
    const std::string& root() const { return dir_.path(); }
    void start(pid_t pid, std::uint64_t ticks, const std::string& exe, uid_t uid = ::getuid()) {
        fs::create_directories(folder(pid));
        write(pid, "status", "Name:\tx\nUid:\t" + std::to_string(uid) + "\t0\t0\t0\n");
        ticks_[pid] = ticks;
        exec(pid, exe);
    }
    // The same process (same start) now runs exe.
    void exec(pid_t pid, const std::string& exe) {
        const std::string comm = fs::path(exe).filename().string().substr(0, 15);
        std::string stat = std::to_string(pid) + " (" + comm + ") S";
        for (int field = 4; field <= 21; ++field) stat += " 0";
        write(pid, "stat", stat + " " + std::to_string(ticks_[pid]) + " 0 0\n");
        write(pid, "comm", comm + "\n");
        fs::remove(folder(pid) + "/exe");
        fs::create_symlink(exe, folder(pid) + "/exe");
    }
    // A comm file held open reads nothing once its process is gone, as the kernel's does.
    void end(pid_t pid) {
        fs::resize_file(folder(pid) + "/comm", 0);
        fs::remove_all(folder(pid));
    }
    void lastPid(pid_t pid) {
        std::ofstream(root() + "/loadavg") << "0.00 0.00 0.00 1/99 " << pid << "\n";
    }

  private:
    std::string folder(pid_t pid) const { return root() + "/" + std::to_string(pid); }
    void write(pid_t pid, const char* file, const std::string& text) {
        // In place, as the kernel's files change: a held-open comm file sees the new text.
        std::fstream(folder(pid) + "/" + file, std::ios::in | std::ios::out | std::ios::trunc)
            << text;
        if (!fs::exists(folder(pid) + "/" + file)) std::ofstream(folder(pid) + "/" + file) << text;
    }
    ScratchDir dir_;
    std::map<pid_t, std::uint64_t> ticks_;
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

class Tracker : public ::testing::TestWithParam<std::size_t> {
  protected:
    FakeProc proc;
    ProcFs procFs{proc.root()};
    std::vector<Seen> seen;
    ProcessTracker tracker{procFs, ::getuid(), GetParam(),
                           [this](WorkspaceEvent e, const RunningApplication& app) {
                               seen.push_back({e, app.processIdentifier, *app.localizedName});
                           }};
    std::vector<Seen> take() { return std::exchange(seen, {}); }
};

TEST_P(Tracker, APidIsKnownByItsStartTime) {
    proc.start(100, 500, "/apps/Editor");
    proc.start(101, 500, "/apps/Other", ::getuid() + 1);  // another user's: never an application
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
    EXPECT_EQ(take(), (std::vector<Seen>{{DidTerminateApplication, 200, "sh"},
                                         {DidLaunchApplication, 200, "Widget"}}));
    // Exec again with no event: the scan finds it without listing /proc (no PID was handed out).
    proc.exec(200, "/bin/true");
    tracker.scan(true);
    EXPECT_EQ(take(), (std::vector<Seen>{{DidTerminateApplication, 200, "Widget"},
                                         {DidLaunchApplication, 200, "true"}}));
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

// Without held-open comm files (as with the connector), and with them (as the scan runs).
INSTANTIATE_TEST_SUITE_P(CommFiles, Tracker, ::testing::Values(0, 16),
                         [](const auto& p) { return p.param ? "HeldOpen" : "ByPath"; });

}  // namespace
}  // namespace tallyvane::test
