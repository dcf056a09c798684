#pragma once
// Calendar questions in the user's current time zone (the C library's local time, TZ).
#include <cstdint>
#include <optional>
#include <string>

namespace tallyvane::calendar {

// Instants are seconds since 1970-01-01 00:00:00 UTC, with fractions. An instant that is not
// finite or lies more than 1e17 seconds from 1970 has no local date: the calendar answers nothing.

// The first moment of the local calendar day that holds t; nothing when t lies outside what
// the calendar can represent.
std::optional<double> startOfDay(double t);
// t moved by days calendar days, keeping its local time of day (the next existing time when
// that does not exist on the target day, the first when it occurs twice).
std::optional<double> addDays(double t, int days);
// Whether a and b fall on the same local calendar day.
bool isSameDay(double a, double b);
// The largest number of calendar days that can be added to from without passing to
// (negative when from lies after to, counting back without passing to); nothing when the
// calendar cannot answer or the distance exceeds the int range of days.
std::optional<std::int64_t> wholeDaysBetween(double from, double to);
// 23:59:59 on the local calendar day of t (the next existing time when it does not exist, the
// first when it occurs twice); nothing when the calendar cannot answer.
std::optional<double> endOfDay(double t);

// Whole seconds, the fraction cut off toward zero; nothing outside the signed 64-bit range or
// for a value that is not finite.
std::optional<std::int64_t> wholeSeconds(double t);

// "2024-05-02 23:59:59 +0000": the instant as a date in UTC, to the second (cut toward the
// earlier second). An instant without a date is shown as its number of seconds instead.
std::string utcText(double t);

}  // namespace tallyvane::calendar
