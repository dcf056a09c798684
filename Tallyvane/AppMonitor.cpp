#include "AppMonitor.h"

#include <algorithm>
#include <chrono>

#include "calendar/Calendar.h"
#include "lvornutils/FileUtils.h"
#include "lvornutils/GlobVars.h"
#include "lvornutils/Log.h"
#include "platform/Bundle.h"
#include "report/ReportUpload.h"
#include "report/Settlement.h"

namespace tallyvane {
namespace {

constexpr auto kRegistrationDelay = std::chrono::milliseconds(2000);

std::string dataDirectory() {
    return gv_globvars ? gv_globvars->vornagentDataDictPath().value_or("") : std::string();
}

// The table as a dictionary of records is rendered, without copying the records into one.
std::string renderTable(const UsageRecords& table) {
    if (table.empty()) return "[:]";
    std::string text = "[";
    for (const auto& [name, record] : table) {
        if (text.size() > 1) text += ", ";
        text += '"' + name + "\": " + plist::describe(record);
    }
    return text + "]";
}

// x + y, or nothing where the sum leaves the signed 64-bit range.
std::optional<std::int64_t> checkedAdd(std::int64_t x, std::int64_t y) {
    std::int64_t sum = 0;
    if (__builtin_add_overflow(x, y, &sum)) return std::nullopt;
    return sum;
}

}  // namespace

std::string renderList(const std::vector<std::string>& names) {
    std::string text = "[";
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i) text += ", ";
        text += '"' + names[i] + '"';
    }
    return text + "]";
}

AppMonitor::AppMonitor(const Platform& platform)
    : appLaunchDataPlistURL(dataDirectory() + "/SoftwareMetering/AppLaunchData.plist"),
      swmPostDataURL(dataDirectory() + "/SoftwareMetering/AppPostData.plist"),
      appRuleMappingDataURL(dataDirectory() + "/SoftwareMetering/AppRuleData.plist"),
      platform_(platform) {
    createPlistIfNotExists(appRuleMappingDataURL);

    if (!FileUtils().isFileExist(appLaunchDataPlistURL)) {
        VornLog("AppLaunchData file not found at " + appLaunchDataPlistURL);
        return;
    }

    if (auto error = updatePostDataPlist(swmPostDataURL, swmPostDataURL))
        VornLog("Error in updating AppPostData Plist: " + error->text());

    if (auto rules = store::readRuleData(appLaunchDataPlistURL)) {
        monitoredApps_ = std::move(rules->monitoredApps);
        appRuledata_ = std::move(rules->appRuledata);
        VornLog("Monitored Apps: " + renderList(monitoredApps_));
        saveAppRuleData();
    } else {
        VornLog("Failed to load or parse plist file at " + appLaunchDataPlistURL);
    }

    // Not shared yet, but the table is only ever touched through its queue.
    appsData_.replace(loadAppLaunchDataToUpdate(appLaunchDataPlistURL));
    VornLog("Init complete. Monitoring " + std::to_string(monitoredApps_.size()) +
            " apps: " + renderList(monitoredApps_));
}

AppMonitor::~AppMonitor() {
    VornLog("Deinit Called.");
    deinitNotificationDelegates();
}

void AppMonitor::deinitNotificationDelegates() {
    VornLog("de-init delegate Called.");
    platform_.workspace.notificationCenter().removeObserver(this);
}

void AppMonitor::initNotificationDelegates() {
    deinitNotificationDelegates();
    VornLog("init delegate Called.");
    // The pending registration keeps the monitor alive and is never cancelled.
    platform_.mainLoop.postAfter(kRegistrationDelay, [self = shared_from_this()] {
        auto& center = self->platform_.workspace.notificationCenter();
        AppMonitor* observer = self.get();
        center.addObserver(
            observer, WorkspaceEvent::DidLaunchApplication,
            [observer](const WorkspaceNotification& n) { observer->appDidLaunch(n); });
        center.addObserver(
            observer, WorkspaceEvent::DidTerminateApplication,
            [observer](const WorkspaceNotification& n) { observer->appDidTerminate(n); });
    });
}

void AppMonitor::monitorApps() {
    VornLog("monitorApps: Setting up app monitoring...");
    initNotificationDelegates();
    checkAlreadyRunningApps();
}

void AppMonitor::resetPlist() {
    VornLog("AppMonitor: resetPlist() called");
    appsData_.replace(loadAppLaunchDataToUpdate(appLaunchDataPlistURL));
    checkAlreadyRunningApps();
}

// ---- launches and terminations ----

void AppMonitor::appDidLaunch(const WorkspaceNotification& notification) {
    VornLog("Inside appDidLaunch");
    if (notification.application && notification.application->localizedName) {
        const RunningApplication& application = *notification.application;
        const std::string& name = *application.localizedName;
        VornLog("App launched: " + name);
        if (isMonitored(name)) {
            VornLog("Match found: " + name);
            UsageRecord record = getAppData(name);
            record.insert_or_assign("LAUNCH_TIME", nowSeconds());
            updateAppData(name, std::move(record));
            incrementLaunchCount(name, application);
        }
    }
    VornLog("appDidLaunch: montioredApps: " + renderList(monitoredApps_));
}

void AppMonitor::incrementLaunchCount(const std::string& name,
                                      const RunningApplication& application) {
    const UsageRecords snapshot = appsData_.snapshot();
    VornLog("AppData while didLauch " + renderTable(snapshot));
    if (snapshot.empty()) appsData_.replace(loadAppLaunchDataToUpdate(appLaunchDataPlistURL));

    UsageRecord record = getAppData(name);
    const std::int64_t count = plist::integerFor(record, "TOTAL_RUN_COUNT").value_or(0);
    record.insert_or_assign("TOTAL_RUN_COUNT", checkedAdd(count, 1).value_or(count));
    record.insert_or_assign("PRODUCT_NAME", name);

    std::string version = "Unknown";
    if (application.bundleURL) {
        if (auto info = bundleInfoDictionary(*application.bundleURL))
            if (const std::string* v = plist::stringFor(*info, "CFBundleShortVersionString"))
                version = *v;
    }
    record.insert_or_assign("PRODUCT_VERSION", version);
    record.insert_or_assign("FILE_VERSION", version);
    record.insert_or_assign("LAST_USED", nowSeconds());

    updateAppData(name, record);
    updateMeteringData(name, record);
}

void AppMonitor::updateMeteringData(const std::string& name, const UsageRecord& record) {
    VornLog("Inside updateMeteringData");
    if (auto id = getAppDefinitionId(name))
        saveAppsData(*id, record);
    else
        VornLog("updateLastUsedTime: Unable to fetch appDefinitionId from the AppLaunchPlist");
}

void AppMonitor::appDidTerminate(const WorkspaceNotification& notification) {
    const UsageRecords snapshot = appsData_.snapshot();
    VornLog("AppData while didTerminate " + renderTable(snapshot));
    VornLog("Inside appDidTerminate");
    if (snapshot.empty()) appsData_.replace(loadAppLaunchDataToUpdate(appLaunchDataPlistURL));

    if (!notification.application || !notification.application->localizedName) return;
    const std::string& name = *notification.application->localizedName;
    if (!isMonitored(name)) return;

    VornLog("Inside appDidTerminate and getting the launch date and run time calculation");
    UsageRecord record = getAppData(name);
    const std::int64_t launchTime = plist::integerFor(record, "LAUNCH_TIME").value_or(0);
    VornLog("appDidTerminate: launchTime: " + std::to_string(launchTime));
    VornLog("appDidTerminate: " + name + " Launch on " + std::to_string(launchTime));

    // A clock reading that leaves 64 bits counts as no run time rather than an overflow.
    const double elapsed = platform_.clock.now() - static_cast<double>(launchTime);
    const std::int64_t sessionRunTime = calendar::wholeSeconds(elapsed).value_or(0);
    VornLog("appDidTerminate: sessionRunTime " + std::to_string(sessionRunTime));

    if (launchTime == 0) {
        record.insert_or_assign("TOTAL_RUN_TIME", std::int64_t{0});
    } else {
        const std::int64_t total = plist::integerFor(record, "TOTAL_RUN_TIME").value_or(0);
        record.insert_or_assign("TOTAL_RUN_TIME",
                                checkedAdd(total, sessionRunTime).value_or(total));
    }
    record.insert_or_assign("LAST_USED", nowSeconds());

    updateAppData(name, record);
    updateMeteringData(name, record);
    VornLog("appDidTerminate: " + name +
            " closed at (Unix epoch): " + std::to_string(nowSeconds()));
}

// ---- sweeps of the running applications ----

std::vector<RunningApplication> AppMonitor::runningMeteredApplications() {
    auto applications = platform_.workspace.runningApplications();
    std::erase_if(applications, [this](const RunningApplication& application) {
        return !application.localizedName || !isMonitored(*application.localizedName);
    });
    return applications;
}

void AppMonitor::checkAlreadyRunningApps() {
    VornLog("Inside checkAlreadyRunningApps");
    for (const RunningApplication& application : runningMeteredApplications()) {
        const std::string& name = *application.localizedName;
        VornLog("checkAlreadyRunningApps: " + name + " is already running");
        UsageRecord record = getAppData(name);
        if (auto recorded = plist::integerFor(record, "LAUNCH_TIME")) {
            VornLog("LAUNCH_TIME exists with value: " + std::to_string(*recorded));
            carryLaunchIntoToday(name, std::move(record), *recorded);
        } else {
            VornLog("LAUNCH_TIME key not found in appData for app");
            countRunningLaunch(application, std::move(record));
        }
    }
}

std::int64_t AppMonitor::startOfToday(double now) const {
    const auto start = calendar::startOfDay(now);
    return start ? calendar::wholeSeconds(*start).value_or(0) : 0;
}

void AppMonitor::carryLaunchIntoToday(const std::string& name, UsageRecord record,
                                      std::int64_t launchTime) {
    const double now = platform_.clock.now();
    const double launch = static_cast<double>(launchTime);
    const auto yesterday = calendar::addDays(now, -1);
    if (calendar::isSameDay(launch, now)) {
        VornPrint("Launch date is today.");
    } else if (yesterday && calendar::startOfDay(now) && calendar::isSameDay(launch, *yesterday)) {
        VornPrint("Launch date is yesterday. Updating to start of today.");
        record.insert_or_assign("LAUNCH_TIME", startOfToday(now));
    } else {
        VornPrint("Launch date is older than yesterday.");
    }
    updateAppData(name, record);
    updateMeteringData(name, record);
}

void AppMonitor::countRunningLaunch(const RunningApplication& application, UsageRecord record) {
    const std::string& name = *application.localizedName;
    const double started = getLaunchTimeForProcess(application.processIdentifier);
    VornLog("launchTime value: " + calendar::utcText(started));
    const std::int64_t startSeconds = calendar::wholeSeconds(started).value_or(0);
    const double now = platform_.clock.now();
    if (calendar::isSameDay(static_cast<double>(startSeconds), now)) {
        record.insert_or_assign("LAUNCH_TIME", startSeconds);
        VornPrint("Launch date is today.");
    } else {
        record.insert_or_assign("LAUNCH_TIME", startOfToday(now));
        VornPrint("Launch date is older than yesterday.");
    }
    updateAppData(name, std::move(record));
    incrementLaunchCount(name, application);
}

void AppMonitor::checkAlreadyRunningAppsAndUpdatePlist() {
    VornLog("Inside checkAlreadyRunningAppsAndUpdatePlist");
    for (const RunningApplication& application : runningMeteredApplications()) {
        const std::string& name = *application.localizedName;
        VornLog("checkAlreadyRunningAppsAndUpdatePlist: " + name + " is still running");
        auto settled = report::settleRunningRecord(getAppData(name), platform_.clock);
        if (!settled) continue;
        updateAppData(name, *settled);
        updateMeteringData(name, *settled);
    }
}

std::string AppMonitor::generateAndPostXML() {
    VornLog("Inside generateAndPostXML");
    checkAlreadyRunningAppsAndUpdatePlist();
    return report::buildAndPostReport(appLaunchDataPlistURL, swmPostDataURL, launchDataPath(),
                                      platform_.clock);
}

// ---- the metering files ----

std::optional<std::string> AppMonitor::getAppDefinitionId(const std::string& name) {
    return store::getAppDefinitionId(appRuleMappingDataURL, name);
}

UsageRecords AppMonitor::loadAppLaunchDataToUpdate(const std::string& url) {
    return store::loadAppLaunchDataToUpdate(url);
}

void AppMonitor::saveAppsData(const std::string& appDefinitionId, const UsageRecord& record) {
    store::saveAppsData(appLaunchDataPlistURL, appDefinitionId, record);
}

void AppMonitor::saveAppRuleData() {
    store::saveAppRuleData(appRuledata_, appRuleMappingDataURL);
}

void AppMonitor::createPlistIfNotExists(const std::string& url) {
    store::createPlistIfNotExists(url);
}

std::optional<AppMonitor::PlistError> AppMonitor::updatePostDataPlist(const std::string& path,
                                                                      const std::string&) {
    return store::updatePostDataPlist(path, nowSeconds());
}

void AppMonitor::updateAddedTime(const std::string& url) {
    store::updateAddedTime(url, nowSeconds());
}

void AppMonitor::resetSoftwareMeteringRules() {
    store::resetSoftwareMeteringRules(launchDataPath());
}

// ---- the usage table ----

UsageRecord AppMonitor::getAppData(const std::string& name) {
    return appsData_.get(name);
}

void AppMonitor::updateAppData(const std::string& name, UsageRecord record) {
    appsData_.put(name, std::move(record));
}

double AppMonitor::getLaunchTimeForProcess(std::int32_t pid) {
    VornLog("getLaunchTimeForProcess");
    return platform_.processes.startTime(pid).value_or(platform_.clock.now());
}

bool AppMonitor::isMonitored(const std::string& name) const {
    return std::find(monitoredApps_.begin(), monitoredApps_.end(), name) != monitoredApps_.end();
}

std::int64_t AppMonitor::nowSeconds() const {
    return calendar::wholeSeconds(platform_.clock.now()).value_or(0);
}

std::string AppMonitor::launchDataPath() const {
    // Built afresh, as the reset does, rather than taken from the field.
    return dataDirectory() + "/SoftwareMetering/AppLaunchData.plist";
}

}  // namespace tallyvane
