#include "platform/linux/ProcessTracker.h"

#include <algorithm>

namespace tallyvane::linux_platform {
namespace {

// A bound on looking up parents that are not known yet (PID reuse could make a loop).
constexpr int kMaxLookups = 32;

}  // namespace

ProcessTracker::ProcessTracker(const ProcFs& proc, const ApplicationCatalog& catalog, uid_t uid,
                               Options options, Sink sink)
    : proc_(proc),
      catalog_(catalog),
      uid_(uid),
      options_(std::move(options)),
      sink_(std::move(sink)),
      dpkg_(options_.system) {}

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
    auto from = known_.find(now.parent);
    if (likeParent && !samePid && from != known_.end() && from->second.comm == stat->comm &&
        !from->second.exe.empty()) {
        // A fork runs its parent's program until it execs, and that exec is an event of its own.
        const Tracked& p = from->second;
        now.exe = p.exe, now.program = p.program, now.own = p.own, now.sandboxed = p.sandboxed;
        now.run = p.run;
        now.copy = true;
    } else if (auto exe = proc_.exe(pid)) {
        now.exe = std::move(*exe);
        const auto uid = proc_.realUid(pid);
        now.own = uid && *uid == uid_;
    } else if (samePid && known->second.own) {
        // Its program is gone while it exits: it keeps its run until its end is seen.
        return;
    }
    if (now.own && !now.copy) {
        bool halfway = false;
        const auto script = scriptOf(proc_, pid, *stat, now.exe, halfway);
        // Caught in the middle of an exec: no name is kept, so the next pass looks again.
        if (halfway) now.comm.clear();
        now.program = withoutDeleted(script.value_or(now.exe));
        // A parent not seen yet: its fork event was lost, or a listing has not reached it.
        if (!samePid && from == known_.end() && now.parent > 1 && now.parent != pid &&
            depth < kMaxLookups) {
            look(now.parent, false, std::nullopt, depth + 1);
            from = known_.find(now.parent);
            known = known_.find(pid);
        }
        const Tracked* const p = from == known_.end() ? nullptr : &from->second;
        // Everything in a Flatpak sandbox is that application (the sandbox's own launcher,
        // started in it, is not). Only the sandbox's launcher starts a process in it.
        const bool mayBeSandboxed = !p || p->sandboxed || p->program.ends_with("/bwrap");
        const auto sandbox = now.program.ends_with("/bwrap") || !mayBeSandboxed
                                 ? std::nullopt
                                 : proc_.flatpakSandbox(pid);
        now.sandboxed = sandbox.has_value();
        if (samePid && known->second.self && !known->second.run.empty()) {
            // Launched as an application, it stays that application whatever it execs.
            now.run = known->second.run;
            now.self = true;
        } else {
            // A fork that has execed stays in its parent's run if it runs that one's program.
            const std::string& inherited =
                samePid ? known->second.run : (p ? p->run : std::string());
            const auto fresh = classify(pid, now, sandbox);
            const auto run = inherited.empty() ? runs_.end() : runs_.find(inherited);
            if (run != runs_.end() && ((fresh && fresh->key == inherited) ||
                                       (!fresh && owns(run->second, now.program)))) {
                now.run = inherited;
                now.self = fresh.has_value();
            } else if (fresh) {
                now.run = fresh->key;
                now.self = true;
                open(*fresh);
            }
        }
    }
    if (samePid && known->second.run == now.run) {
        // Still in the same run (or none): only what it runs changed.
        Tracked& was = known->second;
        was.comm = now.comm, was.exe = now.exe, was.copy = now.copy, was.self = now.self;
        was.sandboxed = now.sandboxed;
        if (was.program != now.program) {
            was.program = now.program;
            if (!was.run.empty() && !isInterpreter(fileNameOf(was.program)))
                runs_[was.run].programs.insert(was.program);
        }
        return;
    }
    if (now.own && statFds_ < options_.statFdBudget) {
        now.statFd = proc_.openStat(pid);
        if (now.statFd) ++statFds_;
    }
    if (known != known_.end()) {
        leave(pid, known->second);
        known->second = std::move(now);
    } else {
        known = known_.emplace(pid, std::move(now)).first;
    }
    if (!known->second.run.empty()) enter(pid, known->second);
}

void ProcessTracker::open(const Classified& fresh) {
    if (!runs_.count(fresh.key))
        runs_.emplace(fresh.key, Run{fresh.application, {}, {}, {}, fresh.unit});
}

void ProcessTracker::enter(pid_t pid, Tracked& tracked) {
    Run& run = runs_[tracked.run];
    const bool first = run.members.empty() && !run.endsAt;
    run.endsAt.reset();
    run.members.emplace(tracked.startTicks, pid);
    if (!isInterpreter(fileNameOf(tracked.program))) run.programs.insert(tracked.program);
    run.application.processIdentifier = static_cast<std::int32_t>(run.members.begin()->second);
    if (first) {
        RunningApplication launched = run.application;
        launched.processIdentifier = static_cast<std::int32_t>(pid);
        send(WorkspaceEvent::DidLaunchApplication, launched);
    }
}

void ProcessTracker::leave(pid_t pid, Tracked& tracked) {
    if (tracked.statFd) --statFds_;
    tracked.statFd.reset();
    const auto it = runs_.find(tracked.run);
    tracked.run.clear();
    if (it == runs_.end()) return;
    Run& run = it->second;
    run.members.erase({tracked.startTicks, pid});
    if (!run.members.empty()) {
        run.application.processIdentifier = static_cast<std::int32_t>(run.members.begin()->second);
    } else if (posting_) {
        // A launcher that hands over to its successor leaves the run empty for a moment.
        run.endsAt = options_.now() + options_.hold;
    } else {
        runs_.erase(it);
    }
}

std::set<std::string> ProcessTracker::units() const {
    std::set<std::string> cgroups;
    for (const auto& [key, run] : runs_)
        if (!run.unit.empty() && !run.members.empty()) cgroups.insert(run.unit);
    return cgroups;
}

void ProcessTracker::unitEmptied(const std::string& cgroup) {
    std::vector<pid_t> members;
    for (const auto& [key, run] : runs_)
        if (run.unit == cgroup)
            for (const auto& member : run.members) members.push_back(member.second);
    // Only those that have ended go: a member outside the unit (a bus service) may live on.
    for (pid_t pid : members) look(pid, false);
}

std::optional<ProcessTracker::Clock::time_point> ProcessTracker::deadline() const {
    std::optional<Clock::time_point> first;
    for (const auto& [key, run] : runs_)
        if (run.endsAt && (!first || *run.endsAt < *first)) first = run.endsAt;
    return first;
}

void ProcessTracker::expire() {
    const auto now = options_.now();
    for (auto it = runs_.begin(); it != runs_.end();) {
        if (it->second.members.empty() && it->second.endsAt && *it->second.endsAt <= now) {
            send(WorkspaceEvent::DidTerminateApplication, it->second.application);
            it = runs_.erase(it);
        } else {
            ++it;
        }
    }
}

void ProcessTracker::reclassify() {
    const bool posting = std::exchange(posting_, false);
    for (auto& [pid, tracked] : known_) {
        if (!tracked.own || !tracked.run.empty() || tracked.copy) continue;
        const auto fresh = classify(pid, tracked, std::nullopt);
        if (!fresh) continue;
        tracked.run = fresh->key;
        tracked.self = true;
        open(*fresh);
        enter(pid, tracked);
    }
    posting_ = posting;
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
    for (const auto& [key, run] : runs_)
        if (!run.members.empty()) running.push_back(run.application);
    std::sort(running.begin(), running.end(), [](const auto& a, const auto& b) {
        return a.processIdentifier < b.processIdentifier;
    });
    return running;
}

void ProcessTracker::send(WorkspaceEvent kind, const RunningApplication& application) {
    if (posting_) sink_(kind, application);
}

}  // namespace tallyvane::linux_platform
