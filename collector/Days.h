#pragma once
// A report's rows folded into days of use per app definition.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "Report.h"

namespace tallyvane::collector {

// The use of one app definition on one day, as one report tells it.
struct DayUse {
    std::string appDefinitionId;
    std::string day;  // YYYY-MM-DD in the fleet's time zone
    std::int64_t launches = 0;
    std::int64_t runTime = 0;
    std::int64_t lastUsed = 0;
    std::string productName, fileVersion, productVersion;  // of the day's latest row
    bool operator==(const DayUse&) const = default;
};

// Whether zone is "UTC" or a zone file under /usr/share/zoneinfo.
bool isKnownTimeZone(const std::string& zone);

// Makes zone (an IANA name such as "Europe/Berlin") the process's local time zone; false when
// the system does not know it. Call before any thread starts.
bool useTimeZone(const std::string& zone);

// The local calendar day of t (seconds since 1970) as YYYY-MM-DD; nothing outside the calendar.
std::optional<std::string> localDay(std::int64_t t);

// An extra-day row follows a row of the same app definition whose LAST_USED is one day less,
// with count 1 and time 86400: a further day of a long run, not a launch.
bool isExtraDay(const UsageRow& previous, const UsageRow& row);

// The rows per app definition and day, in the order each pair first appears; a row whose day
// cannot be told is left out.
std::vector<DayUse> foldDays(const std::vector<UsageRow>& rows);

}  // namespace tallyvane::collector
