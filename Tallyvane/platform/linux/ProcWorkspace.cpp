// The workspace over /proc: a watcher on a thread of its own feeds the process tracker from an
// event source (the process event connector, or a scan at a fixed period); the tracker's
// launches and terminations are posted to the main loop.
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/linux/ApplicationCatalog.h"
#include "platform/linux/LinuxPlatform.h"
#include "platform/linux/ProcFs.h"
#include "platform/linux/ProcessConnector.h"
#include "platform/linux/ProcessTracker.h"
#include "platform/linux/ProcessWatcher.h"
#include "platform/linux/UnitWatch.h"
#include "settings/AgentLibrary.h"

namespace tallyvane::linux_platform {
namespace {

// Leaves most descriptors to the rest of the program; beyond this the scan reads stat by path.
std::size_t statFdBudget() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return 4096;
    return static_cast<std::size_t>(std::max<rlim_t>(limit.rlim_cur / 2, 64) - 64);
}

class ProcWorkspace final : public Workspace {
  public:
    ProcWorkspace(MainLoop& mainLoop, WorkspaceOptions options)
        : mainLoop_(mainLoop),
          options_(options),
          log_(options.log ? *options.log : agentLibraryLog()),
          center_(std::make_shared<WorkspaceNotificationCenter>()),
          uid_(::getuid()),
          // Listing alone only serves to find metered programs, which their names tell: the
          // desktop entries are read only by a workspace that reports launches.
          catalog_(options_.events == ProcessEvents::None ? std::vector<std::string>{}
                                                          : xdgApplicationFolders()),
          stop_(::eventfd(0, EFD_CLOEXEC)),
          units_(options_.events == ProcessEvents::None ? std::nullopt : proc_.cgroup2Mount()),
          scan_(options_.scanPeriod) {
        // Report mode only lists what runs: no watcher, no connector, no first scan.
        if (options_.events == ProcessEvents::None) return;
        if (options_.events != ProcessEvents::Scan) connector_ = ProcessConnector::open();
        if (!connector_ && options_.events == ProcessEvents::Connector) {
            log_.write("Workspace: the process event connector cannot be opened");
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
        watcher_.emplace(*tracker_, catalog_, units_, trackerMutex_, stop_.get(), log_);
        watcher_->watchUnits();
        thread_ = std::thread([this] {
            watcher_->run(connector_ ? static_cast<ProcessEventSource&>(*connector_) : scan_,
                          scan_);
        });
    }

    ~ProcWorkspace() override {
        const std::uint64_t one = 1;
        if (::write(stop_.get(), &one, sizeof one) < 0) {
            // Nothing else can wake the thread; it would hang the join.
            log_.write("Workspace: cannot stop the watcher thread");
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
        watcher_->watchUnits();
    }

    bool usesConnector() const { return connector_.has_value(); }

  private:
    void send(WorkspaceEvent kind, const RunningApplication& application) {
        std::weak_ptr<WorkspaceNotificationCenter> center = center_;
        mainLoop_.post([center, kind, application] {
            if (auto alive = center.lock()) alive->post(kind, WorkspaceNotification{application});
        });
    }

    MainLoop& mainLoop_;
    const WorkspaceOptions options_;
    LogSink& log_;
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
    ProcScan scan_;
    // The watcher thread's, after construction; the main thread asks it what runs.
    std::optional<ProcessTracker> tracker_;
    std::mutex trackerMutex_;
    std::optional<ProcessWatcher> watcher_;
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
