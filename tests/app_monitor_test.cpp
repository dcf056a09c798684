// The monitor's operations over real metering files and an in-memory workspace and clock.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>

#include "AppMonitor.h"
#include "PeriodicChecker.h"
#include "support/AgentFixture.h"
#include "support/MemoryPlatform.h"
#include "support/TimeZone.h"

namespace tallyvane::test {
namespace {

using plist::Dict;
using plist::Value;

// Local time in the zone TZ names, as seconds since 1970.
double localTime(int year, int month, int day, int hour, int minute, double second = 0) {
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = static_cast<int>(second);
    tm.tm_isdst = -1;
    return static_cast<double>(std::mktime(&tm)) + (second - static_cast<int>(second));
}
std::int64_t localSeconds(int year, int month, int day, int hour, int minute, double second = 0) {
    return static_cast<std::int64_t>(localTime(year, month, day, hour, minute, second));
}

class MonitorTest : public AgentFixture {
  protected:
    MemoryPlatform os;

    // A launch-data file with one record per (FileName, AppDefinitionId), plus a rule mapping.
    void meter(const std::vector<std::pair<std::string, std::string>>& apps, Dict extra = {}) {
        Dict launchData;
        for (const auto& [fileName, id] : apps) {
            Dict record = extra;
            record.insert_or_assign("FileName", fileName);
            record.insert_or_assign("AppDefinitionId", id);
            launchData.insert_or_assign(id, record);
        }
        writePlist(launchDataPath(), launchData);
        writePlist(postDataPath(), Dict{{"AddedTime", "1"}});
    }
    std::shared_ptr<AppMonitor> start() { return std::make_shared<AppMonitor>(os.platform()); }
    // Started, with its observers registered as they are two seconds after start.
    std::shared_ptr<AppMonitor> startRegistered() {
        auto monitor = start();
        monitor->initNotificationDelegates();
        os.loop.runDelayed();
        return monitor;
    }
    Dict fileRecord(const std::string& id) {
        Value all = readPlist(launchDataPath());
        const Dict* root = plist::asDict(all);
        return root && root->count(id) ? *plist::asDict(root->at(id)) : Dict{};
    }
    std::optional<std::int64_t> fileInt(const std::string& id, const std::string& key) {
        return plist::integerFor(fileRecord(id), key);
    }
    RunningApplication app(const std::string& name, std::int32_t pid,
                           std::optional<std::string> bundle = std::nullopt) {
        return RunningApplication{name, std::move(bundle), pid};
    }
};

TEST_F(MonitorTest, StartUpWithoutLaunchDataCreatesOnlyTheRuleFile) {
    auto monitor = start();
    EXPECT_EQ(logMessagesStartingWith("AppLaunchData file not found at "),
              std::vector<std::string>{"AppLaunchData file not found at " + launchDataPath()});
    EXPECT_TRUE(logMessagesStartingWith("Init complete").empty());
    EXPECT_EQ(readPlist(ruleDataPath()), Value(Dict{}));
    EXPECT_FALSE(std::filesystem::exists(postDataPath()));
    EXPECT_TRUE(monitor->monitoredApps().empty());
}

TEST_F(MonitorTest, StartUpReadsNamesAndRulesAndRecreatesThePostDataFile) {
    writePlist(launchDataPath(),
               Dict{{"10", Dict{{"FileName", "Pro.appliance.app"}, {"AppDefinitionId", "10"}}},
                    {"11", Dict{{"FileName", "Editor.APP"}, {"AppDefinitionId", "11"}}},
                    {"12", Dict{{"FileName", "Twin.app"}, {"AppDefinitionId", "12"}}},
                    {"13", Dict{{"FileName", "Twin.app"}, {"AppDefinitionId", "13"}}},
                    {"14", Dict{{"FileName", "NoId.app"}, {"AppDefinitionId", 14}}},
                    {"15", Dict{{"AppDefinitionId", "15"}}},
                    {"16", Dict{}}});
    auto monitor = start();

    const std::vector<std::string> names{"Proliance", "Editor.APP", "Twin", "Twin", "NoId"};
    EXPECT_EQ(monitor->monitoredApps(), names);
    EXPECT_EQ(readPlist(ruleDataPath()),
              Value(Dict{{"Proliance", "10"}, {"Editor.APP", "11"}, {"Twin", "13"}}));
    const auto messages = logMessages();
    EXPECT_EQ(messages.back(), "Init complete. Monitoring 5 apps: " + renderList(names));
    EXPECT_EQ(logMessagesStartingWith("Error in updating AppPostData Plist: "),
              std::vector<std::string>{
                  "Error in updating AppPostData Plist: fileNotFound(\"updatePostDataPlist: Plist "
                  "file was missing and recreated at " +
                  postDataPath() + "\")"});
    Value post = readPlist(postDataPath());
    ASSERT_TRUE(plist::asDict(post));
    EXPECT_TRUE(plist::stringFor(*plist::asDict(post), "AddedTime"));
}

TEST_F(MonitorTest, StartUpSurvivesALaunchDataFileOfTheWrongShape) {
    writePlist(ruleDataPath(), Dict{{"Kept", "1"}});
    writePlist(
        launchDataPath(),
        Dict{{"1", Dict{{"FileName", "Good.app"}, {"AppDefinitionId", "1"}}}, {"2", "text"}});
    auto monitor = start();
    EXPECT_EQ(
        logMessagesStartingWith("Failed to load or parse plist file at "),
        std::vector<std::string>{"Failed to load or parse plist file at " + launchDataPath()});
    EXPECT_TRUE(monitor->monitoredApps().empty());
    EXPECT_EQ(readPlist(ruleDataPath()), Value(Dict{{"Kept", "1"}}));
    EXPECT_EQ(monitor->usageTableSnapshot().count("Good"), 1u);

    for (const char* garbage : {"", "<?xml", "bplist00\xff\xff", "not a plist at all"}) {
        std::ofstream(launchDataPath(), std::ios::trunc) << garbage;
        auto again = start();
        EXPECT_TRUE(again->monitoredApps().empty());
        EXPECT_TRUE(again->usageTableSnapshot().empty());
    }
}

TEST_F(MonitorTest, LaunchesAreCountedOnlyAfterTheDelayedRegistration) {
    meter({{"Editor.app", "7"}}, Dict{{"TOTAL_RUN_COUNT", 4}});
    os.clock.set(1'700'000'000.75);
    auto monitor = start();
    monitor->initNotificationDelegates();
    os.workspace.launch(app("Editor", 100));  // within the two seconds: not seen
    EXPECT_EQ(fileInt("7", "TOTAL_RUN_COUNT"), 4);

    os.loop.runDelayed();
    os.workspace.launch(app("Editor", 101));
    os.workspace.launch(app("editor", 102));  // other letter case: not metered
    Dict record = fileRecord("7");
    EXPECT_EQ(plist::integerFor(record, "TOTAL_RUN_COUNT"), 5);
    EXPECT_EQ(plist::integerFor(record, "LAUNCH_TIME"), 1'700'000'000);
    EXPECT_EQ(plist::integerFor(record, "LAST_USED"), 1'700'000'000);
    EXPECT_EQ(*plist::stringFor(record, "PRODUCT_NAME"), "Editor");
    EXPECT_EQ(*plist::stringFor(record, "PRODUCT_VERSION"), "Unknown");
    EXPECT_EQ(*plist::stringFor(record, "FILE_VERSION"), "Unknown");
    EXPECT_EQ(*plist::stringFor(record, "FileName"), "Editor.app");

    // Asked twice within two seconds, the monitor ends up registered twice.
    monitor->initNotificationDelegates();
    monitor->initNotificationDelegates();
    os.loop.runDelayed();
    EXPECT_EQ(
        os.workspace.center.registrations(monitor.get(), WorkspaceEvent::DidLaunchApplication), 2u);
    os.workspace.launch(app("Editor", 103));
    EXPECT_EQ(fileInt("7", "TOTAL_RUN_COUNT"), 7);

    monitor->deinitNotificationDelegates();
    os.workspace.launch(app("Editor", 104));
    EXPECT_EQ(fileInt("7", "TOTAL_RUN_COUNT"), 7);
}

TEST_F(MonitorTest, CountingReadsTheBundleVersionAndRestartsBadCounts) {
    meter({{"Viewer.app", "8"}}, Dict{{"TOTAL_RUN_COUNT", "many"}});
    const std::string bundle = agentPath() + "/Viewer.app";
    writePlist(bundle + "/Contents/Info.plist", Dict{{"CFBundleShortVersionString", "2.1"}});
    auto monitor = startRegistered();
    os.workspace.launch(app("Viewer", 200, bundle));
    Dict record = fileRecord("8");
    EXPECT_EQ(plist::integerFor(record, "TOTAL_RUN_COUNT"), 1);
    EXPECT_EQ(*plist::stringFor(record, "PRODUCT_VERSION"), "2.1");
    EXPECT_EQ(*plist::stringFor(record, "FILE_VERSION"), "2.1");

    writePlist(bundle + "/Contents/Info.plist", Dict{{"CFBundleShortVersionString", 3}});
    os.workspace.launch(app("Viewer", 201, bundle));
    EXPECT_EQ(*plist::stringFor(fileRecord("8"), "PRODUCT_VERSION"), "Unknown");
}

TEST_F(MonitorTest, AMeteredApplicationWithoutARuleChangesOnlyTheTable) {
    meter({{"Editor.app", "7"}});
    auto monitor = start();
    writePlist(ruleDataPath(), Dict{});  // the rule disappears after start-up
    monitor->initNotificationDelegates();
    os.loop.runDelayed();
    os.workspace.launch(app("Editor", 300));
    EXPECT_FALSE(fileInt("7", "TOTAL_RUN_COUNT"));
    EXPECT_EQ(plist::integerFor(monitor->usageTableSnapshot()["Editor"], "TOTAL_RUN_COUNT"), 1);
    EXPECT_EQ(logMessagesStartingWith("updateLastUsedTime: ").size(), 1u);
}

TEST_F(MonitorTest, TerminationAddsTheSecondsOfTheRun) {
    meter({{"Editor.app", "7"}});
    os.clock.set(1'000'000.0);
    auto monitor = startRegistered();
    const RunningApplication editor = app("Editor", 400);
    os.workspace.launch(editor);
    os.clock.set(1'000'000.0 + 1000.9);
    os.workspace.terminate(editor);
    Dict record = fileRecord("7");
    EXPECT_EQ(plist::integerFor(record, "TOTAL_RUN_TIME"), 1000);
    EXPECT_EQ(plist::integerFor(record, "LAUNCH_TIME"), 1'000'000);  // left in place
    EXPECT_EQ(plist::integerFor(record, "LAST_USED"), 1'001'000);
    EXPECT_EQ(logMessages().back(), "appDidTerminate: Editor closed at (Unix epoch): 1001000");

    // A second instance ending adds the time since that same launch again.
    os.clock.set(1'000'000.0 + 1500);
    os.workspace.terminate(editor);
    EXPECT_EQ(fileInt("7", "TOTAL_RUN_TIME"), 2500);

    // A clock set back below the launch lowers the total.
    os.clock.set(1'000'000.0 - 100);
    os.workspace.terminate(editor);
    EXPECT_EQ(fileInt("7", "TOTAL_RUN_TIME"), 2400);
}

TEST_F(MonitorTest, TerminationWithoutALaunchMomentResetsTheRunTime) {
    meter({{"Editor.app", "7"}}, Dict{{"TOTAL_RUN_TIME", 500.0}});
    os.clock.set(2'000'000.0);
    auto monitor = startRegistered();
    os.workspace.terminate(app("Editor", 500));
    Dict record = fileRecord("7");
    EXPECT_EQ(plist::integerFor(record, "TOTAL_RUN_TIME"), 0);
    EXPECT_FALSE(record.count("LAUNCH_TIME"));
    EXPECT_EQ(logMessagesStartingWith("appDidTerminate: sessionRunTime "),
              std::vector<std::string>{"appDidTerminate: sessionRunTime 2000000"});
}

TEST_F(MonitorTest, SweepMovesYesterdaysLaunchAndCountsUnrecordedOnes) {
    TimeZone zone("America/New_York");
    // The day daylight saving time began: yesterday was 25 hours before today's noon.
    const std::int64_t today = localSeconds(2024, 3, 10, 0, 0);
    os.clock.set(localTime(2024, 3, 10, 12, 0));
    auto rule = [](const char* name, const char* id, Dict extra = {}) {
        extra.insert({{"FileName", std::string(name) + ".app"}, {"AppDefinitionId", id}});
        return std::pair<std::string, Value>(id, extra);
    };
    writePlist(
        launchDataPath(),
        Dict{rule("Late", "1",
                  {{"LAUNCH_TIME", localSeconds(2024, 3, 9, 22, 0)}, {"TOTAL_RUN_COUNT", 3}}),
             rule("Old", "2", {{"LAUNCH_TIME", localSeconds(2024, 3, 7, 10, 0)}}),
             rule("Fresh", "3"), rule("Stale", "4"), rule("Twice", "5")});
    writePlist(postDataPath(), Dict{});
    os.workspace.applications = {app("Late", 10),  app("Old", 11),   app("Fresh", 12),
                                 app("Stale", 13), app("Twice", 14), app("Twice", 15),
                                 app("Other", 16)};
    os.processes.starts = {{12, localTime(2024, 3, 10, 9, 15, 30.7)},
                           {13, localTime(2024, 3, 9, 8, 0)},
                           {14, localTime(2024, 3, 10, 11, 0)}};
    start()->checkAlreadyRunningApps();

    EXPECT_EQ(fileInt("1", "LAUNCH_TIME"), today);
    EXPECT_EQ(fileInt("1", "TOTAL_RUN_COUNT"), 3);
    EXPECT_EQ(fileInt("2", "LAUNCH_TIME"), localSeconds(2024, 3, 7, 10, 0));
    EXPECT_EQ(fileInt("3", "LAUNCH_TIME"), localSeconds(2024, 3, 10, 9, 15, 30));
    EXPECT_EQ(fileInt("3", "TOTAL_RUN_COUNT"), 1);
    EXPECT_EQ(fileInt("4", "LAUNCH_TIME"), today);
    EXPECT_EQ(fileInt("4", "TOTAL_RUN_COUNT"), 1);
    // The second instance finds the first one's launch moment and is not counted again.
    EXPECT_EQ(fileInt("5", "TOTAL_RUN_COUNT"), 1);
    EXPECT_EQ(logMessagesStartingWith("checkAlreadyRunningApps: ").size(), 6u);

    // 23:30 local on May 1st is already May 2nd in UTC, yet locally it was yesterday.
    os.clock.set(localTime(2024, 5, 2, 10, 0));
    meter({{"Late.app", "1"}}, Dict{{"LAUNCH_TIME", localSeconds(2024, 5, 1, 23, 30)}});
    os.workspace.applications = {app("Late", 10)};
    start()->checkAlreadyRunningApps();
    EXPECT_EQ(fileInt("1", "LAUNCH_TIME"), localSeconds(2024, 5, 2, 0, 0));
}

TEST_F(MonitorTest, ResetReloadsTheTableAndSweepsAgain) {
    meter({{"Editor.app", "7"}}, Dict{{"TOTAL_RUN_COUNT", 9}});
    os.clock.set(1'700'000'000.0);
    auto monitor = start();
    os.workspace.applications = {app("Editor", 10)};
    os.processes.starts = {{10, 1'700'000'000.0 - 5}};
    // A successful report cleared the figures.
    meter({{"Editor.app", "7"}, {"New.app", "8"}});
    monitor->resetPlist();
    EXPECT_EQ(fileInt("7", "TOTAL_RUN_COUNT"), 1);
    EXPECT_EQ(monitor->monitoredApps(), std::vector<std::string>{"Editor"});
}

TEST(ConsoleWatcher, DecisionTable) {
    using A = ConsoleAction;
    std::optional<std::string> remembered = std::string();
    const std::optional<std::string> none;
    EXPECT_EQ(decideConsoleAction(std::string(), std::string("Login"), remembered), A::None);
    EXPECT_EQ(decideConsoleAction(std::string("ann"), std::string("Login"), remembered),
              A::Reinitiate);
    EXPECT_EQ(remembered, "ann");
    EXPECT_EQ(decideConsoleAction(std::string("ann"), std::string("Login"), remembered), A::None);
    EXPECT_EQ(decideConsoleAction(std::string("bob"), std::string("Logoff"), remembered), A::None);
    EXPECT_EQ(decideConsoleAction(std::string("bob"), std::string("login"), remembered), A::None);
    EXPECT_EQ(remembered, "ann");
    EXPECT_EQ(decideConsoleAction(std::string("ann"), std::string("Logoff"), remembered), A::Drop);
    EXPECT_EQ(remembered, "");
    EXPECT_EQ(decideConsoleAction(std::string("ann"), std::string("Switch"), remembered),
              A::Reinitiate);
    EXPECT_EQ(decideConsoleAction(none, std::string("Login"), remembered), A::Reinitiate);
    EXPECT_EQ(remembered, none);
    EXPECT_EQ(decideConsoleAction(none, std::string("Logoff"), remembered), A::Drop);
    EXPECT_EQ(remembered, "");
    for (int tick = 0; tick < 2; ++tick) {
        EXPECT_EQ(decideConsoleAction(std::string("root"), std::string("Login"), remembered),
                  A::None);
        EXPECT_EQ(decideConsoleAction(std::string("root"), std::string("Logoff"), remembered),
                  A::Drop);
    }
    EXPECT_EQ(decideConsoleAction(none, none, remembered), A::None);
}

TEST_F(MonitorTest, ConsoleWatcherFollowsTheRealConsoleUserFile) {
    meter({{"Editor.app", "7"}});
    auto monitor = start();
    const std::string file = agentPath() + "/consoleuser.plist";
    std::optional<std::string> remembered = std::string();
    auto registered = [&] {
        return os.workspace.center.registrations(monitor.get(),
                                                 WorkspaceEvent::DidLaunchApplication);
    };

    writePlist(file, Dict{{"logType", "Login"}, {"CurrentConsoleUser", "ann"}});
    checkConsoleSession(*monitor, remembered);
    os.loop.runDelayed();
    EXPECT_EQ(registered(), 1u);
    checkConsoleSession(*monitor, remembered);
    os.loop.runDelayed();
    EXPECT_EQ(registered(), 1u);

    writePlist(file, Dict{{"logType", "Logoff"}, {"CurrentConsoleUser", "ann"}});
    checkConsoleSession(*monitor, remembered);
    EXPECT_EQ(registered(), 0u);
    os.workspace.launch(app("Editor", 1));
    EXPECT_FALSE(fileInt("7", "TOTAL_RUN_COUNT"));

    writePlist(file, Dict{{"logType", "Login"}, {"CurrentConsoleUser", "root"}});
    checkConsoleSession(*monitor, remembered);
    os.loop.runDelayed();
    EXPECT_EQ(registered(), 0u);
    EXPECT_EQ(logMessagesStartingWith(" Login Captured").size(), 1u);

    // "root" logging off drops the observers on every tick while the file says so.
    writePlist(file, Dict{{"logType", "Logoff"}, {"CurrentConsoleUser", "root"}});
    const auto drops = logMessagesStartingWith("de-init delegate Called.").size();
    checkConsoleSession(*monitor, remembered);
    checkConsoleSession(*monitor, remembered);
    EXPECT_EQ(logMessagesStartingWith("de-init delegate Called.").size(), drops + 2);

    std::filesystem::remove(file);
    checkConsoleSession(*monitor, remembered);  // a missing file is no event
    EXPECT_EQ(registered(), 0u);
}

}  // namespace
}  // namespace tallyvane::test
