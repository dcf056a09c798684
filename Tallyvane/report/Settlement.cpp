#include "report/Settlement.h"

#include "calendar/Calendar.h"

namespace tallyvane::report {

void logSettlement(LogSink& log, const usage::Settlement& result) {
    using Outcome = usage::Settlement::Outcome;
    if (result.outcome == Outcome::NoLaunchTime) {
        log.write("Error: Could not read LAUNCH_TIME from appData.");
        return;
    }
    log.write("launchDate: : " + calendar::utcText(result.launch));
    const auto unsettled = [&](const std::string& what) {
        log.write("checkAlreadyRunningAppsAndUpdatePlist: " + what +
                  " has no calendar day; the record is left unsettled");
    };
    if (result.outcome == Outcome::NoLaunchDay) {
        unsettled("LAUNCH_TIME " + usage::shortestDecimal(result.launch));
        return;
    }
    log.write("UpdateLastUsedTime: " + std::to_string(result.lastUsed));
    log.write("totalRunTime: : " + usage::shortestDecimal(result.runTime));
    if (result.outcome == Outcome::NoToday) unsettled("today");
}

}  // namespace tallyvane::report
