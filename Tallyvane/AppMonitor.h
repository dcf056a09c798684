#pragma once
// The usage monitor: the metered list, the usage table and every operation of monitor and
// report mode, in the words the operators read in the log. The mechanisms live elsewhere:
// property-list files in plist/ and store/, the report in report/, the calendar in calendar/,
// and the operating system behind platform/.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/Platform.h"
#include "plist/Value.h"
#include "store/MeteringFiles.h"
#include "store/UsageTable.h"

namespace tallyvane {

class AppMonitor : public std::enable_shared_from_this<AppMonitor> {
  public:
    using PlistError = store::PlistError;

    // Builds the file locations from the agent's data directory, prepares the metering files and
    // loads the metered list, the rule mapping and the usage table. Never fails; every failure
    // is logged. The agent library's globals must be set up first.
    explicit AppMonitor(const Platform& platform);
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
    // Writes a record just put back into the usage table through to the launch-data file.
    void updateMeteringData(const std::string& name, const UsageRecord& record);
    void saveAppsData(const std::string& appDefinitionId, const UsageRecord& record);
    void saveAppRuleData();
    void checkAlreadyRunningApps();
    void checkAlreadyRunningAppsAndUpdatePlist();
    // Settles the running applications, builds and posts the usage report; returns the report
    // text, or "nil" when the launch-data file could not be read.
    std::string generateAndPostXML();
    std::optional<std::string> getAppDefinitionId(const std::string& name);
    UsageRecords loadAppLaunchDataToUpdate(const std::string& url);
    void createPlistIfNotExists(const std::string& url);
    std::optional<PlistError> updatePostDataPlist(const std::string& path, const std::string& url);
    void updateAddedTime(const std::string& url);
    void resetSoftwareMeteringRules();
    // Reloads the usage table from the launch-data file and sweeps the running applications.
    void resetPlist();

    // A copy of the whole usage table, after every update submitted before it.
    UsageRecords usageTableSnapshot() { return appsData_.snapshot(); }

  private:
    UsageRecord getAppData(const std::string& name);
    void updateAppData(const std::string& name, UsageRecord record);
    double getLaunchTimeForProcess(std::int32_t pid);

    bool isMonitored(const std::string& name) const;
    // The running applications whose names are metered, in the workspace's order.
    std::vector<RunningApplication> runningMeteredApplications();
    // A running application whose record holds its launch moment: one from yesterday moves to
    // the start of today.
    void carryLaunchIntoToday(const std::string& name, UsageRecord record, std::int64_t launchTime);
    // A running application whose record has no launch moment: counted from its process start,
    // or from the start of today when it started on an earlier day.
    void countRunningLaunch(const RunningApplication& application, UsageRecord record);
    // The first second of the local day holding now (0 where the calendar has no answer).
    std::int64_t startOfToday(double now) const;
    std::int64_t nowSeconds() const;
    std::string launchDataPath() const;

    Platform platform_;
    UsageTable appsData_;
    std::vector<std::string> monitoredApps_;
    plist::Dict appRuledata_;
};

// ["a", "b"]: names in order, each in double quotes, separated by a comma and a blank.
std::string renderList(const std::vector<std::string>& names);

}  // namespace tallyvane
