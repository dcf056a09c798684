#pragma once
// Turns what the kernel says of processes (a fork, an exec, an exit, or a fresh listing of /proc)
// into launches and terminations of the user's applications. A process is known by its PID and
// its start time: a PID whose start time or executable changes is a termination and a launch.
// One thread at a time.
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>

#include "platform/WorkspaceNotificationCenter.h"
#include "platform/linux/ProcFs.h"

namespace tallyvane::linux_platform {

class ProcessTracker {
  public:
    using Sink = std::function<void(WorkspaceEvent, const RunningApplication&)>;

    // Applications are the processes of uid. Up to commFdBudget applications get their comm file
    // held open, which lets a scan check them without listing /proc (0: always by path).
    ProcessTracker(const ProcFs& proc, uid_t uid, std::size_t commFdBudget, Sink sink);

    // Raw events from the kernel's process event connector.
    void forked(pid_t pid) { look(pid, true); }
    void execed(pid_t pid) { look(pid, true); }
    void exited(pid_t pid) { vanish(pid); }
    // One pass over /proc; with post false it only records what runs (the first look).
    void scan(bool post);
    // With a connector every known process is rechecked by a scan (its events were lost), not
    // only the applications.
    void connectorDelivers(bool delivers) { connector_ = delivers; }

    std::size_t known() const { return known_.size(); }

  private:
    struct Tracked {
        std::uint64_t startTicks = 0;
        std::string comm;
        std::string exe;
        bool isApplication = false;
        RunningApplication application;
        // /proc/PID/comm held open: re-reading it is cheap, an exec changes it, and once the
        // process is gone it fails even if the PID has been reused.
        UniqueFd commFd;
    };

    // Brings what is known of pid up to date and posts what changed. With rereadExe the exe
    // link is read even when the start time and command name are unchanged (an exec event).
    void look(pid_t pid, bool rereadExe);
    void vanish(pid_t pid);
    void recheck(pid_t pid, const Tracked& tracked);
    void release(Tracked& tracked);
    void send(WorkspaceEvent kind, const RunningApplication& application);

    const ProcFs& proc_;
    const uid_t uid_;
    const std::size_t commFdBudget_;
    Sink sink_;
    bool connector_ = false;
    bool posting_ = true;
    std::optional<pid_t> listedUpTo_;  // the last PID handed out when /proc was last listed
    std::size_t commFds_ = 0;
    std::map<pid_t, Tracked> known_;
};

}  // namespace tallyvane::linux_platform
