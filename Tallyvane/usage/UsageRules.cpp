#include "usage/UsageRules.h"

#include <charconv>

#include "calendar/Calendar.h"

namespace tallyvane::usage {
namespace {

// x + y, or nothing where the sum leaves the signed 64-bit range.
std::optional<std::int64_t> checkedAdd(std::int64_t x, std::int64_t y) {
    std::int64_t sum = 0;
    if (__builtin_add_overflow(x, y, &sum)) return std::nullopt;
    return sum;
}

// The first second of the local day holding now (0 where the calendar has no answer).
std::int64_t startOfToday(double now) {
    const auto start = calendar::startOfDay(now);
    return start ? secondsOf(*start) : 0;
}

}  // namespace

std::int64_t secondsOf(double instant) {
    return calendar::wholeSeconds(instant).value_or(0);
}

void stampLaunch(UsageRecord& record, std::int64_t now) {
    record.set(key::kLaunchTime, now);
}

void countLaunch(UsageRecord& record, const std::string& name, const std::string& version,
                 std::int64_t now) {
    const std::int64_t count = record.totalRunCount().value_or(0);
    record.set(key::kTotalRunCount, checkedAdd(count, 1).value_or(count));
    record.set(key::kProductName, name);
    record.set(key::kProductVersion, version);
    record.set(key::kFileVersion, version);
    record.set(key::kLastUsed, now);
}

Termination terminate(UsageRecord& record, double now, std::int64_t lastUsed) {
    const std::int64_t launchTime = record.launchTime().value_or(0);
    // A clock reading that leaves 64 bits counts as no run time rather than an overflow.
    const std::int64_t session = secondsOf(now - static_cast<double>(launchTime));
    if (launchTime == 0) {
        record.set(key::kTotalRunTime, std::int64_t{0});
    } else {
        const std::int64_t total = record.totalRunTime().value_or(0);
        record.set(key::kTotalRunTime, checkedAdd(total, session).value_or(total));
    }
    record.set(key::kLastUsed, lastUsed);
    return {launchTime, session};
}

CarriedLaunch carryIntoToday(UsageRecord& record, std::int64_t launchTime, double now) {
    const double launch = static_cast<double>(launchTime);
    if (calendar::isSameDay(launch, now)) return CarriedLaunch::Today;
    const auto yesterday = calendar::addDays(now, -1);
    if (yesterday && calendar::startOfDay(now) && calendar::isSameDay(launch, *yesterday)) {
        record.set(key::kLaunchTime, startOfToday(now));
        return CarriedLaunch::Yesterday;
    }
    return CarriedLaunch::Older;
}

const char* carriedText(CarriedLaunch carried) {
    switch (carried) {
        case CarriedLaunch::Today:
            return "Launch date is today.";
        case CarriedLaunch::Yesterday:
            return "Launch date is yesterday. Updating to start of today.";
        case CarriedLaunch::Older:
            break;
    }
    return "Launch date is older than yesterday.";
}

CarriedLaunch startRunning(UsageRecord& record, double start, double now) {
    const std::int64_t startSeconds = secondsOf(start);
    if (calendar::isSameDay(static_cast<double>(startSeconds), now)) {
        record.set(key::kLaunchTime, startSeconds);
        return CarriedLaunch::Today;
    }
    record.set(key::kLaunchTime, startOfToday(now));
    return CarriedLaunch::Older;
}

Settlement settle(const UsageRecord& record, double now, double fresh) {
    Settlement result;
    const auto launch = record.anyNumber(key::kLaunchTime);
    if (!launch) return result;
    result.launch = *launch;
    const double L = *launch;
    const auto endOfDay = calendar::endOfDay(L);
    const auto lastUsed = endOfDay ? calendar::wholeSeconds(*endOfDay) : std::nullopt;
    if (!lastUsed) {
        result.outcome = Settlement::Outcome::NoLaunchDay;
        return result;
    }
    result.lastUsed = *lastUsed;
    result.runTime = *endOfDay - L;
    const auto todayStart = calendar::startOfDay(fresh);
    const auto launchTime = todayStart ? calendar::wholeSeconds(*todayStart) : std::nullopt;
    if (!launchTime) {
        result.outcome = Settlement::Outcome::NoToday;
        return result;
    }
    result.outcome = Settlement::Outcome::Settled;
    result.settled = record;
    // The calendar yields no count for instants it cannot place; the count is then 0.
    result.settled.set(key::kRunningNoOfDays, calendar::wholeDaysBetween(L, now).value_or(0));
    result.settled.set(key::kLastUsed, *lastUsed);
    result.settled.set(key::kTotalRunTime,
                       L == 0 ? plist::Value(std::int64_t{0}) : plist::Value(result.runTime));
    result.settled.set(key::kLaunchTime, *launchTime);
    return result;
}

void removeReported(UsageRecord& current, const UsageRecordView& reported) {
    for (std::string_view key : UsageRecord::kUsageKeys) {
        const auto was = reported.fields().find(key);
        const auto now = current.fields().find(key);
        if (was == reported.fields().end() || now == current.fields().end()) continue;
        if (now->second == was->second) {
            current.erase(key);
            continue;
        }
        const bool figure = key == key::kTotalRunCount || key == key::kTotalRunTime;
        if (!figure) continue;
        const auto wasInteger = reported.integer(key), nowInteger = current.integer(key);
        if (wasInteger && nowInteger) {
            std::int64_t grown = 0;
            // Restarted since (or a difference beyond 64 bits): the new figure stands.
            if (*nowInteger < *wasInteger ||
                __builtin_sub_overflow(*nowInteger, *wasInteger, &grown))
                continue;
            if (grown == 0)
                current.erase(key);
            else
                current.set(key, plist::Value(grown));
            continue;
        }
        const auto wasReal = reported.anyNumber(key), nowReal = current.anyNumber(key);
        if (!wasReal || !nowReal || *nowReal < *wasReal) continue;
        if (*nowReal == *wasReal)
            current.erase(key);
        else
            current.set(key, plist::Value(*nowReal - *wasReal));
    }
}

std::string shortestDecimal(double value) {
    char text[64];
    const auto result = std::to_chars(text, text + sizeof text, value);
    std::string out(text, result.ptr);
    if (out.find_first_of(".en") == std::string::npos) out += ".0";  // "e", "inf", "nan" stay
    return out;
}

}  // namespace tallyvane::usage
