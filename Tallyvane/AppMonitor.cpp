#include "AppMonitor.h"

#include <chrono>

#include "calendar/Calendar.h"
#include "platform/Bundle.h"
#include "report/ReportRun.h"
#include "report/Settlement.h"
#include "usage/UsageRules.h"

namespace tallyvane {
namespace {

constexpr auto kRegistrationDelay = std::chrono::milliseconds(2000);

}  // namespace

AppMonitor::AppMonitor(const Platform& platform, const AgentSettings& settings,
                       UsageTableScope tableScope)
    : appLaunchDataPlistURL(meteringPath(settings, "AppLaunchData.plist")),
      swmPostDataURL(meteringPath(settings, "AppPostData.plist")),
      appRuleMappingDataURL(meteringPath(settings, "AppRuleData.plist")),
      platform_(platform),
      settings_(settings),
      tableScope_(tableScope),
      log_(platform.log),
      files_(platform.files, platform.log, platform.printed) {
    files_.createPlistIfNotExists(appRuleMappingDataURL);
    if (!platform_.files.exists(appLaunchDataPlistURL)) {
        log_.write("AppLaunchData file not found at " + appLaunchDataPlistURL);
        return;
    }
    if (auto error = files_.updatePostDataPlist(swmPostDataURL, nowSeconds()))
        log_.write("Error in updating AppPostData Plist: " + error->text());

    if (auto rules = files_.readRuleData(appLaunchDataPlistURL)) {
        monitoredApps_ = std::move(rules->monitoredApps);
        appRuledata_ = std::move(rules->appRuledata);
        log_.write("Monitored Apps: " + renderList(monitoredApps_));
        files_.saveAppRuleData(appRuledata_, appRuleMappingDataURL);
    } else {
        log_.write("Failed to load or parse plist file at " + appLaunchDataPlistURL);
    }
    platform_.workspace.meterApplicationsNamed(monitoredApps_);
    // Not shared yet, but the table is only ever touched through its queue.
    reloadUsageTable();
    log_.write("Init complete. Monitoring " + std::to_string(monitoredApps_.size()) +
               " apps: " + renderList(monitoredApps_));
}

AppMonitor::~AppMonitor() {
    log_.write("Deinit Called.");
    deinitNotificationDelegates();
}

void AppMonitor::deinitNotificationDelegates() {
    log_.write("de-init delegate Called.");
    platform_.workspace.notificationCenter().removeObserver(this);
}

void AppMonitor::initNotificationDelegates() {
    deinitNotificationDelegates();
    log_.write("init delegate Called.");
    // The pending registration keeps the monitor alive and is never cancelled.
    platform_.mainLoop.postAfter(kRegistrationDelay, [self = shared_from_this()] {
        auto& center = self->platform_.workspace.notificationCenter();
        AppMonitor* observer = self.get();
        center.addObserver(observer, WorkspaceEvent::DidLaunchApplication,
                           [observer](const auto& n) { observer->appDidLaunch(n); });
        center.addObserver(observer, WorkspaceEvent::DidTerminateApplication,
                           [observer](const auto& n) { observer->appDidTerminate(n); });
    });
}

void AppMonitor::monitorApps() {
    log_.write("monitorApps: Setting up app monitoring...");
    initNotificationDelegates();
    checkAlreadyRunningApps();
}

void AppMonitor::resetPlist() {
    log_.write("AppMonitor: resetPlist() called");
    reloadUsageTable();
    checkAlreadyRunningApps();
}

void AppMonitor::appDidLaunch(const WorkspaceNotification& notification) {
    log_.write("Inside appDidLaunch");
    if (notification.application && notification.application->localizedName) {
        const RunningApplication& application = *notification.application;
        const std::string& name = *application.localizedName;
        log_.write("App launched: " + name);
        if (isMonitored(name)) {
            log_.write("Match found: " + name);
            UsageRecord before = appsData_.get(name);
            UsageRecord record = before;
            const auto launched = nowSeconds();
            usage::stampLaunch(record, launched);
            appsData_.put(name, std::move(record));
            countLaunch(name, application, Stamped{std::move(before), launched});
        }
    }
    log_.write("appDidLaunch: montioredApps: ", renderList(monitoredApps_));
}

void AppMonitor::incrementLaunchCount(const std::string& name,
                                      const RunningApplication& application) {
    countLaunch(name, application, std::nullopt);
}

void AppMonitor::countLaunch(const std::string& name, const RunningApplication& application,
                             std::optional<Stamped> stamped) {
    if (appsData_.logTo(log_, "AppData while didLauch ")) reloadUsageTable();

    UsageRecord record = appsData_.get(name);
    // Outside a bundle, the package the program came from may know its version.
    const auto version = application.bundleURL
                             ? bundleShortVersion(platform_.files, *application.bundleURL)
                         : platform_.packages ? platform_.packages->versionOf(application)
                                              : std::nullopt;
    const usage::Change change{
        usage::Change::Launch{stamped ? std::optional(stamped->launchTime) : std::nullopt, name,
                              version.value_or("Unknown"), nowSeconds()}};
    const UsageRecord before = stamped ? std::move(stamped->before) : record;
    // The table's record holds the stamp already; made again, it is the same moment.
    change.apply(record);
    commit(name, before, record, change);
}

void AppMonitor::updateMeteringData(const std::string& name, const UsageRecord& record,
                                    const store::RecordChange& change) {
    log_.write("Inside updateMeteringData");
    if (auto id = getAppDefinitionId(name)) {
        // The file's figures won over this monitor's: the table takes the record as written.
        if (auto merged = files_.saveAppsData(appLaunchDataPlistURL, *id, record, change))
            appsData_.put(name, std::move(*merged));
    } else
        log_.write("updateLastUsedTime: Unable to fetch appDefinitionId from the AppLaunchPlist");
}

void AppMonitor::appDidTerminate(const WorkspaceNotification& notification) {
    const bool empty = appsData_.logTo(log_, "AppData while didTerminate ");
    log_.write("Inside appDidTerminate");
    if (empty) reloadUsageTable();

    if (!notification.application || !notification.application->localizedName) return;
    const std::string& name = *notification.application->localizedName;
    if (!isMonitored(name)) return;

    log_.write("Inside appDidTerminate and getting the launch date and run time calculation");
    const UsageRecord before = appsData_.get(name);
    UsageRecord record = before;
    const auto launch = record.launchTime().value_or(0);
    log_.write("appDidTerminate: launchTime: " + std::to_string(launch));
    log_.write("appDidTerminate: " + name + " Launch on " + std::to_string(launch));
    const double ended = platform_.clock.now();
    const auto lastUsed = nowSeconds();
    const auto run = usage::terminate(record, ended, lastUsed);
    log_.write("appDidTerminate: sessionRunTime " + std::to_string(run.sessionRunTime));
    commit(name, before, record, usage::Change{usage::Change::Termination{ended, lastUsed}});
    log_.write("appDidTerminate: " + name +
               " closed at (Unix epoch): " + std::to_string(nowSeconds()));
}

std::vector<RunningApplication> AppMonitor::runningMeteredApplications() {
    auto applications = platform_.workspace.runningApplications();
    std::erase_if(applications, [this](const RunningApplication& application) {
        return !application.localizedName || !isMonitored(*application.localizedName);
    });
    return applications;
}

void AppMonitor::checkAlreadyRunningApps() {
    log_.write("Inside checkAlreadyRunningApps");
    for (const RunningApplication& application : runningMeteredApplications()) {
        const std::string& name = *application.localizedName;
        log_.write("checkAlreadyRunningApps: " + name + " is already running");
        UsageRecord before = appsData_.get(name);
        UsageRecord record = before;
        if (auto recorded = record.launchTime()) {
            log_.write("LAUNCH_TIME exists with value: " + std::to_string(*recorded));
            const double now = platform_.clock.now();
            const auto carried = usage::carryIntoToday(record, *recorded, now);
            platform_.printed.write(usage::carriedText(carried));
            // Cleared meanwhile by a report, the file's record is left: the sweep after its
            // reset counts this one.
            commit(name, before, record, usage::Change{usage::Change::Carry{now}});
        } else {
            log_.write("LAUNCH_TIME key not found in appData for app");
            const double started = getLaunchTimeForProcess(application.processIdentifier);
            log_.write("launchTime value: " + calendar::utcText(started));
            const auto since = usage::startRunning(record, started, platform_.clock.now());
            platform_.printed.write(usage::carriedText(since));
            const auto launched = record.launchTime().value_or(0);
            appsData_.put(name, std::move(record));
            countLaunch(name, application, Stamped{std::move(before), launched});
        }
    }
}

void AppMonitor::checkAlreadyRunningAppsAndUpdatePlist() {
    log_.write("Inside checkAlreadyRunningAppsAndUpdatePlist");
    const auto running = runningMeteredApplications();
    if (tableScope_ == UsageTableScope::RunningApplications) loadRecordsMissingFor(running);
    for (const RunningApplication& application : running) {
        const std::string& name = *application.localizedName;
        log_.write("checkAlreadyRunningAppsAndUpdatePlist: " + name + " is still running");
        const double now = platform_.clock.now();
        const double fresh = platform_.clock.now();
        const UsageRecord before = appsData_.get(name);
        auto result = usage::settle(before, now, fresh);
        report::logSettlement(log_, result);
        if (result.outcome != usage::Settlement::Outcome::Settled) continue;
        commit(name, before, result.settled, usage::Change{usage::Change::Settle{now, fresh}});
    }
}

std::string AppMonitor::generateAndPostXML() {
    log_.write("Inside generateAndPostXML");
    report::ReportRun run(
        {files_, settings_, platform_.clock, log_, platform_.uploader, platform_.printed},
        appLaunchDataPlistURL, swmPostDataURL);
    return run.run([this] {
        checkAlreadyRunningAppsAndUpdatePlist();
        // The report is built from the file and clears what it sent: the table's figures are
        // done with, and holding them through the upload would double the run's memory. A
        // monitor loads its table again on the reset notification.
        appsData_.replace({});
    });
}

std::optional<std::string> AppMonitor::getAppDefinitionId(const std::string& name) {
    return files_.getAppDefinitionId(appRuleMappingDataURL, name);
}

void AppMonitor::reloadUsageTable() {
    if (tableScope_ == UsageTableScope::AllRecords) {
        appsData_.replace(files_.loadAppLaunchDataToUpdate(appLaunchDataPlistURL));
        return;
    }
    // At 10,000 records the whole table is megabytes, of which a report run needs a few. The
    // file is read even when none of them runs, as every load of the table reads it.
    const auto running = namesOf(runningMeteredApplications());
    appsData_.replace(files_.loadAppLaunchDataToUpdate(appLaunchDataPlistURL, &running));
}

void AppMonitor::loadRecordsMissingFor(const std::vector<RunningApplication>& applications) {
    auto missing = namesOf(applications);
    appsData_.inspect([&](const UsageRecords& records) {
        std::erase_if(missing, [&](const std::string& name) { return records.count(name) > 0; });
    });
    // Started since the table was loaded: their records are read from the file now.
    if (missing.empty()) return;
    for (auto& [name, record] : files_.loadAppLaunchDataToUpdate(appLaunchDataPlistURL, &missing))
        appsData_.put(name, std::move(record));
}

double AppMonitor::getLaunchTimeForProcess(std::int32_t pid) {
    log_.write("getLaunchTimeForProcess");
    return platform_.processes.startTime(pid).value_or(platform_.clock.now());
}

void AppMonitor::commit(const std::string& name, const UsageRecord& before,
                        const UsageRecord& record, const usage::Change& change) {
    appsData_.put(name, record);
    updateMeteringData(name, record, store::RecordChange{before, change});
}

}  // namespace tallyvane
