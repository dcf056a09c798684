// The one place where tallyvanectl leans on the report's own steps: the settlement of running
// applications (as AppMonitor::checkAlreadyRunningAppsAndUpdatePlist does it) and the document
// (as report::buildAndPostReport builds it), with the file writes kept in memory.
#include "ReportPreview.h"

#include <algorithm>

#include "platform/Clock.h"
#include "platform/linux/LinuxPlatform.h"
#include "plist/PlistFile.h"
#include "report/Settlement.h"
#include "report/UsageReport.h"
#include "store/MeteringFiles.h"

namespace tallyvane::ctl {

std::optional<std::string> previewReport(const std::string& dataFolder) {
    const std::string launchDataPath = dataFolder + "/SoftwareMetering/AppLaunchData.plist";
    auto root = plist::readFile(launchDataPath);
    plist::Dict* launchData = root ? plist::asDict(*root) : nullptr;
    if (launchData == nullptr) return std::nullopt;

    // What the report run's AppMonitor holds after its creation: the metered list, the rule
    // mapping it writes to AppRuleData.plist, and the usage table.
    const auto rules = store::readRuleData(launchDataPath);
    UsageRecords table = store::loadAppLaunchDataToUpdate(launchDataPath);
    if (rules) {
        auto mainLoop = linux_platform::makeMainLoop();
        auto workspace = linux_platform::makeWorkspace(
            *mainLoop, {.events = linux_platform::ProcessEvents::None});
        for (const auto& application : workspace->runningApplications()) {
            if (!application.localizedName) continue;
            const std::string& name = *application.localizedName;
            if (std::ranges::find(rules->monitoredApps, name) == rules->monitoredApps.end())
                continue;
            const auto settled = report::settleRunningRecord(table[name], systemClock());
            if (!settled) continue;
            table[name] = *settled;
            // saveAppsData: the record under the name's app definition id, when the file has one.
            const auto rule = rules->appRuledata.find(name);
            const std::string* id =
                rule == rules->appRuledata.end() ? nullptr : plist::asString(rule->second);
            if (id != nullptr && launchData->count(*id)) (*launchData)[*id] = *settled;
        }
    }
    return report::usageReport(report::readAccountValues(), *launchData, report::readAgentValues());
}

}  // namespace tallyvane::ctl
