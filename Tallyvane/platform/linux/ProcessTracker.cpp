#include "platform/linux/ProcessTracker.h"

#include <algorithm>

namespace tallyvane::linux_platform {
namespace {

// Bounds on walking up the process tree (PID reuse could make a loop) and on looking up
// ancestors that are not known yet.
constexpr int kMaxAncestors = 256;
constexpr int kMaxLookups = 32;

}  // namespace

ProcessTracker::ProcessTracker(const ProcFs& proc, const ApplicationCatalog& catalog, uid_t uid,
                               std::size_t statFdBudget, Sink sink)
    : proc_(proc),
      catalog_(catalog),
      uid_(uid),
      statFdBudget_(statFdBudget),
      sink_(std::move(sink)) {}

void ProcessTracker::forked(pid_t pid, std::optional<pid_t> parent) {
    look(pid, true, parent, 0, true);
}

void ProcessTracker::received(const std::vector<Event>& events) {
    std::map<pid_t, std::size_t> lastExit, lastExec;
    for (std::size_t i = 0; i < events.size(); ++i) {
        if (events[i].kind == Event::Exit) lastExit[events[i].pid] = i;
        if (events[i].kind == Event::Exec) lastExec[events[i].pid] = i;
    }
    auto later = [](const std::map<pid_t, std::size_t>& last, pid_t pid, std::size_t i) {
        const auto it = last.find(pid);
        return it != last.end() && it->second > i;
    };
    std::vector<pid_t> looked;  // as they stand after every event here
    for (std::size_t i = 0; i < events.size(); ++i) {
        const Event& event = events[i];
        if (event.kind == Event::Exit) {
            std::erase(looked, event.pid);
            exited(event.pid);
            continue;
        }
        // Ended already: there is nothing left to look at.
        if (later(lastExit, event.pid, i)) continue;
        if (std::find(looked.begin(), looked.end(), event.pid) != looked.end()) continue;
        if (event.kind == Event::Fork) {
            // A fork that has execed since does not run its parent's program any more.
            const bool execed = later(lastExec, event.pid, i);
            look(event.pid, true, event.parent, 0, !execed);
            if (execed) looked.push_back(event.pid);
        } else {
            looked.push_back(event.pid);
            execed(event.pid);
        }
    }
}

void ProcessTracker::look(pid_t pid, bool rereadExe, std::optional<pid_t> parent, int depth,
                          bool likeParent) {
    const auto stat = proc_.stat(pid);
    if (!stat || stat->zombie) {
        vanish(pid);
        return;
    }
    auto known = known_.find(pid);
    const bool samePid = known != known_.end() && known->second.startTicks == stat->startTicks;
    if (samePid && !rereadExe && known->second.comm == stat->comm) return;
    Tracked now;
    now.startTicks = stat->startTicks;
    now.comm = stat->comm;
    // The parent that started it: once that one ends, the kernel gives the child another.
    now.parent = samePid ? known->second.parent : parent.value_or(stat->parent);
    const auto from = known_.find(now.parent);
    const Tracked* const parentTracked = from == known_.end() ? nullptr : &from->second;
    if (likeParent && !samePid && parentTracked && parentTracked->comm == stat->comm &&
        !parentTracked->exe.empty()) {
        // A fork runs its parent's program until it execs, and that exec is an event of its own.
        static_cast<Runs&>(now) = *parentTracked;
        now.application.processIdentifier = static_cast<std::int32_t>(pid);
    } else if (auto exe = proc_.exe(pid)) {
        now.exe = std::move(*exe);
        const auto uid = proc_.realUid(pid);
        now.own = uid && *uid == uid_;
    }
    if (now.own && now.program.empty()) {
        bool halfway = false;
        const auto script = scriptOf(proc_, pid, *stat, now.exe, halfway);
        // Caught in the middle of an exec: no name is kept, so the next pass looks again.
        if (halfway) now.comm.clear();
        now.program = withoutDeleted(script.value_or(now.exe));
        now.application = describeApplication(pid, now.program);
        // Everything in a Flatpak sandbox is that application (the sandbox's own launcher,
        // started in it, is not). Only the sandbox's launcher starts a process in it.
        const bool mayBeSandboxed = !parentTracked || parentTracked->sandboxed ||
                                    parentTracked->program.ends_with("/bwrap");
        const auto flatpak = now.program.ends_with("/bwrap") || !mayBeSandboxed
                                 ? std::nullopt
                                 : proc_.flatpakSandbox(pid);
        now.sandboxed = flatpak.has_value();
        now.identity =
            flatpak ? "flatpak:" + flatpak->id : now.application.bundleURL.value_or(now.program);
        now.isApplication = catalog_.isApplication(now.program, now.application, now.sandboxed);
    }
    // An exec into another executable of the same application (a bundle's launcher starting
    // its real program) leaves the process where it was.
    if (samePid && known->second.identity == now.identity) {
        known->second.comm = now.comm;
        known->second.exe = now.exe;
        return;
    }
    if (now.own && statFds_ < statFdBudget_) {
        now.statFd = proc_.openStat(pid);
        if (now.statFd) ++statFds_;
    }
    if (known != known_.end()) {
        leave(pid, known->second);
        known->second = std::move(now);
    } else {
        known = known_.emplace(pid, std::move(now)).first;
    }
    join(pid, known->second, depth);
}

void ProcessTracker::join(pid_t pid, Tracked& tracked, int depth) {
    if (!tracked.isApplication) return;
    pid_t ancestor = tracked.parent;
    for (int step = 0; step < kMaxAncestors && ancestor > 0 && ancestor != pid; ++step) {
        auto it = known_.find(ancestor);
        if (it == known_.end()) {
            // A parent not seen yet: its fork event was lost, or a listing has not reached it.
            if (depth >= kMaxLookups) break;
            look(ancestor, false, std::nullopt, depth + 1);
            it = known_.find(ancestor);
            if (it == known_.end()) break;
        }
        if (it->second.identity == tracked.identity && it->second.instance) {
            tracked.instance = it->second.instance;
            return;
        }
        ancestor = it->second.parent;
    }
    tracked.instance = InstanceId{pid, tracked.startTicks};
    send(WorkspaceEvent::DidLaunchApplication, tracked.application);
}

void ProcessTracker::reclassify() {
    const bool posting = std::exchange(posting_, false);
    for (auto& [pid, tracked] : known_) {
        if (!tracked.own || tracked.isApplication) continue;
        tracked.isApplication =
            catalog_.isApplication(tracked.program, tracked.application, tracked.sandboxed);
        if (tracked.isApplication) join(pid, tracked, 0);
    }
    posting_ = posting;
}

void ProcessTracker::leave(pid_t pid, Tracked& tracked) {
    if (isMain(pid, tracked)) send(WorkspaceEvent::DidTerminateApplication, tracked.application);
    tracked.instance.reset();
    if (tracked.statFd) --statFds_;
    tracked.statFd.reset();
}

void ProcessTracker::vanish(pid_t pid) {
    const auto known = known_.find(pid);
    if (known == known_.end()) return;
    leave(pid, known->second);
    known_.erase(known);
}

// A process listed again by a scan: the user's are checked for an exec or an end; other
// processes cannot become one of the user's by exec, so their presence is all that counts.
void ProcessTracker::recheck(pid_t pid, const Tracked& tracked) {
    if (tracked.statFd) {
        const auto stat = readStat(tracked.statFd);
        if (!stat) {
            vanish(pid);       // that process ended ...
            look(pid, false);  // ... and its PID may already name another
        } else if (stat->zombie) {
            vanish(pid);
        } else if (stat->comm != tracked.comm) {
            look(pid, true);
        }
    } else if (tracked.own || connector_) {
        look(pid, false);
    }
}

void ProcessTracker::scan(bool post) {
    posting_ = post;
    // Listing /proc costs as much as the rest of a pass: while no process has been started
    // since the last listing, checking the user's processes finds every change.
    const auto lastPid = proc_.lastStartedPid();
    if (post && lastPid && lastPid == listedUpTo_) {
        for (auto it = known_.begin(); it != known_.end();) {
            const auto current = it++;  // a check may drop the entry it looks at
            if (current->second.own) recheck(current->first, current->second);
        }
        return;
    }
    listedUpTo_ = lastPid;
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

std::vector<RunningApplication> ProcessTracker::instances() const {
    std::vector<RunningApplication> running;
    for (const auto& [pid, tracked] : known_)
        if (isMain(pid, tracked)) running.push_back(tracked.application);
    return running;
}

void ProcessTracker::send(WorkspaceEvent kind, const RunningApplication& application) {
    if (posting_) sink_(kind, application);
}

}  // namespace tallyvane::linux_platform
