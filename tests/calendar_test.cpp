#include "calendar/Calendar.h"

#include <gtest/gtest.h>

#include <functional>
#include <iterator>
#include <limits>
#include <tuple>

#include "support/TimeZone.h"

namespace tallyvane::calendar {
namespace {

using Zone = tallyvane::test::TimeZone;

// Every answer as a number: days and flags too, so that one table holds them all.
std::optional<double> number(std::optional<std::int64_t> n) {
    return n ? std::optional<double>(double(*n)) : std::nullopt;
}

TEST(Calendar, LocalDaysAcrossOffsetChanges) {
    const char *ny = "America/New_York", *adelaide = "Australia/Adelaide";
    // 23:30 EDT on May 1 is already May 2 in UTC, yet it is the local yesterday of May 2 10:00.
    const double lateLaunch = 1714620600.0, morning = 1714658400.0;
    const std::tuple<const char*, std::function<std::optional<double>()>, double> rows[] = {
        // 2024-03-10: clocks go from 02:00 EST to 03:00 EDT; the day has 23 hours.
        {ny, [] { return startOfDay(1710079200.0); }, 1710046800.0},     // 10:00 EDT -> 00:00 EST
        {ny, [] { return addDays(1710165600.0, -1); }, 1710079200.0},    // Mar 11 -> Mar 10 10:00
        {ny, [] { return addDays(1710165600.25, -1); }, 1710079200.25},  // the fraction is kept
        {ny, [] { return addDays(1709969400.0, 1); }, 1710054000.0},     // 02:30 in the gap: 03:00
        {ny, [] { return endOfDay(1710079200.0); }, 1710129599.0},       // 23:59:59 EDT
        {ny, [] { return addDays(1730525400.0, 1); }, 1730611800.0},     // Nov 3 01:30: first (EDT)
        // 09:59:59 EDT on Mar 12 is three calendar days after 10:00 EST on Mar 9 one second on.
        {ny, [] { return number(wholeDaysBetween(1709996400.0, 1710252000.0 - 1)); }, 2},
        {ny, [] { return number(wholeDaysBetween(1709996400.0, 1710252000.0)); }, 3},
        {ny, [] { return number(wholeDaysBetween(1710252000.0 - 1, 1709996400.0)); }, -2},
        {ny, [&] { return number(isSameDay(lateLaunch, morning)); }, 0},
        {ny, [&] { return number(isSameDay(lateLaunch, *addDays(morning, -1))); }, 1},
        {"Asia/Kolkata", [] { return startOfDay(1714599000.0); }, 1714588200.0},  // UTC: May 1
        // 2024-10-06: 02:00 ACST -> 03:00 ACDT (+09:30 -> +10:30).
        {adelaide, [] { return startOfDay(1728145800.0); }, 1728138600.0},
        {adelaide, [] { return endOfDay(1728145800.0); }, 1728221399.0},
        {adelaide, [] { return addDays(1728061200.0, 1); }, 1728145800.0},  // 02:30 gap -> 03:00
        // 2018-11-04 began at 01:00 in Sao Paulo: midnight was skipped.
        {"America/Sao_Paulo", [] { return startOfDay(1541340000.0); }, 1541300400.0},
        {"America/Sao_Paulo", [] { return addDays(1541300400.0 - 86400, 1); }, 1541300400.0},
        {"America/Sao_Paulo", [] { return addDays(1541300400.0 - 3600, 1); }, 1541379600.0},
        {"America/Sao_Paulo", [] { return endOfDay(1541340000.0); }, 1541383199.0}};
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        const auto& [zone, answer, expected] = rows[i];
        Zone set(zone);
        EXPECT_EQ(answer(), expected) << "row " << i << " in " << zone;
    }
    EXPECT_EQ(utcText(lateLaunch), "2024-05-02 03:30:00 +0000");
}

TEST(Calendar, WhatTheCalendarCannotAnswer) {
    Zone zone("UTC");
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    for (double t : {nan, inf, -inf, 1e300, -1e18}) {
        EXPECT_FALSE(startOfDay(t)) << t;
        EXPECT_FALSE(endOfDay(t)) << t;
        EXPECT_FALSE(addDays(t, 1)) << t;
        EXPECT_FALSE(wholeDaysBetween(0, t)) << t;
        EXPECT_FALSE(isSameDay(t, t)) << t;
    }
    EXPECT_EQ(startOfDay(-0.5), -86400.0);
    EXPECT_EQ(wholeDaysBetween(0, 1e15), std::nullopt);  // more days than an int holds

    EXPECT_EQ(wholeSeconds(-1.9), -1);
    EXPECT_EQ(wholeSeconds(-9223372036854775808.0), std::numeric_limits<std::int64_t>::min());
    EXPECT_EQ(wholeSeconds(9223372036854775808.0), std::nullopt);

    EXPECT_EQ(utcText(-0.5), "1969-12-31 23:59:59 +0000");
    EXPECT_EQ(utcText(1714694399.9), "2024-05-02 23:59:59 +0000");
    EXPECT_EQ(utcText(253402300800.0), "10000-01-01 00:00:00 +0000");
}

}  // namespace
}  // namespace tallyvane::calendar
