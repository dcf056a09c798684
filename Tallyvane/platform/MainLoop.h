#pragma once
#include <chrono>
#include <functional>

namespace tallyvane {

// The program's one run loop, on the main thread. Work handed to it runs there, one piece at a
// time, in the order it falls due.
class MainLoop {
  public:
    using Task = std::function<void()>;
    virtual ~MainLoop() = default;

    // Runs task on the main thread as soon as it gets control. Thread-safe.
    virtual void post(Task task) = 0;
    // Runs task once on the main thread after delay. Never cancelled. Thread-safe.
    virtual void postAfter(std::chrono::milliseconds delay, Task task) = 0;
    // Runs task on the main thread every period, the first time one period from now, for the
    // life of the loop. Thread-safe.
    virtual void every(std::chrono::milliseconds period, Task task) = 0;
    // Runs the loop on the calling thread until stop(); with a repeating timer that is forever.
    virtual void run() = 0;
    // Makes run() return. Thread-safe.
    virtual void stop() = 0;
};

}  // namespace tallyvane
