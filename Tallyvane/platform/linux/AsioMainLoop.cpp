#include <asio.hpp>
#include <exception>
#include <memory>
#include <string>

#include "platform/linux/LinuxPlatform.h"

namespace tallyvane::linux_platform {
namespace {

using Clock = std::chrono::steady_clock;

// A task must not raise; one that does is logged so the loop carries on for the others.
void runGuarded(const MainLoop::Task& task, LogSink& log) {
    try {
        task();
    } catch (const std::exception& e) {
        log.write(std::string("MainLoop: a task raised: ") + e.what());
    } catch (...) {
        log.write("MainLoop: a task raised an unknown exception");
    }
}

class AsioMainLoop final : public MainLoop {
  public:
    explicit AsioMainLoop(LogSink& log) : log_(log), work_(asio::make_work_guard(io_)) {}

    void post(Task task) override {
        asio::post(io_, [this, task = std::move(task)] { runGuarded(task, log_); });
    }

    void postAfter(std::chrono::milliseconds delay, Task task) override {
        // The deadline counts from the call, not from when the loop gets to the timer.
        const auto deadline = Clock::now() + delay;
        asio::post(io_, [this, deadline, task = std::move(task)]() mutable {
            auto timer = std::make_shared<asio::steady_timer>(io_, deadline);
            timer->async_wait([this, timer, task = std::move(task)](const asio::error_code& ec) {
                if (!ec) runGuarded(task, log_);
            });
        });
    }

    void every(std::chrono::milliseconds period, Task task) override {
        const auto first = Clock::now() + period;
        asio::post(io_, [this, first, period, task = std::move(task)]() mutable {
            auto repeat = std::make_shared<Repeat>(io_, first, period, std::move(task));
            arm(repeat, log_);
        });
    }

    void run() override {
        io_.run();
        // Ready for another run(); a stop() issued before run() still ends that run at once.
        io_.restart();
    }

    void stop() override { io_.stop(); }

  private:
    struct Repeat {
        Repeat(asio::io_context& io, Clock::time_point first, std::chrono::milliseconds p, Task t)
            : timer(io, first), period(p), task(std::move(t)) {}
        asio::steady_timer timer;
        std::chrono::milliseconds period;
        Task task;
    };

    static void arm(const std::shared_ptr<Repeat>& repeat, LogSink& log) {
        repeat->timer.async_wait([repeat, &log](const asio::error_code& ec) {
            if (ec) return;
            runGuarded(repeat->task, log);
            // From the scheduled time, so the period does not drift with the task's run time.
            repeat->timer.expires_at(repeat->timer.expiry() + repeat->period);
            arm(repeat, log);
        });
    }

    LogSink& log_;
    asio::io_context io_{1};
    asio::executor_work_guard<asio::io_context::executor_type> work_;
};

}  // namespace

std::unique_ptr<MainLoop> makeMainLoop(LogSink& log) {
    return std::make_unique<AsioMainLoop>(log);
}

}  // namespace tallyvane::linux_platform
