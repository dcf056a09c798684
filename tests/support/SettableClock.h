#pragma once
// A clock that shows whatever the test last set; thread-safe like the real one.
#include <atomic>

#include "platform/Clock.h"

namespace tallyvane::test {

class SettableClock final : public Clock {
  public:
    explicit SettableClock(double now = 0) : now_(now) {}
    double now() const override { return now_.load(); }
    void set(double now) { now_.store(now); }

  private:
    std::atomic<double> now_;
};

}  // namespace tallyvane::test
