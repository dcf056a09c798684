#include "Days.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>

namespace tallyvane::collector {

constexpr std::int64_t kDay = 86400;

// Hostile figures stop at the 64-bit limits rather than wrap.
void addTo(std::int64_t& total, std::int64_t value) {
    if (__builtin_add_overflow(total, value, &total)) total = value < 0 ? INT64_MIN : INT64_MAX;
}

bool isKnownTimeZone(const std::string& zone) {
    if (zone == "UTC") return true;
    if (zone.empty() || zone.find("..") != std::string::npos || zone.front() == '/') return false;
    std::error_code error;
    return std::filesystem::is_regular_file("/usr/share/zoneinfo/" + zone, error);
}

bool useTimeZone(const std::string& zone) {
    // A name that is not a file under zoneinfo would silently mean UTC to the C library.
    if (!isKnownTimeZone(zone)) return false;
    setenv("TZ", zone.c_str(), 1);
    tzset();
    return true;
}

std::optional<std::string> localDay(std::int64_t t) {
    // Years beyond four digits have no YYYY-MM-DD form.
    if (t < -62135596800 || t > 253402300799) return std::nullopt;
    const std::time_t when = static_cast<std::time_t>(t);
    std::tm local{};
    if (localtime_r(&when, &local) == nullptr) return std::nullopt;
    char text[40];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d", local.tm_year + 1900, local.tm_mon + 1,
                  local.tm_mday);
    return std::string(text);
}

bool isExtraDay(const UsageRow& previous, const UsageRow& row) {
    return row.appDefinitionId == previous.appDefinitionId && row.runCount == 1 &&
           row.runTime == kDay && previous.lastUsed <= INT64_MAX - kDay &&
           row.lastUsed == previous.lastUsed + kDay;
}

std::vector<DayUse> foldDays(const std::vector<UsageRow>& rows) {
    std::vector<DayUse> days;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const UsageRow& row = rows[i];
        const auto day = localDay(row.lastUsed);
        if (!day) continue;
        const bool extra = i > 0 && isExtraDay(rows[i - 1], row);
        DayUse* use = nullptr;
        for (auto& d : days) {
            if (d.appDefinitionId == row.appDefinitionId && d.day == *day) use = &d;
        }
        if (use == nullptr) {
            use = &days.emplace_back();
            use->appDefinitionId = row.appDefinitionId;
            use->day = *day;
            use->lastUsed = row.lastUsed - 1;  // any row of the day is later
        }
        if (!extra) addTo(use->launches, row.runCount);
        addTo(use->runTime, row.runTime);
        if (row.lastUsed > use->lastUsed) {
            use->lastUsed = row.lastUsed;
            use->productName = row.productName;
            use->fileVersion = row.fileVersion;
            use->productVersion = row.productVersion;
        }
    }
    return days;
}

}  // namespace tallyvane::collector
