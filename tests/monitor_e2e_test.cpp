// Monitor mode as a real process watching real application processes start and stop.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <thread>

#include "support/AgentInstallation.h"
#include "support/AppBundle.h"
#include "support/TimeZone.h"

namespace tallyvane::test {
namespace {

using namespace std::chrono_literals;
using plist::Dict;

double wallNow() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

TEST(MonitorProcess, LaunchesAndTerminationsOfRealApplicationsAreMetered) {
    AgentInstallation agent;
    ScratchDir apps;
    const std::string launchData = agent.meteringPath("AppLaunchData.plist");
    auto run = [&](const std::string& name, BundleInfo info = {}) {
        return std::make_unique<ChildProcess>(
            std::vector<std::string>{makeBundle(apps.path(), name, info), "600"},
            std::map<std::string, std::string>{});
    };
    auto field = [&](const std::string& id, const std::string& key) {
        return plist::integerFor(launchRecord(launchData, id), key);
    };
    auto version = [&](const std::string& id, const std::string& key) {
        return *plist::stringFor(launchRecord(launchData, id), key);
    };

    // The sweep at start (real start times are platform_test's), "Unknown" versions and the
    // recount on reset are app_monitor_test's; here real launches and bundles are heard.
    writePlist(launchData,
               Dict{{"100", Dict{{"FileName", "Editor.app"}, {"AppDefinitionId", "100"}}}});

    // A recorded moment lies between the wall clock before and after what it records (a
    // process start, from clock ticks, may read up to a second early).
    auto within = [&](const std::string& id, const char* key, double from, double to) {
        const auto value = field(id, key);
        EXPECT_TRUE(value && *value >= std::floor(from) - 1 && *value <= to)
            << id << " " << key << " " << value.value_or(-1) << " not in [" << from << ", " << to
            << "]";
    };
    auto monitor = agent.start({"startMonitoring"});
    ASSERT_TRUE(eventually([&] { return agent.logHas("Inside checkAlreadyRunningApps"); }));
    ASSERT_TRUE(observing(agent, apps.path()));

    const double launchedAt = wallNow();
    auto editor = run("Editor", {.shortVersion = plist::Value("3.2")});
    ASSERT_TRUE(eventually([&] { return field("100", "TOTAL_RUN_COUNT") == 1; }));
    within("100", "LAUNCH_TIME", launchedAt, wallNow());
    EXPECT_EQ(version("100", "PRODUCT_NAME"), "Editor");
    EXPECT_EQ(version("100", "PRODUCT_VERSION"), "3.2");
    EXPECT_EQ(version("100", "FILE_VERSION"), "3.2");

    // The run time is what lies between the recorded launch and the termination's handling.
    std::this_thread::sleep_for(1100ms);
    const double launch = static_cast<double>(field("100", "LAUNCH_TIME").value_or(0));
    const double killedAt = wallNow();
    editor.reset();  // killed: a termination
    ASSERT_TRUE(eventually([&] { return field("100", "TOTAL_RUN_TIME").has_value(); }));
    within("100", "TOTAL_RUN_TIME", killedAt - launch - 1, wallNow() - launch + 1);
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

// Helpers of a bundle and a script's commands being one run are platform_test's.
TEST(MonitorProcess, CanonicallyEquivalentNamesMatchAndTheRulesStayAsWritten) {
    AgentInstallation agent;
    ScratchDir apps;
    const std::string launchData = agent.meteringPath("AppLaunchData.plist");
    // Each rule in one composition, each bundle on disk in the other.
    const Dict files{
        {"200", Dict{{"FileName", "ZqCaf\u00e9.app"}, {"AppDefinitionId", "200"}}},
        {"201", Dict{{"FileName", "Zq\u00c5ngstro\u0308m.app"}, {"AppDefinitionId", "201"}}}};
    writePlist(launchData, files);
    auto monitor = agent.start({"startMonitoring"});
    ASSERT_TRUE(observing(agent, apps.path()));
    ChildProcess cafe(makeBundle(apps.path(), "ZqCafe\u0301"), {"600"});
    ChildProcess angstrom(makeBundle(apps.path(), "ZqA\u030angstr\u00f6m"), {"600"});
    auto count = [&](const std::string& id) {
        return plist::integerFor(launchRecord(launchData, id), "TOTAL_RUN_COUNT");
    };
    ASSERT_TRUE(eventually([&] { return count("200") == 1 && count("201") == 1; }));
    for (const auto& [id, written] : files) {
        const Dict record = launchRecord(launchData, id);
        for (const char* key : {"FileName", "AppDefinitionId"})
            EXPECT_EQ(record.at(key), plist::asDict(written)->at(key)) << id << " " << key;
    }
}

}  // namespace
}  // namespace tallyvane::test
