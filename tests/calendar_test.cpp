#include "calendar/Calendar.h"

#include <gtest/gtest.h>

#include <limits>

#include "support/TimeZone.h"

namespace tallyvane::calendar {
namespace {

using Zone = tallyvane::test::TimeZone;

TEST(Calendar, NewYorkAcrossDaylightSaving) {
    Zone zone("America/New_York");
    // 2024-03-10: clocks go from 02:00 EST to 03:00 EDT; the day has 23 hours.
    EXPECT_EQ(startOfDay(1710079200.0), 1710046800.0);     // 10:00 EDT -> 00:00 EST
    EXPECT_EQ(addDays(1710165600.0, -1), 1710079200.0);    // Mar 11 10:00 -> Mar 10 10:00
    EXPECT_EQ(addDays(1710165600.25, -1), 1710079200.25);  // the fraction is kept
    EXPECT_EQ(addDays(1709969400.0, 1), 1710054000.0);     // 02:30 lands in the gap: 03:00
    EXPECT_EQ(endOfDay(1710079200.0), 1710129599.0);       // 23:59:59 EDT
    // 2024-11-03: 01:30 occurs twice; the first (EDT) is taken.
    EXPECT_EQ(addDays(1730525400.0, 1), 1730611800.0);

    // 09:59:59 EDT on Mar 12 is three calendar days after 10:00 EST on Mar 9 only one second on.
    EXPECT_EQ(wholeDaysBetween(1709996400.0, 1710252000.0 - 1), 2);
    EXPECT_EQ(wholeDaysBetween(1709996400.0, 1710252000.0), 3);
    EXPECT_EQ(wholeDaysBetween(1710252000.0 - 1, 1709996400.0), -2);

    // 23:30 EDT on May 1 is already May 2 in UTC, yet it is the local yesterday of May 2 10:00.
    const double lateLaunch = 1714620600.0, morning = 1714658400.0;
    EXPECT_FALSE(isSameDay(lateLaunch, morning));
    EXPECT_TRUE(isSameDay(lateLaunch, *addDays(morning, -1)));
    EXPECT_EQ(utcText(lateLaunch), "2024-05-02 03:30:00 +0000");
}

TEST(Calendar, HalfHourOffsets) {
    {
        Zone zone("Asia/Kolkata");
        // 03:00 IST on May 2 is still May 1 in UTC.
        EXPECT_EQ(startOfDay(1714599000.0), 1714588200.0);
    }
    {
        Zone zone("Australia/Adelaide");
        // 2024-10-06: 02:00 ACST -> 03:00 ACDT (+09:30 -> +10:30).
        EXPECT_EQ(startOfDay(1728145800.0), 1728138600.0);
        EXPECT_EQ(endOfDay(1728145800.0), 1728221399.0);
        EXPECT_EQ(addDays(1728061200.0, 1), 1728145800.0);  // 02:30 in the gap -> 03:00
    }
}

TEST(Calendar, MidnightThatDoesNotExist) {
    Zone zone("America/Sao_Paulo");
    // 2018-11-04 began at 01:00: midnight was skipped.
    EXPECT_EQ(startOfDay(1541340000.0), 1541300400.0);
    EXPECT_EQ(addDays(1541300400.0 - 86400, 1), 1541300400.0);  // Nov 3 00:00 -> Nov 4 01:00
    EXPECT_EQ(addDays(1541300400.0 - 3600, 1), 1541300400.0 + 22 * 3600);  // 23:00 -> 23:00
    EXPECT_EQ(endOfDay(1541340000.0), 1541300400.0 + 22 * 3600 + 3599);
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
