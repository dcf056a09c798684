// The Linux platform layer against the real thing: the Asio loop, real processes under /proc and
// a real D-Bus session bus (run under dbus-run-session).
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "platform/linux/LinuxPlatform.h"

using namespace std::chrono_literals;
using namespace tallyvane;
using namespace tallyvane::linux_platform;

namespace {

// Runs the loop until a task stops it, or gives up after a generous bound so a lost event fails
// the test instead of hanging it. A fresh loop per use: its timers are never cancelled.
void runAtMost(MainLoop& loop, std::chrono::milliseconds bound = 10s) {
    loop.postAfter(bound, [&loop] { loop.stop(); });
    loop.run();
}

}  // namespace

TEST(MainLoop, RunsTasksInOrderAndTimersFromAnyThread) {
    auto loop = makeMainLoop();
    std::vector<std::string> seen;
    loop->post([&] { seen.push_back("a"); });
    loop->post([&] { seen.push_back("b"); });
    loop->postAfter(30ms, [&] { seen.push_back("later"); });
    loop->postAfter(0ms, [&] { throw std::runtime_error("a task that raises"); });
    int ticks = 0;
    loop->every(5ms, [&] {
        if (++ticks == 3) {
            seen.push_back("third tick");
            // Posted from another thread while the loop runs.
            std::thread([&] { loop->post([&] { seen.push_back("from thread"); }); }).join();
        }
    });
    loop->postAfter(200ms, [&] { loop->stop(); });
    runAtMost(*loop);
    ASSERT_GE(seen.size(), 5u);
    EXPECT_EQ(seen[0], "a");
    EXPECT_EQ(seen[1], "b");
    EXPECT_NE(std::find(seen.begin(), seen.end(), "later"), seen.end());
    auto third = std::find(seen.begin(), seen.end(), "third tick");
    ASSERT_NE(third, seen.end());
    EXPECT_NE(std::find(third, seen.end(), "from thread"), seen.end());
    EXPECT_GE(ticks, 3);
}

TEST(DistributedNotificationCenter, DeliversByNameWithinAndAcrossProcesses) {
    auto loop = makeMainLoop();
    auto center = makeDistributedNotificationCenter(*loop);
    std::vector<std::string> seen;
    int resets = 0;
    ASSERT_TRUE(center->addObserver("reset", [&] {
        seen.push_back("reset");
        if (++resets == 2) loop->stop();
    }));
    ASSERT_TRUE(center->addObserver("it's", [&] { seen.push_back("it's"); }));
    // Other names, including one that only begins like the observed one, do not arrive.
    ASSERT_TRUE(center->post("resetting"));
    ASSERT_TRUE(center->post("it's"));
    ASSERT_TRUE(center->post("reset"));
    // The same signal posted by hand from another process.
    loop->postAfter(100ms, [] {
        ASSERT_EQ(0, std::system("dbus-send --session --type=signal "
                                 "/org/tallyvane/DistributedNotificationCenter "
                                 "org.tallyvane.DistributedNotificationCenter.Notification "
                                 "string:reset"));
    });
    runAtMost(*loop);
    std::erase(seen, "it's");
    EXPECT_EQ(seen, (std::vector<std::string>{"reset", "reset"}));
}

TEST(DistributedNotificationCenter, WithoutASessionBusFailsWithALogLineOnly) {
    const char* saved = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    std::optional<std::string> previous = saved ? std::optional<std::string>(saved) : std::nullopt;
    setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/tallyvane-bus", 1);
    auto loop = makeMainLoop();
    auto center = makeDistributedNotificationCenter(*loop);
    testing::internal::CaptureStderr();
    EXPECT_FALSE(center->post("reset"));
    EXPECT_FALSE(center->addObserver("reset", [] {}));
    const std::string log = testing::internal::GetCapturedStderr();
    if (previous)
        setenv("DBUS_SESSION_BUS_ADDRESS", previous->c_str(), 1);
    else
        unsetenv("DBUS_SESSION_BUS_ADDRESS");
    EXPECT_NE(log.find("cannot post \"reset\""), std::string::npos) << log;
    EXPECT_NE(log.find("cannot observe \"reset\""), std::string::npos) << log;
}
