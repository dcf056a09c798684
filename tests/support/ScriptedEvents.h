#pragma once
// A process event source that plays a script: each receive takes the next step, makes its change
// to a made-up /proc and hands its events over, then maybe a loss; or fails. Readable while steps
// are left; asked past the last, it stops the watcher. With a period it stands for the scan.
#include <sys/eventfd.h>

#include <functional>
#include <vector>

#include "platform/linux/ProcessEventSource.h"
#include "platform/linux/ProcessTracker.h"
#include "posix/UniqueFd.h"

namespace tallyvane::test {

class ScriptedEvents final : public linux_platform::ProcessEventSource {
  public:
    struct Step {
        std::function<void()> change;
        std::vector<linux_platform::ProcessTracker::Event> events;
        bool lost = false;
        bool fails = false;
    };
    ScriptedEvents(std::vector<Step> steps, int stop, std::chrono::milliseconds period = {})
        : steps_(std::move(steps)), stop_(stop), period_(period) {}

    int fd() const override { return period_.count() ? -1 : ready_.get(); }
    std::chrono::milliseconds period() const override { return period_; }
    bool receive(Events& events) override {
        using Kind = linux_platform::ProcessTracker::Event::Kind;
        if (next_ == steps_.size()) {
            ::eventfd_write(stop_, 1);
            eventfd_t drained;
            ::eventfd_read(ready_.get(), &drained);
            return true;
        }
        const Step& step = steps_[next_++];
        if (step.change) step.change();
        if (step.fails) return false;
        for (const auto& e : step.events)
            e.kind == Kind::Fork   ? events.forked(e.pid, e.parent)
            : e.kind == Kind::Exec ? events.execed(e.pid)
                                   : events.exited(e.pid);
        if (step.lost) events.lost();
        if (period_.count()) events.listingDue();
        return true;
    }

  private:
    std::vector<Step> steps_;
    std::size_t next_ = 0;
    const int stop_;
    const std::chrono::milliseconds period_;
    UniqueFd ready_{::eventfd(1, EFD_CLOEXEC | EFD_NONBLOCK)};
};

}  // namespace tallyvane::test
