#pragma once
// The one place the program reads the wall clock, so that tests can set it.

namespace tallyvane {

class Clock {
  public:
    virtual ~Clock() = default;
    // Seconds since 1970-01-01 00:00:00 UTC, with the fraction. Thread-safe.
    virtual double now() const = 0;
};

// The wall clock of the machine.
Clock& systemClock();

}  // namespace tallyvane
