#include "platform/linux/ProcessWatcher.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

namespace tallyvane::linux_platform {
namespace {

// How long events are gathered after the first before they are looked at.
constexpr int kGatherMs = 3;
// How long a run's end may wait past its hold for events already received to be taken in.
constexpr auto kMaxDefer = std::chrono::milliseconds(500);

bool readable(int fd) {
    pollfd ready{fd, POLLIN, 0};
    return ::poll(&ready, 1, 0) > 0 && (ready.revents & POLLIN);
}

}  // namespace

void ProcessWatcher::run(ProcessEventSource& source, ProcessEventSource& fallback) {
    if (source.fd() < 0) {
        watchPeriodically(source);
        return;
    }
    int failure = 0;
    if (watchEvents(source, failure)) return;
    log_.write(std::string("Workspace: the process event connector failed (") +
               std::strerror(failure) + "); scanning /proc from now on");
    {
        const std::lock_guard lock(mutex_);
        tracker_.connectorDelivers(false);
    }
    watchPeriodically(fallback);
}

int ProcessWatcher::untilDue(std::optional<SteadyClock::time_point> next) {
    std::optional<SteadyClock::time_point> due;
    {
        const std::lock_guard lock(mutex_);
        due = tracker_.deadline();
    }
    if (next && (!due || *next < *due)) due = next;
    if (!due) return -1;
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(*due - SteadyClock::now());
    return static_cast<int>(std::clamp<long long>(wait.count(), 0, 60'000));
}

// Waits on the stop descriptor so that stopping need not wait a period. A run left without
// processes is looked at again when its hold ends, before it ends.
void ProcessWatcher::watchPeriodically(ProcessEventSource& source) {
    auto next = SteadyClock::now() + source.period();
    for (;;) {
        pollfd fds[3] = {
            {stop_, POLLIN, 0}, {catalog_.changes(), POLLIN, 0}, {units_.fd(), POLLIN, 0}};
        const int ready = ::poll(fds, 3, untilDue(next));
        if (ready < 0 && errno != EINTR) return;
        if (ready > 0 && fds[0].revents) return;
        if (ready > 0 && fds[1].revents) catalogChanged();
        // A unit's end is known at once, not at the next scan.
        if (ready > 0 && fds[2].revents) unitsChanged();
        const auto now = SteadyClock::now();
        std::unique_lock lock(mutex_);
        const auto due = tracker_.deadline();
        if (now < next && !(due && *due <= now)) continue;
        source.receive(*this);
        tracker_.expire();
        watchUnits();
        lock.unlock();
        if (now < next) continue;
        next += source.period();
        // After a long stall (suspend) start afresh rather than scan in a burst.
        if (next < SteadyClock::now()) next = SteadyClock::now() + source.period();
    }
}

bool ProcessWatcher::watchEvents(ProcessEventSource& source, int& failure) {
    for (;;) {
        pollfd fds[4] = {{stop_, POLLIN, 0},
                         {catalog_.changes(), POLLIN, 0},
                         {units_.fd(), POLLIN, 0},
                         {source.fd(), POLLIN, 0}};
        const int ready = ::poll(fds, 4, untilDue(std::nullopt));
        if (ready < 0) {
            if (errno == EINTR) continue;
            log_.write(std::string("Workspace: poll failed: ") + std::strerror(errno));
            return true;
        }
        if (fds[0].revents) return true;
        // An application installed just before its launch is known at that launch.
        if (fds[1].revents) catalogChanged();
        // The end of a unit stands for exits the source may have lost.
        if (fds[2].revents) unitsChanged();
        if (!fds[3].revents) {
            const std::lock_guard lock(mutex_);
            tracker_.expire();
            continue;
        }
        // The source's error, before anything else can set errno.
        const auto receive = [&] { return source.receive(*this) || (failure = errno, false); };
        bool received = receive();
        // A process's fork, exec and exit come within a few milliseconds: taken together, a
        // short-lived tool costs one wake-up and no look at all once it has ended.
        const bool started = std::any_of(batch_.begin(), batch_.end(), [](const auto& e) {
            return e.kind != ProcessTracker::Event::Exit;
        });
        if (received && started) {
            pollfd stop{stop_, POLLIN, 0};
            if (::poll(&stop, 1, kGatherMs) > 0) return true;
            received = receive();
        }
        const std::lock_guard lock(mutex_);
        if (std::exchange(lost_, false)) {
            // Events were dropped: the table itself tells what changed meanwhile.
            log_.write("Workspace: process events were lost; rescanning /proc");
            tracker_.scan(true);
        }
        tracker_.received(batch_);
        batch_.clear();
        watchUnits();
        // A busy machine can take longer than the hold over one batch: the successor a run
        // waits for may be in the next one, already queued.
        const auto due = tracker_.deadline();
        if (!readable(source.fd()) || (due && SteadyClock::now() > *due + kMaxDefer))
            tracker_.expire();
        if (!received) return false;
    }
}

void ProcessWatcher::catalogChanged() {
    const std::lock_guard lock(mutex_);
    if (!catalog_.refresh()) return;
    tracker_.reclassify();
    watchUnits();
}

void ProcessWatcher::watchUnits() {
    for (const std::string& cgroup : units_.watch(tracker_.units())) tracker_.unitEmptied(cgroup);
}

void ProcessWatcher::unitsChanged() {
    const std::lock_guard lock(mutex_);
    for (const std::string& cgroup : units_.emptied()) tracker_.unitEmptied(cgroup);
}

void ProcessWatcher::forked(pid_t pid, pid_t parent) {
    batch_.push_back({ProcessTracker::Event::Fork, pid, parent});
}
void ProcessWatcher::execed(pid_t pid) {
    batch_.push_back({ProcessTracker::Event::Exec, pid});
}
void ProcessWatcher::exited(pid_t pid) {
    batch_.push_back({ProcessTracker::Event::Exit, pid});
}
void ProcessWatcher::lost() {
    // What was gathered before is older than the rescan that comes before what follows.
    batch_.clear();
    lost_ = true;
}
// Called under the mutex, from the periodic watching.
void ProcessWatcher::listingDue() {
    tracker_.scan(true);
}

}  // namespace tallyvane::linux_platform
