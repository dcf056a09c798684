#pragma once
// The usage monitor: the metered list, the usage table and every operation of monitor and
// report mode, in the words the operators read in the log. The rules of a usage record live in
// usage/, the metering files in store/, the report in report/, and the operating system behind
// platform/.
#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Platform.h"
#include "settings/AgentSettings.h"
#include "store/MeteringFiles.h"
#include "store/UsageTable.h"
#include "usage/Change.h"
#include "usage/UsageRules.h"

namespace tallyvane {

class AppMonitor : public std::enable_shared_from_this<AppMonitor> {
  public:
    using PlistError = store::PlistError;

    // What the usage table is loaded with: every record, or (for a report run, which settles
    // the running applications and builds the report from the file) only the records of the
    // metered applications running when it is loaded.
    enum class UsageTableScope { AllRecords, RunningApplications };

    // Builds the file locations from the agent's data folder, prepares the metering files and
    // loads the metered list, the rule mapping and the usage table. Never fails; every failure
    // is logged. Both arguments must outlive the monitor.
    AppMonitor(const Platform& platform, const AgentSettings& settings,
               UsageTableScope tableScope = UsageTableScope::AllRecords);
    ~AppMonitor();
    AppMonitor(const AppMonitor&) = delete;
    AppMonitor& operator=(const AppMonitor&) = delete;

    const std::string appLaunchDataPlistURL;
    const std::string swmPostDataURL;
    const std::string appRuleMappingDataURL;

    const std::vector<std::string>& monitoredApps() const { return monitoredApps_; }
    const plist::Dict& appRuledata() const { return appRuledata_; }

    // Drops the workspace observers at once and registers them again two seconds later.
    void initNotificationDelegates();
    // Drops every workspace observer registration of this monitor.
    void deinitNotificationDelegates();
    // Registers the observers and sweeps the applications already running.
    void monitorApps();

    void appDidLaunch(const WorkspaceNotification& notification);
    void appDidTerminate(const WorkspaceNotification& notification);
    void incrementLaunchCount(const std::string& name, const RunningApplication& application);
    // Writes a record just put back into the usage table through to the launch-data file; where
    // another of our processes changed the file's record since, change is made on that instead.
    void updateMeteringData(const std::string& name, const UsageRecord& record,
                            const store::RecordChange& change);
    void checkAlreadyRunningApps();
    void checkAlreadyRunningAppsAndUpdatePlist();
    // Settles the running applications, builds and posts the usage report; returns the report
    // text, or "nil" when the launch-data file could not be read.
    std::string generateAndPostXML();
    std::optional<std::string> getAppDefinitionId(const std::string& name);
    // Reloads the usage table from the launch-data file and sweeps the running applications.
    void resetPlist();

    // The metering files as this monitor reads and writes them, with the documents it remembers:
    // for a report's steps run apart (the dry run), which then read nothing twice.
    store::MeteringFiles& meteringFiles() { return files_; }

    // A copy of the whole usage table, after every update submitted before it.
    UsageRecords usageTableSnapshot() { return appsData_.snapshot(); }

  private:
    double getLaunchTimeForProcess(std::int32_t pid);
    // Replaces the usage table by a fresh load of the launch-data file, of the table's scope.
    void reloadUsageTable();
    // Puts the file's records of those applications that the table does not hold into it.
    void loadRecordsMissingFor(const std::vector<RunningApplication>& applications);
    bool isMonitored(const std::string& name) const {
        return std::find(monitoredApps_.begin(), monitoredApps_.end(), name) !=
               monitoredApps_.end();
    }
    // The running applications whose names are metered, in the workspace's order.
    std::vector<RunningApplication> runningMeteredApplications();
    std::int64_t nowSeconds() const { return usage::secondsOf(platform_.clock.now()); }
    // A launch moment put into the table's record before the launch is counted.
    struct Stamped {
        UsageRecord before;  // the record before it
        std::int64_t launchTime = 0;
    };
    void countLaunch(const std::string& name, const RunningApplication& application,
                     std::optional<Stamped> stamped);
    // Puts the record, before changed into record by change, back into the usage table, then
    // writes it through to the file (where the file's record differs, change is made on that).
    void commit(const std::string& name, const UsageRecord& before, const UsageRecord& record,
                const usage::Change& change);

    Platform platform_;
    const AgentSettings& settings_;
    const UsageTableScope tableScope_;
    LogSink& log_;
    store::MeteringFiles files_;
    UsageTable appsData_;
    std::vector<std::string> monitoredApps_;
    plist::Dict appRuledata_;
};

}  // namespace tallyvane
