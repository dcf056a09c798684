// Monitor mode as a real process watching real application processes start and stop.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <thread>

#include "support/AgentInstallation.h"
#include "support/AppBundle.h"

namespace tallyvane::test {
namespace {

using namespace std::chrono_literals;
using plist::Dict;
using testing::AllOf, testing::Ge, testing::Le, testing::Optional;

double wallNow() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// Helpers of a bundle and a script's commands being one run are platform_test's; the sweep's
// start times, "Unknown" versions and the recount on reset are app_monitor_test's.
TEST(MonitorProcess, LaunchesAndTerminationsOfRealApplicationsAreMetered) {
    AgentInstallation agent;
    ScratchDir apps;
    const std::string launchData = agent.meteringPath("AppLaunchData.plist");
    auto field = [&](const std::string& id, const std::string& key) {
        return plist::integerFor(launchRecord(launchData, id), key);
    };
    writePlist(launchData,
               Dict{{"100", Dict{{"FileName", "Editor.app"}, {"AppDefinitionId", "100"}}}});

    // A recorded moment lies between the wall clock before and after what it records (a
    // process start, from clock ticks, may read up to a second early).
    auto within = [&](const char* key, double from, double to) {
        EXPECT_THAT(field("100", key), Optional(AllOf(Ge(std::floor(from) - 1), Le(to)))) << key;
    };
    auto monitor = agent.start({"startMonitoring"});
    ASSERT_TRUE(eventually([&] { return agent.logHas("Inside checkAlreadyRunningApps"); }));
    ASSERT_TRUE(observing(agent, apps.path()));

    const double launchedAt = wallNow();
    auto editor = std::make_unique<ChildProcess>(
        makeBundle(apps.path(), "Editor", {.shortVersion = plist::Value("3.2")}),
        std::vector<std::string>{"600"});
    ASSERT_TRUE(eventually([&] { return field("100", "TOTAL_RUN_COUNT") == 1; }));
    within("LAUNCH_TIME", launchedAt, wallNow());
    for (const auto& [key, value] :
         {std::pair{"PRODUCT_NAME", "Editor"}, std::pair{"PRODUCT_VERSION", "3.2"},
          std::pair{"FILE_VERSION", "3.2"}})
        EXPECT_EQ(*plist::stringFor(launchRecord(launchData, "100"), key), value) << key;

    // The run time is what lies between the recorded launch and the termination's handling.
    std::this_thread::sleep_for(1100ms);
    const double launch = static_cast<double>(field("100", "LAUNCH_TIME").value_or(0));
    const double killedAt = wallNow();
    editor.reset();  // killed: a termination
    ASSERT_TRUE(eventually([&] { return field("100", "TOTAL_RUN_TIME").has_value(); }));
    within("TOTAL_RUN_TIME", killedAt - launch - 1, wallNow() - launch + 1);
    EXPECT_GE(field("100", "TOTAL_RUN_TIME"), 1);

    // Twenty runs of a command-line program that nothing meters: not one log line.
    const std::string tool = apps.path() + "/zqplain";
    std::filesystem::copy_file("/bin/true", tool);
    std::this_thread::sleep_for(300ms);  // the launch above has logged its last line
    const auto logged = agent.logMessages().size();
    for (int i = 0; i < 20; ++i) ChildProcess(tool, {}).wait();
    std::this_thread::sleep_for(600ms);
    // Read once: each call reads the whole log again.
    const auto messages = agent.logMessages();
    for (auto i = logged; i < messages.size(); ++i) ADD_FAILURE() << "logged: " << messages[i];
    EXPECT_TRUE(monitor->running());
}

// Rules matched by name and by package: the log stays quiet only in the test above.
TEST(MonitorProcess, EquivalentNamesAndProgramsOutsideBundlesMatchAndTheRulesStayAsWritten) {
    AgentInstallation agent;
    ScratchDir apps;
    const std::string launchData = agent.meteringPath("AppLaunchData.plist");
    // Each bundle's rule in one composition, the bundle on disk in the other.
    const Dict files{
        {"200", Dict{{"FileName", "ZqCaf\u00e9.app"}, {"AppDefinitionId", "200"}}},
        {"201", Dict{{"FileName", "Zq\u00c5ngstro\u0308m.app"}, {"AppDefinitionId", "201"}}},
        {"7", Dict{{"FileName", "sleep"}, {"AppDefinitionId", "7"}}}};
    writePlist(launchData, files);
    // A program outside any bundle, execed before the monitor's sweep looks.
    ChildProcess sleeper("/usr/bin/sleep", {"600"});
    ASSERT_TRUE(eventually([&] {
        return std::filesystem::read_symlink("/proc/" + std::to_string(sleeper.pid()) + "/exe") ==
               "/usr/bin/sleep";
    }));
    ChildProcess query({"/usr/bin/dpkg-query", "-W", "-f", "${Version}", "coreutils"}, {},
                       agent.path() + "/coreutils");
    ASSERT_EQ(query.waitExit(), 0);
    auto monitor = agent.start({"startMonitoring"});
    auto record = [&](std::string_view id) { return launchRecord(launchData, id); };
    auto count = [&](std::string_view id) {
        return plist::integerFor(record(id), "TOTAL_RUN_COUNT");
    };
    // Already running at start-up: counted by the sweep with its package's version.
    ASSERT_TRUE(eventually([&] { return count("7") == 1; }));
    EXPECT_EQ(*plist::stringFor(record("7"), "PRODUCT_VERSION"),
              slurp(agent.path() + "/coreutils"));
    EXPECT_EQ(*plist::stringFor(record("7"), "FILE_VERSION"), slurp(agent.path() + "/coreutils"));
    ASSERT_TRUE(observing(agent, apps.path()));
    ChildProcess cafe(makeBundle(apps.path(), "ZqCafe\u0301"), {"600"});
    ChildProcess angstrom(makeBundle(apps.path(), "ZqA\u030angstr\u00f6m"), {"600"});
    ASSERT_TRUE(eventually([&] { return count("200") == 1 && count("201") == 1; }));
    for (const auto& [id, written] : files)
        for (const char* key : {"FileName", "AppDefinitionId"})
            EXPECT_EQ(record(id).at(key), plist::asDict(written)->at(key)) << id << " " << key;
}

}  // namespace
}  // namespace tallyvane::test
