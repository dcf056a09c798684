// The workspace over /proc: an event source (the process event connector, or a scan at a fixed
// period) on a thread of its own feeds the process tracker, whose launches and terminations are
// posted to the main loop.
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

#include "lvornutils/Log.h"
#include "platform/linux/ApplicationCatalog.h"
#include "platform/linux/LinuxPlatform.h"
#include "platform/linux/ProcFs.h"
#include "platform/linux/ProcessConnector.h"
#include "platform/linux/ProcessTracker.h"
#include "platform/linux/UnitWatch.h"

namespace tallyvane::linux_platform {
namespace {

using SteadyClock = std::chrono::steady_clock;

// How long events are gathered after the first before they are looked at.
constexpr int kGatherMs = 3;
// How long a run's end may wait past its hold for events already received to be taken in.
constexpr auto kMaxDefer = std::chrono::milliseconds(500);

// Leaves most descriptors to the rest of the program; beyond this the scan reads stat by path.
std::size_t statFdBudget() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return 4096;
    return static_cast<std::size_t>(std::max<rlim_t>(limit.rlim_cur / 2, 64) - 64);
}

class ProcWorkspace final : public Workspace, private ProcessConnector::Events {
  public:
    ProcWorkspace(MainLoop& mainLoop, WorkspaceOptions options)
        : mainLoop_(mainLoop),
          options_(options),
          center_(std::make_shared<WorkspaceNotificationCenter>()),
          uid_(::getuid()),
          // Listing alone only serves to find metered programs, which their names tell: the
          // desktop entries are read only by a workspace that reports launches.
          catalog_(options_.events == ProcessEvents::None ? std::vector<std::string>{}
                                                          : xdgApplicationFolders()),
          stop_(::eventfd(0, EFD_CLOEXEC)),
          units_(options_.events == ProcessEvents::None ? std::nullopt : proc_.cgroup2Mount()) {
        // Report mode only lists what runs: no watcher, no connector, no first scan.
        if (options_.events == ProcessEvents::None) return;
        if (options_.events != ProcessEvents::Scan) connector_ = ProcessConnector::open();
        if (!connector_ && options_.events == ProcessEvents::Connector) {
            VornLog("Workspace: the process event connector cannot be opened");
            return;
        }
        // The connector tells of every change, so no stat file needs holding open for it.
        ProcessTracker::Options tracking;
        tracking.statFdBudget = connector_ ? 0 : statFdBudget();
        tracker_.emplace(proc_, catalog_, uid_, std::move(tracking),
                         [this](WorkspaceEvent kind, const RunningApplication& application) {
                             send(kind, application);
                         });
        tracker_->connectorDelivers(connector_.has_value());
        // What runs now was not launched after us: the first look posts nothing.
        tracker_->scan(false);
        watchUnits();
        thread_ = std::thread([this] { connector_ ? watchConnector() : watchByScan(); });
    }

    ~ProcWorkspace() override {
        const std::uint64_t one = 1;
        if (::write(stop_.get(), &one, sizeof one) < 0) {
            // Nothing else can wake the thread; it would hang the join.
            VornLog("Workspace: cannot stop the watcher thread");
        }
        if (thread_.joinable()) thread_.join();
    }

    std::vector<RunningApplication> runningApplications() override {
        const std::lock_guard lock(trackerMutex_);
        if (tracker_) return tracker_->instances();
        // Without watching, one listing tells the instances as the tree stands now.
        ProcessTracker listing(proc_, catalog_, uid_, {},
                               [](WorkspaceEvent, const RunningApplication&) {});
        listing.scan(false);
        return listing.instances();
    }

    WorkspaceNotificationCenter& notificationCenter() override { return *center_; }

    void meterApplicationsNamed(const std::vector<std::string>& names) override {
        const std::lock_guard lock(trackerMutex_);
        catalog_.meter(names);
        if (!tracker_) return;
        tracker_->reclassify();
        watchUnits();
    }

    bool usesConnector() const { return connector_.has_value(); }

  private:
    // How long poll may wait for the next thing due: a scan at next, or a run's end.
    int untilDue(std::optional<SteadyClock::time_point> next) {
        std::optional<SteadyClock::time_point> due;
        {
            const std::lock_guard lock(trackerMutex_);
            due = tracker_->deadline();
        }
        if (next && (!due || *next < *due)) due = next;
        if (!due) return -1;
        const auto wait = std::chrono::ceil<std::chrono::milliseconds>(*due - SteadyClock::now());
        return static_cast<int>(std::clamp<long long>(wait.count(), 0, 60'000));
    }

    // Fixed-rate scans; waits on the stop descriptor so the destructor need not wait a period.
    // A run left without processes is looked at again when its hold ends, before it ends.
    void watchByScan() {
        auto next = SteadyClock::now() + options_.scanPeriod;
        for (;;) {
            pollfd fds[3] = {{stop_.get(), POLLIN, 0},
                             {catalog_.changes(), POLLIN, 0},
                             {units_.fd(), POLLIN, 0}};
            const int ready = ::poll(fds, 3, untilDue(next));
            if (ready < 0 && errno != EINTR) return;
            if (ready > 0 && fds[0].revents) return;
            if (ready > 0 && fds[1].revents) catalogChanged();
            // A unit's end is known at once, not at the next scan.
            if (ready > 0 && fds[2].revents) unitsChanged();
            const auto now = SteadyClock::now();
            std::unique_lock lock(trackerMutex_);
            const auto due = tracker_->deadline();
            if (now < next && !(due && *due <= now)) continue;
            tracker_->scan(true);
            tracker_->expire();
            watchUnits();
            lock.unlock();
            if (now < next) continue;
            next += options_.scanPeriod;
            // After a long stall (suspend) start afresh rather than scan in a burst.
            if (next < SteadyClock::now()) next = SteadyClock::now() + options_.scanPeriod;
        }
    }

    void watchConnector() {
        for (;;) {
            pollfd fds[4] = {{stop_.get(), POLLIN, 0},
                             {catalog_.changes(), POLLIN, 0},
                             {units_.fd(), POLLIN, 0},
                             {connector_->fd(), POLLIN, 0}};
            const int ready = ::poll(fds, 4, untilDue(std::nullopt));
            if (ready < 0) {
                if (errno == EINTR) continue;
                VornLog(std::string("Workspace: poll failed: ") + std::strerror(errno));
                return;
            }
            if (fds[0].revents) return;
            // An application installed just before its launch is known at that launch.
            if (fds[1].revents) catalogChanged();
            // The end of a unit stands for exits the connector may have lost.
            if (fds[2].revents) unitsChanged();
            if (!fds[3].revents) {
                const std::lock_guard lock(trackerMutex_);
                tracker_->expire();
                continue;
            }
            bool received = connector_->receive(*this);
            // A process's fork, exec and exit come within a few milliseconds: taken together, a
            // short-lived tool costs one wake-up and no look at all once it has ended.
            const bool started = std::any_of(batch_.begin(), batch_.end(), [](const auto& e) {
                return e.kind != ProcessTracker::Event::Exit;
            });
            if (received && started) {
                pollfd stop{stop_.get(), POLLIN, 0};
                if (::poll(&stop, 1, kGatherMs) > 0) return;
                received = connector_->receive(*this);
            }
            std::unique_lock lock(trackerMutex_);
            if (std::exchange(lost_, false)) {
                // Events were dropped: the table itself tells what changed meanwhile.
                VornLog("Workspace: process events were lost; rescanning /proc");
                tracker_->scan(true);
            }
            tracker_->received(batch_);
            batch_.clear();
            watchUnits();
            // A busy machine can take longer than the hold over one batch: the successor a run
            // waits for may be in the next one, already queued.
            const auto due = tracker_->deadline();
            if (!readable(connector_->fd()) || (due && SteadyClock::now() > *due + kMaxDefer))
                tracker_->expire();
            if (received) continue;
            VornLog(std::string("Workspace: the process event connector failed (") +
                    std::strerror(errno) + "); scanning /proc from now on");
            tracker_->connectorDelivers(false);
            lock.unlock();
            watchByScan();
            return;
        }
    }

    static bool readable(int fd) {
        pollfd ready{fd, POLLIN, 0};
        return ::poll(&ready, 1, 0) > 0 && (ready.revents & POLLIN);
    }

    void catalogChanged() {
        const std::lock_guard lock(trackerMutex_);
        if (!catalog_.refresh()) return;
        tracker_->reclassify();
        watchUnits();
    }

    // Under the tracker's mutex, after anything that may have started or ended a run.
    void watchUnits() {
        for (const std::string& cgroup : units_.watch(tracker_->units()))
            tracker_->unitEmptied(cgroup);
    }

    void unitsChanged() {
        const std::lock_guard lock(trackerMutex_);
        for (const std::string& cgroup : units_.emptied()) tracker_->unitEmptied(cgroup);
    }

    void forked(pid_t pid, pid_t parent) override {
        batch_.push_back({ProcessTracker::Event::Fork, pid, parent});
    }
    void execed(pid_t pid) override { batch_.push_back({ProcessTracker::Event::Exec, pid}); }
    void exited(pid_t pid) override { batch_.push_back({ProcessTracker::Event::Exit, pid}); }
    void lost() override {
        // What was gathered before is older than the rescan that comes before what follows.
        batch_.clear();
        lost_ = true;
    }

    void send(WorkspaceEvent kind, const RunningApplication& application) {
        std::weak_ptr<WorkspaceNotificationCenter> center = center_;
        mainLoop_.post([center, kind, application] {
            if (auto alive = center.lock()) alive->post(kind, WorkspaceNotification{application});
        });
    }

    MainLoop& mainLoop_;
    const WorkspaceOptions options_;
    // Tasks already on the loop may outlive the workspace; they find the centre gone.
    std::shared_ptr<WorkspaceNotificationCenter> center_;
    const uid_t uid_;
    const ProcFs proc_;
    // Which processes are applications; guarded by the tracker's mutex.
    ApplicationCatalog catalog_;
    UniqueFd stop_;
    // Guarded by the tracker's mutex; its descriptor never changes.
    UnitWatch units_;
    std::optional<ProcessConnector> connector_;
    // The watcher thread's, after construction; the main thread asks it what runs.
    std::optional<ProcessTracker> tracker_;
    // The watcher thread's: received, not yet handed to the tracker.
    std::vector<ProcessTracker::Event> batch_;
    bool lost_ = false;
    std::mutex trackerMutex_;
    std::thread thread_;
};

class ProcProcessTable final : public ProcessTable {
  public:
    std::optional<double> startTime(std::int32_t pid) const override {
        if (pid <= 0) return std::nullopt;
        const auto stat = ProcFs().stat(static_cast<pid_t>(pid));
        const long ticksPerSecond = ::sysconf(_SC_CLK_TCK);
        if (!stat || ticksPerSecond <= 0) return std::nullopt;
        // The boot moment on today's wall clock, to the nanosecond: /proc/stat's btime is the
        // same difference cut to whole seconds, which would cost the start time its fraction.
        timespec wall{}, boot{};
        if (::clock_gettime(CLOCK_REALTIME, &wall) != 0) return std::nullopt;
        if (::clock_gettime(CLOCK_BOOTTIME, &boot) != 0) return std::nullopt;
        const double bootedAt = static_cast<double>(wall.tv_sec - boot.tv_sec) +
                                static_cast<double>(wall.tv_nsec - boot.tv_nsec) / 1e9;
        return bootedAt +
               static_cast<double>(stat->startTicks) / static_cast<double>(ticksPerSecond);
    }
};

}  // namespace

std::unique_ptr<Workspace> makeWorkspace(MainLoop& mainLoop, WorkspaceOptions options) {
    return std::make_unique<ProcWorkspace>(mainLoop, options);
}

bool workspaceUsesConnector(const Workspace& workspace) {
    const auto* proc = dynamic_cast<const ProcWorkspace*>(&workspace);
    return proc && proc->usesConnector();
}

std::unique_ptr<ProcessTable> makeProcessTable() {
    return std::make_unique<ProcProcessTable>();
}

}  // namespace tallyvane::linux_platform
