// The monitor's operations over metering files, workspace and clock in memory.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <ctime>
#include <filesystem>

#include "AppMonitor.h"
#include "PeriodicChecker.h"
#include "platform/memory/MemoryFileSystem.h"
#include "support/AgentFixture.h"
#include "support/MemoryPlatform.h"
#include "support/TimeZone.h"

namespace tallyvane::test {
namespace {

using plist::Dict;
using plist::Value;

// The launch-data record of fileName under id.
std::pair<const std::string, Value> rule(const std::string& fileName, const std::string& id,
                                         Dict extra = {}) {
    extra.emplace("FileName", fileName);
    extra.emplace("AppDefinitionId", id);
    return {id, extra};
}

class MonitorTest : public AgentFixture {
  protected:
    MemoryFileSystem files;
    MemoryPlatform os;
    MonitorTest() {
        os.files = &files;
        readLogFrom(os.log);
        (void)files.createDirectory(agentPath(),
                                    0755);  // as installed: only what is below it is made
    }
    FixedSettings settings{{{Setting::vornagentPath, agentPath()},
                            {Setting::vornagentDataDictPath, agentPath() + "/data"}}};

    static RunningApplication app(std::string name, int pid) { return {name, std::nullopt, pid}; }
    void meter(const Dict& launchData) {
        writePlist(launchDataPath(), launchData);
        writePlist(postDataPath(), Dict{{"AddedTime", "1"}});
    }
    std::shared_ptr<AppMonitor> start() {
        return std::make_shared<AppMonitor>(os.platform(), settings);
    }
    // The metering files and the log live in memory; the console user file stays on disk.
    void writePlist(const std::string& path, const Value& value) {
        files.put(path, *plist::toXml(value));
    }
    Value readPlist(const std::string& path) {
        auto bytes = files.contents(path);
        auto value = bytes ? plist::parse(*bytes).value() : std::nullopt;
        EXPECT_TRUE(value) << path;
        return value.value_or(Value());
    }
    Dict fileRecord(const std::string& id) {
        const Value all = readPlist(launchDataPath());
        const Dict* root = plist::asDict(all);
        const Dict* record = root && root->count(id) ? plist::asDict(root->at(id)) : nullptr;
        return record ? *record : Dict{};
    }
    auto fileInt(const std::string& id, const char* key) {
        return plist::integerFor(fileRecord(id), key);
    }
};

TEST_F(MonitorTest, StartUpReadsTheLaunchDataWhateverShapeItIsIn) {
    // Without a launch-data file: an empty rule file, and no post-data file yet.
    auto monitor = start();
    EXPECT_EQ(logMessagesStartingWith("AppLaunchData file not found at "),
              std::vector<std::string>{"AppLaunchData file not found at " + launchDataPath()});
    EXPECT_EQ(readPlist(ruleDataPath()), Value(Dict{}));
    EXPECT_FALSE(files.exists(postDataPath()));
    // A table found empty at an event is loaded again: here from a file written since.
    monitor->initNotificationDelegates();
    os.loop.runDelayed();
    writePlist(launchDataPath(), Dict{rule("Late.app", "9")});
    os.workspace.terminate(app("Other", 90));
    EXPECT_EQ(logMessagesStartingWith("AppData while didTerminate "),
              std::vector<std::string>{"AppData while didTerminate [:]"});
    EXPECT_EQ(monitor->usageTableSnapshot().count("Late"), 1u);
    os.workspace.terminate(app("Other", 91));
    EXPECT_NE(logMessagesStartingWith("AppData while didTerminate ").back().find("[\"Late\": ["),
              std::string::npos);
    monitor->deinitNotificationDelegates();

    writePlist(launchDataPath(),
               Dict{rule("Pro.appliance.app", "10"),
                    rule("Editor.APP", "11"),
                    rule("Twin.app", "12"),
                    rule("Twin.app", "13"),
                    {"14", Dict{{"FileName", "NoId.app"}, {"AppDefinitionId", 14}}},
                    {"15", Dict{{"AppDefinitionId", "15"}}},
                    {"16", Dict{}}});
    monitor = start();
    const std::vector<std::string> names{"Proliance", "Editor.APP", "Twin", "Twin", "NoId"};
    EXPECT_EQ(monitor->monitoredApps(), names);
    EXPECT_EQ(readPlist(ruleDataPath()),
              Value(Dict{{"Proliance", "10"}, {"Editor.APP", "11"}, {"Twin", "13"}}));
    EXPECT_EQ(logMessagesStartingWith("Init complete"),
              std::vector<std::string>{"Init complete. Monitoring 5 apps: " + renderList(names)});
    // The error's own text is metering_files_test's.
    EXPECT_EQ(logMessagesStartingWith("Error in updating AppPostData Plist: fileNotFound(").size(),
              1u);

    // A record that is no dictionary fails the whole file; the rule file stays as it was.
    writePlist(ruleDataPath(), Dict{{"Kept", "1"}});
    writePlist(launchDataPath(), Dict{rule("Good.app", "1"), {"2", "text"}});
    monitor = start();
    EXPECT_EQ(
        logMessagesStartingWith("Failed to load or parse plist file at "),
        std::vector<std::string>{"Failed to load or parse plist file at " + launchDataPath()});
    EXPECT_TRUE(monitor->monitoredApps().empty());
    EXPECT_EQ(readPlist(ruleDataPath()), Value(Dict{{"Kept", "1"}}));
    EXPECT_EQ(monitor->usageTableSnapshot().count("Good"), 1u);
    files.put(launchDataPath(), "bplist00\xff\xff");
    monitor = start();
    EXPECT_TRUE(monitor->monitoredApps().empty() && monitor->usageTableSnapshot().empty());
}

TEST_F(MonitorTest, LaunchesAreCountedOnlyWhileRegistered) {
    meter({rule("Editor.app", "7", {{"TOTAL_RUN_COUNT", 4}}),
           rule("Viewer.app", "8", {{"TOTAL_RUN_COUNT", "many"}})});
    os.clock.set(1'700'000'000.75);
    auto monitor = start();
    monitor->initNotificationDelegates();
    os.workspace.launch(app("Editor", 100));  // within the two seconds: not seen
    EXPECT_EQ(fileInt("7", "TOTAL_RUN_COUNT"), 4);

    os.loop.runDelayed();
    os.workspace.launch(app("Editor", 101));
    os.workspace.launch(app("editor", 102));  // other letter case: not metered
    const Dict counted{{"FileName", "Editor.app"},     {"AppDefinitionId", "7"},
                       {"TOTAL_RUN_COUNT", 5},         {"LAUNCH_TIME", 1'700'000'000},
                       {"LAST_USED", 1'700'000'000},   {"PRODUCT_NAME", "Editor"},
                       {"PRODUCT_VERSION", "Unknown"}, {"FILE_VERSION", "Unknown"}};
    EXPECT_EQ(fileRecord("7"), counted);

    // The bundle's version; a count that is no number starts again at one.
    const std::string bundle = agentPath() + "/Viewer.app";
    writePlist(bundle + "/Contents/Info.plist", Dict{{"CFBundleShortVersionString", "2.1"}});
    os.workspace.launch({"Viewer", bundle, 200});
    EXPECT_EQ(fileInt("8", "TOTAL_RUN_COUNT"), 1);
    EXPECT_EQ(*plist::stringFor(fileRecord("8"), "PRODUCT_VERSION"), "2.1");
    EXPECT_EQ(*plist::stringFor(fileRecord("8"), "FILE_VERSION"), "2.1");
    os.workspace.launch({"Viewer", bundle, 201});
    // Without a rule mapping entry only the table counts, and says why the file did not.
    writePlist(ruleDataPath(), Dict{{"Editor", "7"}});
    os.workspace.launch(app("Viewer", 202));
    EXPECT_EQ(fileInt("8", "TOTAL_RUN_COUNT"), 2);
    EXPECT_EQ(monitor->usageTableSnapshot()["Viewer"].totalRunCount(), 3);
    EXPECT_EQ(logMessagesStartingWith("updateLastUsedTime: ").size(), 1u);

    monitor->deinitNotificationDelegates();
    os.workspace.launch(app("Editor", 104));
    EXPECT_EQ(fileInt("7", "TOTAL_RUN_COUNT"), 5);
}

TEST_F(MonitorTest, TerminationAddsTheSecondsSinceTheLaunch) {
    meter({rule("Editor.app", "7")});
    os.clock.set(1'000'000.0);
    auto monitor = start();
    monitor->initNotificationDelegates();
    os.loop.runDelayed();  // the observers take effect two seconds after start
    const RunningApplication editor = app("Editor", 400);
    os.workspace.launch(editor);
    os.clock.set(1'000'000.0 + 1000.9);
    os.workspace.terminate(editor);
    EXPECT_EQ(fileInt("7", "TOTAL_RUN_TIME"), 1000);
    EXPECT_EQ(fileInt("7", "LAUNCH_TIME"), 1'000'000);  // left in place
    EXPECT_EQ(fileInt("7", "LAST_USED"), 1'001'000);
    EXPECT_EQ(logMessages().back(), "appDidTerminate: Editor closed at (Unix epoch): 1001000");
    // Ends without a launch moment (after a reset) are two_writers_test's.
}

// The calendar's cases are usage_rules_test's rows; here the sweep's use of them.
TEST_F(MonitorTest, SweepAndResetMoveYesterdaysLaunchAndCountUnrecordedOnes) {
    TimeZone zone("America/New_York");
    os.clock.set(local("2024-03-10 12:00:00"));
    meter({rule("Late.app", "1",
                {{"LAUNCH_TIME", local("2024-03-09 22:00:00")}, {"TOTAL_RUN_COUNT", 3}}),
           rule("Fresh.app", "3"), rule("Twice.app", "5")});
    os.workspace.applications = {app("Late", 10), app("Fresh", 12), app("Twice", 14),
                                 app("Twice", 15), app("Other", 16)};
    os.processes.starts = {{12, local("2024-03-10 09:15:30") + 0.7},
                           {14, local("2024-03-10 11:00:00")}};
    auto monitor = start();
    monitor->checkAlreadyRunningApps();
    EXPECT_EQ(fileInt("1", "LAUNCH_TIME"), local("2024-03-10 00:00:00"));
    EXPECT_EQ(fileInt("1", "TOTAL_RUN_COUNT"), 3);
    EXPECT_EQ(fileInt("3", "LAUNCH_TIME"), local("2024-03-10 09:15:30"));
    EXPECT_EQ(fileInt("3", "TOTAL_RUN_COUNT"), 1);
    // The second instance finds the first one's launch moment and is not counted again.
    EXPECT_EQ(fileInt("5", "TOTAL_RUN_COUNT"), 1);

    // A successful report cleared the figures: reset reloads them and sweeps again, while the
    // applications monitored stay those read at start.
    meter({rule("Late.app", "1"), rule("New.app", "8")});
    os.workspace.applications = {app("Late", 10)};
    monitor->resetPlist();
    EXPECT_EQ(fileInt("1", "TOTAL_RUN_COUNT"), 1);
    EXPECT_EQ(monitor->monitoredApps(), (std::vector<std::string>{"Late", "Fresh", "Twice"}));
}

TEST(ConsoleWatcher, DecisionTable) {
    using enum ConsoleAction;
    using Opt = std::optional<std::string>;
    const Opt no;
    // The console user and event read, the decision, and the user remembered after it.
    using Step = std::tuple<Opt, Opt, ConsoleAction, Opt>;
    const Step steps[] = {{"", "Login", None, ""},
                          {"ann", "Login", Reinitiate, "ann"},
                          {"ann", "Login", None, "ann"},
                          {"bob", "Logoff", None, "ann"},
                          {"bob", "login", None, "ann"},
                          {"ann", "Logoff", Drop, ""},
                          {"ann", "Switch", Reinitiate, "ann"},
                          {no, "Login", Reinitiate, no},
                          {no, "Logoff", Drop, ""},
                          {"root", "Login", None, ""},
                          {"root", "Logoff", Drop, ""},
                          {no, no, None, ""}};
    Opt remembered = std::string();
    for (const auto& [user, event, action, after] : steps) {
        SCOPED_TRACE(user.value_or("(none)") + " " + event.value_or("(none)"));
        EXPECT_EQ(decideConsoleAction(user, event, remembered), action);
        EXPECT_EQ(remembered, after);
    }
}

TEST_F(MonitorTest, ConsoleWatcherFollowsTheRealConsoleUserFile) {
    meter({rule("Editor.app", "7")});
    auto monitor = start();
    ConsoleWatch watch;
    MemoryLogSink watcherLog;
    auto registered = [&] {
        return os.workspace.center.registrations(monitor.get(),
                                                 WorkspaceEvent::DidLaunchApplication);
    };
    auto deinits = [&] { return logMessagesStartingWith("de-init delegate Called.").size(); };
    // One tick of the watcher reading the file (none without event), and the two seconds after.
    auto tick = [&](const char* event, const char* user) {
        const std::string file = agentPath() + "/consoleuser.plist";
        std::filesystem::remove(file);
        if (event) test::writePlist(file, Dict{{"logType", event}, {"CurrentConsoleUser", user}});
        checkConsoleSession(*monitor, settings, posixFileSystem(), watcherLog, watch);
        os.loop.runDelayed();
    };

    tick("Login", "ann");
    EXPECT_EQ(registered(), 1u);
    tick("Logoff", "ann");
    EXPECT_EQ(registered(), 0u);

    // "root" logging off drops the observers even when none are registered.
    const auto drops = deinits();
    tick("Logoff", "root");
    EXPECT_EQ(deinits(), drops + 1);
    tick("Login", "ann");
    ASSERT_EQ(registered(), 1u);
    tick(nullptr, nullptr);  // a missing file is no event
    EXPECT_EQ(registered(), 1u);
    EXPECT_EQ(deinits(), drops + 2);

    // A FIFO planted there is neither waited for nor read, and said once.
    const std::string file = agentPath() + "/consoleuser.plist";
    ASSERT_EQ(mkfifo(file.c_str(), 0600), 0);
    for (int i = 0; i < 3; ++i)
        checkConsoleSession(*monitor, settings, posixFileSystem(), watcherLog, watch);
    EXPECT_EQ(watcherLog.linesStartingWith("Console watcher: ").size(), 1u);
    EXPECT_EQ(registered(), 1u);
    tick("Logoff", "ann");
    EXPECT_EQ(registered(), 0u);

    // The same user written composed, then decomposed, logs in once.
    const auto logins = watcherLog.linesStartingWith(" Login Captured").size();
    tick("Login", "Jos\u00e9");
    tick("Login", "Jose\u0301");
    EXPECT_EQ(registered(), 1u);
    EXPECT_EQ(watcherLog.linesStartingWith(" Login Captured").size(), logins + 1);
}

}  // namespace
}  // namespace tallyvane::test
