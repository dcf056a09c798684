#pragma once
// Turns what the kernel says of processes (a fork, an exec, an exit, or a fresh listing of /proc)
// into the runs of the user's applications. An application runs once at a time: its run begins
// when its first process appears (a launch) and ends a short hold after its last process ended
// (a termination), so that a launcher handing over to its successor stays one run. A process is
// known by its PID and its start time. It is in a run by what it runs: a process keeps the
// application it was classified as through every exec; a fork stays in its parent's run until it
// execs, and then only if its program is the application's own. One thread at a time.
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/WorkspaceNotificationCenter.h"
#include "platform/linux/ApplicationCatalog.h"
#include "platform/linux/DpkgFiles.h"
#include "platform/linux/ProcFs.h"

namespace tallyvane::linux_platform {

class ProcessTracker {
  public:
    using Sink = std::function<void(WorkspaceEvent, const RunningApplication&)>;
    using Clock = std::chrono::steady_clock;

    struct Options {
        // Up to this many of the user's processes get their stat file held open, which lets a
        // scan check them without listing /proc (0: always by path).
        std::size_t statFdBudget = 0;
        // How long a run without processes waits for a successor before it ends.
        Clock::duration hold = std::chrono::milliseconds(100);
        std::function<Clock::time_point()> now = Clock::now;
        std::string system;  // where dpkg's database is ("" is /)
    };

    // Applications are the processes of uid.
    ProcessTracker(const ProcFs& proc, const ApplicationCatalog& catalog, uid_t uid,
                   Options options, Sink sink);

    // Raw events from the kernel's process event connector. A fork names its parent, which may
    // have ended (and its child moved to another parent) by the time the child is looked at.
    void forked(pid_t pid, std::optional<pid_t> parent = std::nullopt);
    void execed(pid_t pid) { look(pid, true); }
    void exited(pid_t pid) { vanish(pid); }
    // Kernel events that were received together, in their order. Each process is looked at once,
    // as it stands after them all, and not at all when it ended among them.
    struct Event {
        enum Kind { Fork, Exec, Exit } kind;
        pid_t pid;
        pid_t parent = 0;  // of a fork
    };
    void received(const std::vector<Event>& events);
    // One pass over /proc; with post false it only records what runs (the first look).
    void scan(bool post);
    // With a connector every known process is rechecked by a scan (its events were lost), not
    // only the user's.
    void connectorDelivers(bool delivers) { connector_ = delivers; }
    // The catalog changed: processes it now takes for applications join their runs, posting
    // nothing (they were not launched after the change). A run stays until it ends.
    void reclassify();

    // The cgroups of the units that runs were started in, while they have processes.
    std::set<std::string> units() const;
    // A unit's cgroup has no process left: its run's processes are looked at again, and the run
    // ends after its hold when they have all gone.
    void unitEmptied(const std::string& cgroup);

    // When the next run without processes is due to end; expire ends the runs due by now.
    std::optional<Clock::time_point> deadline() const;
    void expire();

    // The runs with a live process, each as its oldest process, by ascending PID.
    std::vector<RunningApplication> instances() const;
    std::size_t known() const { return known_.size(); }

  private:
    struct Tracked {
        std::uint64_t startTicks = 0;
        std::string comm;
        pid_t parent = 0;
        std::string exe;
        std::string program;     // the real path of its executable or script
        bool own = false;        // a process of the user
        bool copy = false;       // forked, not execed since: runs what its parent ran
        bool self = false;       // in its run by its own program, which it keeps through execs
        bool sandboxed = false;  // in a Flatpak sandbox
        std::string run;         // the run it is in, by the application's key; empty for none
        // /proc/PID/stat held open: re-reading it is cheap, an exec changes its name, an ended
        // process shows as a zombie, and once reaped it fails even if the PID has been reused.
        UniqueFd statFd;
    };
    // The application a program is, by what it is known as: its bundle, Flatpak sandbox, snap,
    // or its name.
    struct Classified {
        std::string key;
        RunningApplication application;
        std::string unit;  // the cgroup of the unit that named it
    };
    struct Run {
        RunningApplication application;
        std::set<std::pair<std::uint64_t, pid_t>> members;  // oldest first
        std::set<std::string> programs;                     // what its members ran
        std::optional<Clock::time_point> endsAt;            // without members, when it ends
        std::string unit;                                   // the cgroup it was started in
    };

    // Brings what is known of pid up to date and posts what changed. With rereadExe the exe
    // link is read even when the start time and command name are unchanged (an exec event).
    // With likeParent a new process of its parent's name is taken to run what its parent runs.
    void look(pid_t pid, bool rereadExe, std::optional<pid_t> parent = std::nullopt, int depth = 0,
              bool likeParent = false);
    void vanish(pid_t pid);
    void recheck(pid_t pid, const Tracked& tracked);
    std::optional<Classified> classify(pid_t pid, const Tracked& tracked,
                                       const std::optional<FlatpakSandbox>& sandbox) const;
    // Whether program is one of run's own: one its processes ran, one beside such a program in a
    // folder of its own, or one of the Debian package that owns such a program.
    bool owns(const Run& run, const std::string& program);
    // The run of an application, made when it has none yet.
    void open(const Classified& fresh);
    // Adds a process to the run it names, which launches when it had none.
    void enter(pid_t pid, Tracked& tracked);
    void leave(pid_t pid, Tracked& tracked);
    void send(WorkspaceEvent kind, const RunningApplication& application);

    const ProcFs& proc_;
    const ApplicationCatalog& catalog_;
    const uid_t uid_;
    Options options_;
    Sink sink_;
    DpkgFiles dpkg_;
    bool connector_ = false;
    bool posting_ = true;
    std::optional<pid_t> listedUpTo_;  // the last PID handed out when /proc was last listed
    std::size_t statFds_ = 0;
    std::map<pid_t, Tracked> known_;
    std::map<std::string, Run> runs_;
};

}  // namespace tallyvane::linux_platform
