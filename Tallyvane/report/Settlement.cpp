#include "report/Settlement.h"

#include <charconv>
#include <cstdint>

#include "calendar/Calendar.h"
#include "lvornutils/Log.h"
#include "plist/Value.h"

namespace tallyvane::report {

std::string shortestDecimal(double value) {
    char text[64];
    const auto result = std::to_chars(text, text + sizeof text, value);
    std::string out(text, result.ptr);
    if (out.find_first_of(".en") == std::string::npos) out += ".0";  // "e", "inf", "nan" stay
    return out;
}

std::optional<UsageRecord> settleRunningRecord(const UsageRecord& record, const Clock& clock) {
    return settleRunningRecord(record, clock.now(), clock);
}

std::optional<UsageRecord> settleRunningRecord(const UsageRecord& record, double now,
                                               const Clock& clock) {
    const auto launch = plist::realFor(record, "LAUNCH_TIME");
    if (!launch) {
        VornLog("Error: Could not read LAUNCH_TIME from appData.");
        return std::nullopt;
    }
    const double L = *launch;
    // The calendar yields no count for instants it cannot place; the count is then 0.
    const std::int64_t runningDays = calendar::wholeDaysBetween(L, now).value_or(0);
    VornLog("launchDate: : " + calendar::utcText(L));

    const auto endOfDay = calendar::endOfDay(L);
    const auto lastUsed = endOfDay ? calendar::wholeSeconds(*endOfDay) : std::nullopt;
    if (!lastUsed) {
        // A launch instant without a calendar day cannot be charged: keep the record as it is.
        VornLog("checkAlreadyRunningAppsAndUpdatePlist: LAUNCH_TIME " + shortestDecimal(L) +
                " has no calendar day; the record is left unsettled");
        return std::nullopt;
    }
    VornLog("UpdateLastUsedTime: " + std::to_string(*lastUsed));
    const double runTime = *endOfDay - L;
    VornLog("totalRunTime: : " + shortestDecimal(runTime));

    const double fresh = clock.now();
    const auto todayStart = calendar::startOfDay(fresh);
    const auto launchTime = todayStart ? calendar::wholeSeconds(*todayStart) : std::nullopt;
    if (!launchTime) {
        VornLog("checkAlreadyRunningAppsAndUpdatePlist: the current time " +
                shortestDecimal(fresh) + " has no calendar day; the record is left unsettled");
        return std::nullopt;
    }

    UsageRecord settled = record;
    settled.insert_or_assign("RUNNING_NO_OF_DAYS", plist::Value(runningDays));
    settled.insert_or_assign("LAST_USED", plist::Value(*lastUsed));
    settled.insert_or_assign("TOTAL_RUN_TIME",
                             L == 0 ? plist::Value(std::int64_t{0}) : plist::Value(runTime));
    settled.insert_or_assign("LAUNCH_TIME", plist::Value(*launchTime));
    return settled;
}

}  // namespace tallyvane::report
