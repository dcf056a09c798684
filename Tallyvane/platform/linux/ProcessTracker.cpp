#include "platform/linux/ProcessTracker.h"

namespace tallyvane::linux_platform {

ProcessTracker::ProcessTracker(const ProcFs& proc, uid_t uid, std::size_t commFdBudget, Sink sink)
    : proc_(proc), uid_(uid), commFdBudget_(commFdBudget), sink_(std::move(sink)) {}

void ProcessTracker::look(pid_t pid, bool rereadExe) {
    const auto stat = proc_.stat(pid);
    if (!stat) {
        vanish(pid);
        return;
    }
    auto known = known_.find(pid);
    const bool samePid = known != known_.end() && known->second.startTicks == stat->startTicks;
    if (samePid && !rereadExe && known->second.comm == stat->comm) return;
    Tracked now;
    now.startTicks = stat->startTicks;
    now.comm = stat->comm;
    if (auto exe = proc_.exe(pid)) {
        now.exe = std::move(*exe);
        const auto uid = proc_.realUid(pid);
        now.isApplication = uid && *uid == uid_;
    }
    if (samePid && known->second.exe == now.exe) {
        known->second.comm = now.comm;
        return;
    }
    if (now.isApplication) {
        now.application = describeApplication(pid, now.exe);
        if (commFds_ < commFdBudget_) {
            now.commFd = proc_.openComm(pid);
            if (now.commFd) ++commFds_;
        }
    }
    if (known != known_.end()) {
        if (known->second.isApplication)
            send(WorkspaceEvent::DidTerminateApplication, known->second.application);
        release(known->second);
        known->second = std::move(now);
    } else {
        known = known_.emplace(pid, std::move(now)).first;
    }
    if (known->second.isApplication)
        send(WorkspaceEvent::DidLaunchApplication, known->second.application);
}

void ProcessTracker::vanish(pid_t pid) {
    const auto known = known_.find(pid);
    if (known == known_.end()) return;
    if (known->second.isApplication)
        send(WorkspaceEvent::DidTerminateApplication, known->second.application);
    release(known->second);
    known_.erase(known);
}

void ProcessTracker::release(Tracked& tracked) {
    if (tracked.commFd) --commFds_;
    tracked.commFd.reset();
}

// A process listed again by a scan: applications are checked for an exec or an end; other
// processes cannot become one of ours by exec, so their presence is all that counts.
void ProcessTracker::recheck(pid_t pid, const Tracked& tracked) {
    if (tracked.commFd) {
        const auto comm = readComm(tracked.commFd);
        if (!comm) {
            vanish(pid);       // that process ended ...
            look(pid, false);  // ... and its PID may already name another
        } else if (*comm != tracked.comm) {
            look(pid, true);
        }
    } else if (tracked.isApplication || connector_) {
        look(pid, false);
    }
}

void ProcessTracker::scan(bool post) {
    // Listing /proc costs as much as the rest of a pass: while no process has been started
    // since the last listing, checking the applications we know finds every change.
    const auto lastPid = proc_.lastStartedPid();
    if (post && lastPid && lastPid == listedUpTo_) {
        for (auto it = known_.begin(); it != known_.end();) {
            const auto current = it++;  // a check may drop the entry it looks at
            if (current->second.isApplication) recheck(current->first, current->second);
        }
        return;
    }
    listedUpTo_ = lastPid;
    posting_ = post;
    auto known = known_.begin();
    for (pid_t pid : proc_.pids()) {
        // Processes gone since the last pass sit between the listed PIDs.
        while (known != known_.end() && known->first < pid) vanish((known++)->first);
        if (known != known_.end() && known->first == pid)
            recheck(pid, (known++)->second);
        else
            look(pid, false);
    }
    while (known != known_.end()) vanish((known++)->first);
    posting_ = true;
}

void ProcessTracker::send(WorkspaceEvent kind, const RunningApplication& application) {
    if (posting_) sink_(kind, application);
}

}  // namespace tallyvane::linux_platform
