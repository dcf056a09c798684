// The program as the management agent runs it: a real process against a scratch agent folder,
// on the private session bus the test suite runs under.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "support/AgentInstallation.h"

namespace tallyvane::test {
namespace {

using plist::Dict;
using Lines = std::vector<std::string>;

// The messages from the first one equal to `first` on.
Lines from(const Lines& messages, const std::string& first) {
    return {std::ranges::find(messages, first), messages.end()};
}

const std::string kLaunched = "main: Software Metering executable is launched.";

TEST(Entry, InvalidArgumentsAndAFailedParentCheckEndTheProcess) {
    for (const Lines& args : std::vector<Lines>{
             {"StartMonitoring"}, {"POSTXMLDATA"}, {}, {"report"}, {""}, {"--Version"}}) {
        const std::string argument = args.empty() ? "" : args[0];
        SCOPED_TRACE(argument);
        AgentInstallation agent;
        EXPECT_EQ(agent.start(args)->waitExit(), 1);
        EXPECT_EQ(from(agent.logMessages(), kLaunched),
                  (Lines{kLaunched, "main: arugument is " + argument, "main: invalid argument"}));
    }
    // Quietly, with status 0, when the parent is not the trusted one (which one is, agentlib_test).
    AgentInstallation untrusted(Dict{{"TrustedParentPath", plist::Array{}}});
    EXPECT_EQ(untrusted.start({"startMonitoring"})->waitExit(), 0);
    EXPECT_EQ(from(untrusted.logMessages(), kLaunched),
              (Lines{kLaunched, "Parent Process Authentication Failed"}));
}

TEST(Entry, VersionAndHelpAnswerBeforeAnyStartUp) {
    for (const auto& [argument, first] : std::vector<std::pair<std::string, std::string>>{
             {"--version", "tallyvane 0.1"},
             {"--help", "usage: tallyvane startMonitoring | postxmldata"}}) {
        SCOPED_TRACE(argument);
        ScratchDir agent, output;
        ChildProcess program({std::string(TALLYVANE_BIN_DIR) + "/tallyvane", argument},
                             {{"VORNAGENT_PATH", agent.path() + "/missing"}},
                             output.path() + "/out");
        EXPECT_EQ(program.waitExit(), 0);
        EXPECT_TRUE(slurp(output.path() + "/out").starts_with(first + "\n"));
        EXPECT_TRUE(std::filesystem::is_empty(agent.path()));  // no log, no folder
    }
}

TEST(Entry, MonitorModeStartsUpInOrderIgnoresSigtermAndOutlivesItsStandardOutput) {
    AgentInstallation agent;  // no launch-data file: every reload prints that it cannot read one
    const std::string out = agent.path() + "/stdout";
    ASSERT_EQ(::mkfifo(out.c_str(), 0600), 0);
    const int reader = ::open(out.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ChildProcess monitor({std::string(TALLYVANE_BIN_DIR) + "/tallyvane", "startMonitoring"},
                         agent.environment(), out);
    ASSERT_TRUE(eventually([&] { return agent.logHas("Inside checkAlreadyRunningApps"); }));
    const Lines messages = agent.logMessages();
    auto at = messages.begin();
    for (const char* expected :
         {"-[TerminationSignalHandler handleTerminationSignal] : Enabled", kLaunched.c_str(),
          "main: arugument is startMonitoring", "main: Load plist and start monitoring",
          "monitorApps: Setting up app monitoring...", "de-init delegate Called.",
          "init delegate Called.", "Inside checkAlreadyRunningApps"}) {
        at = std::find(at, messages.end(), expected);
        EXPECT_NE(at, messages.end()) << "missing or out of order: " << expected;
    }

    std::string printed;
    const auto printedLines = [&] {
        char buffer[4096];
        for (ssize_t n; (n = ::read(reader, buffer, sizeof buffer)) > 0;) printed.append(buffer, n);
        return linesOf(printed);
    };
    const std::string said =
        "termination_handler : process terminate signal received, ignore. -> 15";
    const std::string logged =
        "termination_handler : Recieved Termination signal ... ignoring termination -> 15";
    for (int i = 1; i <= 2; ++i) {  // twice: the handler stays
        monitor.signal(SIGTERM);
        ASSERT_TRUE(eventually([&] {
            return std::ranges::count(agent.logMessages(), logged) == i &&
                   std::ranges::count(printedLines(), said) == i;
        })) << i;
    }

    ::close(reader);  // nobody reads the monitor's standard output any more
    for (int n = 1; n <= 2; ++n) {
        ASSERT_EQ(agent.sendByHand("reset"), 0);
        ASSERT_TRUE(eventually([&] {
            return std::ranges::count(agent.logMessages(), "AppMonitor: resetPlist() called") == n;
        })) << n;
    }
    EXPECT_TRUE(monitor.running());
}

}  // namespace
}  // namespace tallyvane::test
