#pragma once
// Feeds the process tracker from an event source on the calling thread: a connector's events
// are gathered for a few milliseconds and handed over together, lost events bring a rescan, and a
// source that fails gives way to the scan. It also follows the catalog's folders and the units
// runs were started in, whose changes it hands to the tracker.
#include <mutex>
#include <optional>
#include <vector>

#include "base/LogSink.h"
#include "platform/linux/ApplicationCatalog.h"
#include "platform/linux/ProcessEventSource.h"
#include "platform/linux/ProcessTracker.h"
#include "platform/linux/UnitWatch.h"

namespace tallyvane::linux_platform {

class ProcessWatcher final : private ProcessEventSource::Events {
  public:
    // The tracker, the catalog and the units are shared, under mutex, with the thread that asks
    // what runs. The watching ends when stop is readable.
    ProcessWatcher(ProcessTracker& tracker, ApplicationCatalog& catalog, UnitWatch& units,
                   std::mutex& mutex, int stop, LogSink& log)
        : tracker_(tracker),
          catalog_(catalog),
          units_(units),
          mutex_(mutex),
          stop_(stop),
          log_(log) {}

    // Watches source until stop; a source with a descriptor that fails gives way to fallback.
    void run(ProcessEventSource& source, ProcessEventSource& fallback);
    // Under the mutex, after anything that may have started or ended a run.
    void watchUnits();

  private:
    using SteadyClock = std::chrono::steady_clock;

    void watchPeriodically(ProcessEventSource& source);
    // False when the source failed, with its errno in failure.
    bool watchEvents(ProcessEventSource& source, int& failure);
    // How long poll may wait for the next thing due: a scan at next, or a run's end.
    int untilDue(std::optional<SteadyClock::time_point> next);
    void catalogChanged();
    void unitsChanged();

    void forked(pid_t pid, pid_t parent) override;
    void execed(pid_t pid) override;
    void exited(pid_t pid) override;
    void lost() override;
    void listingDue() override;

    ProcessTracker& tracker_;
    ApplicationCatalog& catalog_;
    UnitWatch& units_;
    std::mutex& mutex_;
    const int stop_;
    LogSink& log_;
    // Received, not yet handed to the tracker.
    std::vector<ProcessTracker::Event> batch_;
    bool lost_ = false;
};

}  // namespace tallyvane::linux_platform
