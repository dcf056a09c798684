#pragma once
// Turns what the kernel says of processes (a fork, an exec, an exit, or a fresh listing of /proc)
// into launches and terminations of the user's application instances. A process is known by its
// PID and its start time. It belongs to the instance of its nearest ancestor running the same
// application; one whose ancestors run no such thing is the main process of a new instance (a
// launch), and the instance ends with its main process. Only applications have instances (the
// catalog tells which processes are); other processes post nothing. One thread at a time.
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/WorkspaceNotificationCenter.h"
#include "platform/linux/ApplicationCatalog.h"
#include "platform/linux/ProcFs.h"

namespace tallyvane::linux_platform {

class ProcessTracker {
  public:
    using Sink = std::function<void(WorkspaceEvent, const RunningApplication&)>;

    // Applications are the processes of uid. Up to statFdBudget of its processes get their stat
    // file held open, which lets a scan check them without listing /proc (0: always by path).
    ProcessTracker(const ProcFs& proc, const ApplicationCatalog& catalog, uid_t uid,
                   std::size_t statFdBudget, Sink sink);

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
    // The catalog changed: processes it now takes for applications get their instances, posting
    // nothing (they were not launched after the change). An instance stays until it ends.
    void reclassify();

    // The instances running now, by ascending PID of their main process.
    std::vector<RunningApplication> instances() const;
    std::size_t known() const { return known_.size(); }

  private:
    // An instance is named by its main process.
    struct InstanceId {
        pid_t pid = 0;
        std::uint64_t startTicks = 0;
        bool operator==(const InstanceId&) const = default;
    };
    // What a process runs: the same for a fork until it execs.
    struct Runs {
        std::string exe;
        bool own = false;  // a process of the user
        // What the application is known by: its bundle, else its executable or script; empty
        // for a process that runs no application.
        std::string identity;
        std::string program;     // the real path of its executable or script
        bool sandboxed = false;  // in a Flatpak sandbox
        bool isApplication = false;
        RunningApplication application;
    };
    struct Tracked : Runs {
        std::uint64_t startTicks = 0;
        std::string comm;
        pid_t parent = 0;
        // The instance it belongs to; that instance may have ended already (a helper outliving
        // its main process), and then the process counts for nothing.
        std::optional<InstanceId> instance;
        // /proc/PID/stat held open: re-reading it is cheap, an exec changes its name, an ended
        // process shows as a zombie, and once reaped it fails even if the PID has been reused.
        UniqueFd statFd;
    };

    // Brings what is known of pid up to date and posts what changed. With rereadExe the exe
    // link is read even when the start time and command name are unchanged (an exec event).
    // With likeParent a new process of its parent's name is taken to run what its parent runs.
    void look(pid_t pid, bool rereadExe, std::optional<pid_t> parent = std::nullopt, int depth = 0,
              bool likeParent = false);
    void vanish(pid_t pid);
    void recheck(pid_t pid, const Tracked& tracked);
    // Ends the instance whose main process tracked is, if it is.
    void leave(pid_t pid, Tracked& tracked);
    // Finds the instance of a newly seen or newly execed process, launching one if need be.
    void join(pid_t pid, Tracked& tracked, int depth);
    bool isMain(pid_t pid, const Tracked& tracked) const {
        return tracked.instance && *tracked.instance == InstanceId{pid, tracked.startTicks};
    }
    void send(WorkspaceEvent kind, const RunningApplication& application);

    const ProcFs& proc_;
    const ApplicationCatalog& catalog_;
    const uid_t uid_;
    const std::size_t statFdBudget_;
    Sink sink_;
    bool connector_ = false;
    bool posting_ = true;
    std::optional<pid_t> listedUpTo_;  // the last PID handed out when /proc was last listed
    std::size_t statFds_ = 0;
    std::map<pid_t, Tracked> known_;
};

}  // namespace tallyvane::linux_platform
