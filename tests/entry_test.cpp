// The program as the management agent runs it: a real process against a scratch agent folder,
// on the private session bus the test suite runs under.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>

#include "support/AgentInstallation.h"

namespace tallyvane::test {
namespace {

using plist::Dict;

std::size_t countOf(const std::vector<std::string>& lines, const std::string& line) {
    return static_cast<std::size_t>(std::count(lines.begin(), lines.end(), line));
}

// The messages from the first one equal to `from` on.
std::vector<std::string> from(const std::vector<std::string>& messages, const std::string& first) {
    auto it = std::find(messages.begin(), messages.end(), first);
    return {it, messages.end()};
}

// Broadcasts a notification by hand, as an operator would, on the installation's bus.
int sendByHand(const AgentInstallation& agent, const std::string& name) {
    ChildProcess send(
        {"/usr/bin/dbus-send", "--session", "--type=signal",
         "/org/tallyvane/DistributedNotificationCenter",
         "org.tallyvane.DistributedNotificationCenter.Notification", "string:" + name},
        agent.environment());
    return send.waitExit().value_or(-1);
}

TEST(Entry, ArgumentsOtherThanTheTwoRunModesAreInvalid) {
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"StartMonitoring"}, {"POSTXMLDATA"}, {}, {"report"}, {""}}) {
        AgentInstallation agent;
        auto process = agent.start(args);
        EXPECT_EQ(process->waitExit(), 1);
        const auto messages = agent.logMessages();
        ASSERT_FALSE(messages.empty());
        EXPECT_EQ(messages.back(), "main: invalid argument");
        EXPECT_EQ(countOf(messages, "main: Software Metering executable is launched."), 1u);
    }
}

TEST(Entry, AFailedParentCheckEndsTheProcessQuietly) {
    for (const Dict& settings : {Dict{{"TrustedParentPath", "/usr/sbin/some-other-agent"}},
                                 Dict{{"TrustedParentPath", plist::Array{}}}}) {
        AgentInstallation agent(settings);
        auto process = agent.start({"startMonitoring"});
        EXPECT_EQ(process->waitExit(), 0);
        EXPECT_EQ(from(agent.logMessages(), "main: Software Metering executable is launched."),
                  (std::vector<std::string>{"main: Software Metering executable is launched.",
                                            "Parent Process Authentication Failed"}));
    }
}

TEST(Entry, ReportModeExitsWithStatusOneAfterPostingReset) {
    AgentInstallation agent;
    auto process = agent.start({"postxmldata", "ignored"});
    EXPECT_EQ(process->waitExit(), 1);
    const auto messages = agent.logMessages();
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ(messages.back(), "main: Sent 'reset' notification");
    EXPECT_EQ(countOf(messages, "main: arugument is postxmldata"), 1u);
    EXPECT_EQ(countOf(messages, "main: Date has changed, Posting xml data"), 1u);
}

TEST(Entry, MonitorModeLogsItsStartUpInOrderAndIgnoresSigterm) {
    AgentInstallation agent;
    auto monitor = agent.start({"startMonitoring"});
    ASSERT_TRUE(eventually([&] { return agent.logHas("Inside checkAlreadyRunningApps"); }));
    const auto messages = agent.logMessages();
    const std::vector<std::string> expectedOrder{
        "-[TerminationSignalHandler handleTerminationSignal] : Enabled",
        "main: Software Metering executable is launched.",
        "main: arugument is startMonitoring",
        "main: Load plist and start monitoring",
        "monitorApps: Setting up app monitoring...",
        "de-init delegate Called.",
        "init delegate Called.",
        "Inside checkAlreadyRunningApps"};
    auto at = messages.begin();
    for (const auto& expected : expectedOrder) {
        at = std::find(at, messages.end(), expected);
        EXPECT_NE(at, messages.end()) << "missing or out of order: " << expected;
    }

    const std::string printed =
        "termination_handler : process terminate signal received, ignore. -> 15";
    const std::string logged =
        "termination_handler : Recieved Termination signal ... ignoring termination -> 15";
    for (int i = 1; i <= 3; ++i) {
        monitor->signal(SIGTERM);
        ASSERT_TRUE(eventually([&] {
            return countOf(agent.logMessages(), logged) == static_cast<std::size_t>(i) &&
                   countOf(linesOf(slurp(agent.outputPath())), printed) ==
                       static_cast<std::size_t>(i);
        })) << "after SIGTERM "
            << i;
    }
    EXPECT_TRUE(monitor->running());
}

TEST(Entry, ResetFromReportModeOrByHandReachesTheMonitor) {
    AgentInstallation agent;
    auto monitor = agent.start({"startMonitoring"});
    ASSERT_TRUE(eventually([&] { return agent.logHas("Inside checkAlreadyRunningApps"); }));
    const std::string received = "main: Received 'reset' notification, resetting plist";

    auto report = agent.start({"postxmldata"});
    EXPECT_EQ(report->waitExit(), 1);
    ASSERT_TRUE(eventually([&] { return countOf(agent.logMessages(), received) == 1; }));
    auto afterReset = from(agent.logMessages(), received);
    ASSERT_GE(afterReset.size(), 2u);
    EXPECT_EQ(afterReset[1], "AppMonitor: resetPlist() called");

    EXPECT_EQ(sendByHand(agent, "reset"), 0);
    ASSERT_TRUE(eventually([&] { return countOf(agent.logMessages(), received) == 2; }));

    // Another name is not "reset".
    EXPECT_EQ(sendByHand(agent, "resetting"), 0);
    EXPECT_TRUE(monitor->running());
    EXPECT_EQ(countOf(agent.logMessages(), "AppMonitor: resetPlist() called"), 2u);
}

}  // namespace
}  // namespace tallyvane::test
