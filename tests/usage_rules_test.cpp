// The usage record's rules as pure functions: counts and run times at the edges of 64 bits,
// and the three ways a figure is read.
#include <gtest/gtest.h>

#include <limits>

#include "support/TimeZone.h"
#include "usage/UsageRules.h"

namespace tallyvane::test {
namespace {

using plist::Dict;
using plist::Value;
constexpr auto kMax = std::numeric_limits<std::int64_t>::max();

TEST(UsageRules, FiguresThatWouldOverflowKeepTheirValueAndOtherKeysStay) {
    UsageRecord record(Dict{{"TOTAL_RUN_COUNT", kMax}, {"AgentKey", "kept"}});
    usage::countLaunch(record, "Editor", "2.1", 1000);
    EXPECT_EQ(record.fields(), (Dict{{"TOTAL_RUN_COUNT", kMax},
                                     {"AgentKey", "kept"},
                                     {"PRODUCT_NAME", "Editor"},
                                     {"PRODUCT_VERSION", "2.1"},
                                     {"FILE_VERSION", "2.1"},
                                     {"LAST_USED", 1000}}));
    record.set(key::kTotalRunCount, "many");
    usage::countLaunch(record, "Editor", "2.1", 1000);
    EXPECT_EQ(record.totalRunCount(), 1);

    // A run added to a total already at the top of the range leaves the total alone.
    record.set(key::kLaunchTime, 1000);
    record.set(key::kTotalRunTime, kMax - 10);
    const auto run = usage::terminate(record, 1060.9, 1060);
    EXPECT_EQ(run.sessionRunTime, 60);
    EXPECT_EQ(record.totalRunTime(), kMax - 10);
    record.set(key::kTotalRunTime, 500.0);  // a whole real reads as its integer
    usage::terminate(record, 1060.9, 1060);
    EXPECT_EQ(record.fields().at("TOTAL_RUN_TIME"), Value(std::int64_t{560}));
    EXPECT_EQ(record.launchTime(), 1000);  // left for the next termination
    // An end without a launch moment (a report took it) sets the run time to nothing.
    UsageRecord unlaunched(Dict{{"TOTAL_RUN_TIME", 40}});
    EXPECT_EQ(usage::terminate(unlaunched, 1060.9, 1060).launchTime, 0);
    EXPECT_EQ(unlaunched.totalRunTime(), 0);

    // What a report took is taken away unless the difference leaves the range.
    UsageRecord grown(Dict{{"TOTAL_RUN_COUNT", kMax}, {"TOTAL_RUN_TIME", 90}});
    const Dict reported{{"TOTAL_RUN_COUNT", -1}, {"TOTAL_RUN_TIME", 30}};
    usage::removeReported(grown, UsageRecordView(reported));
    EXPECT_EQ(grown.fields(), (Dict{{"TOTAL_RUN_COUNT", kMax}, {"TOTAL_RUN_TIME", 60}}));
}

TEST(UsageRules, EachReaderTakesTheNumbersItCanHoldExactly) {
    const std::int64_t beyondDouble = (std::int64_t{1} << 53) + 1;
    const UsageRecord record(Dict{{"int", beyondDouble},
                                  {"whole", 60.0},
                                  {"half", 60.5},
                                  {"huge", 1e300},
                                  {"max", kMax},
                                  {"text", "60"}});
    struct Row {
        const char* key;
        std::optional<std::int64_t> integer;
        std::optional<double> exact, any;
    };
    const Row rows[] = {{"int", beyondDouble, std::nullopt, double(beyondDouble)},
                        {"whole", 60, 60.0, 60.0},
                        {"half", std::nullopt, 60.5, 60.5},
                        {"huge", std::nullopt, 1e300, 1e300},
                        {"max", kMax, std::nullopt, double(kMax)},
                        {"text", std::nullopt, std::nullopt, std::nullopt},
                        {"absent", std::nullopt, std::nullopt, std::nullopt}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.key);
        EXPECT_EQ(record.integer(row.key), row.integer);
        EXPECT_EQ(record.exactReal(row.key), row.exact);
        EXPECT_EQ(record.anyNumber(row.key), row.any);
    }
}

// Found running at noon on the day the clocks went forward (yesterday began 36 hours before).
TEST(UsageRules, LaunchesFoundRunningMoveByTheLocalCalendar) {
    TimeZone zone("America/New_York");
    const double now = local("2024-03-10 12:00:00");
    const std::int64_t today = local("2024-03-10 00:00:00");
    using enum usage::CarriedLaunch;
    struct Row {
        bool recorded;  // LAUNCH_TIME held (carried) or the process's start (started)
        double moment;
        usage::CarriedLaunch carried;
        std::int64_t launchTime;
    } rows[] = {
        {true, double(today), Today, today},
        {true, double(local("2024-03-09 22:00:00")), Yesterday, today},
        {true, double(local("2024-03-09 00:00:00")), Yesterday, today},
        {true, double(local("2024-03-08 23:59:59")), Older, local("2024-03-08 23:59:59")},
        {true, double(local("2024-03-11 01:00:00")), Older, local("2024-03-11 01:00:00")},
        {false, local("2024-03-10 09:15:30") + 0.7, Today, local("2024-03-10 09:15:30")},
        {false, double(today), Today, today},
        {false, double(local("2024-03-09 23:59:59")), Older, today},
        {false, 1e300, Older, today},  // no start the range holds
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::to_string(row.moment));
        const auto launch = static_cast<std::int64_t>(row.recorded ? row.moment : 0);
        UsageRecord record(row.recorded ? Dict{{"LAUNCH_TIME", launch}} : Dict{});
        const auto carried = row.recorded ? usage::carryIntoToday(record, launch, now)
                                          : usage::startRunning(record, row.moment, now);
        EXPECT_EQ(carried, row.carried);
        EXPECT_EQ(record.integer("LAUNCH_TIME"), row.launchTime);
    }
    EXPECT_STREQ(usage::carriedText(Older), "Launch date is older than yesterday.");
}

// A report settling a run: charged to the end of its launch day (a day after the clocks went
// forward is 23 hours long), restarted at the start of the day of the clock read at the end.
TEST(UsageRules, SettlementChargesTheLaunchDay) {
    TimeZone zone("America/New_York");
    const double now = local("2024-03-11 00:30:00");
    const std::int64_t today = local("2024-03-11 00:00:00");
    const double fresh = 86400.0 * 20000 + 0.5;  // 2024-10-03 20:00:00.5 in New York
    const std::int64_t freshDay = local("2024-10-03 00:00:00");
    struct Row {
        Dict record;
        double fresh;
        std::optional<Dict> settled;
    } rows[] = {
        {{{"LAUNCH_TIME", local("2024-03-10 10:00:00")}, {"TOTAL_RUN_TIME", 3600}, {"X", "kept"}},
         now,
         Dict{{"LAUNCH_TIME", today},
              {"TOTAL_RUN_TIME", 50399.0},
              {"LAST_USED", local("2024-03-10 23:59:59")},
              {"RUNNING_NO_OF_DAYS", 0},
              {"X", "kept"}}},
        // Three days ago, stored as a real: two whole days, the launch day charged the same.
        {{{"LAUNCH_TIME", double(local("2024-03-08 10:00:00"))}},
         now,
         Dict{{"LAUNCH_TIME", today},
              {"TOTAL_RUN_TIME", 50399.0},
              {"LAST_USED", local("2024-03-08 23:59:59")},
              {"RUNNING_NO_OF_DAYS", 2}}},
        {{{"LAUNCH_TIME", local("2024-03-10 23:00:00")}},
         fresh,
         Dict{{"LAUNCH_TIME", freshDay},
              {"TOTAL_RUN_TIME", 3599.0},
              {"LAST_USED", local("2024-03-10 23:59:59")},
              {"RUNNING_NO_OF_DAYS", 0}}},
        // A launch moment of 0 (1969-12-31 19:00 here) is charged nothing; its days still count.
        {{{"LAUNCH_TIME", std::int64_t{0}}},
         now,
         Dict{{"LAUNCH_TIME", today},
              {"TOTAL_RUN_TIME", std::int64_t{0}},
              {"LAST_USED", 17999},
              {"RUNNING_NO_OF_DAYS", 19793}}},
        {{{"LAUNCH_TIME", "12"}}, now, std::nullopt},
        {{{"LAUNCH_TIME", true}}, now, std::nullopt},
        {{{"LAUNCH_TIME", 1e300}}, now, std::nullopt},
        {{}, now, std::nullopt},
    };
    for (const Row& row : rows) {
        auto result = usage::settle(UsageRecord(row.record), now, row.fresh);
        std::optional<Dict> settled;
        if (result.outcome == usage::Settlement::Outcome::Settled)
            settled = std::move(result.settled).fields();
        EXPECT_EQ(settled, row.settled);
    }
}

}  // namespace
}  // namespace tallyvane::test
