#pragma once
// Where the process watcher hears of processes: the kernel's process event connector, the /proc
// scan at a fixed period, or a test's script. A source is read on the watcher's thread only.
#include <sys/types.h>

#include <chrono>

namespace tallyvane::linux_platform {

class ProcessEventSource {
  public:
    // What a source hands over, in the order it happened.
    struct Events {
        virtual ~Events() = default;
        virtual void forked(pid_t pid, pid_t parent) = 0;  // a new process, not a thread
        virtual void execed(pid_t pid) = 0;
        virtual void exited(pid_t pid) = 0;  // a process, not a thread
        virtual void lost() = 0;             // events were dropped
        virtual void listingDue() = 0;       // the whole of /proc is to be looked at
    };

    virtual ~ProcessEventSource() = default;
    // Readable when events wait; -1 for a source that is asked once a period instead.
    virtual int fd() const = 0;
    // How often a source without a descriptor is asked.
    virtual std::chrono::milliseconds period() const { return {}; }
    // Takes in what waits (up to a bound) and hands each over. False when the source failed.
    virtual bool receive(Events& events) = 0;
};

// The scan: nothing to read, only a period at which /proc is listed afresh.
class ProcScan final : public ProcessEventSource {
  public:
    explicit ProcScan(std::chrono::milliseconds period) : period_(period) {}
    int fd() const override { return -1; }
    std::chrono::milliseconds period() const override { return period_; }
    bool receive(Events& events) override {
        events.listingDue();
        return true;
    }

  private:
    std::chrono::milliseconds period_;
};

}  // namespace tallyvane::linux_platform
