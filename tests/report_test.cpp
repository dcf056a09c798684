// The usage report, byte for byte.
#include <gtest/gtest.h>

#include <limits>

#include "report/UsageReport.h"
#include "support/ChildProcess.h"

namespace tallyvane::test {
namespace {

using plist::Dict;
using plist::Value;

std::string golden(const std::string& name) {
    return slurp(std::string(TALLYVANE_SOURCE_DIR) + "/tests/golden/" + name);
}

const report::AccountValues kAccount{"mac-01", "WORKGROUP"};
const report::AgentValues kAgent{"mac-01",
                                 "WORKGROUP-NB",
                                 "7",
                                 "Acme & Sons",
                                 "MSP \"One\"",
                                 std::nullopt,
                                 "mac-01.example.com",
                                 std::nullopt,
                                 "3"};

// A record with the figures every row needs, and more.
Dict used(const char* id, Value lastUsed, int count, Value runTime, Dict more = {}) {
    more.emplace("AppDefinitionId", id);
    more.emplace("LAST_USED", std::move(lastUsed));
    more.emplace("TOTAL_RUN_COUNT", count);
    more.emplace("TOTAL_RUN_TIME", std::move(runTime));
    return more;
}

TEST(Report, DocumentsMatchTheGoldenFiles) {
    EXPECT_EQ(report::usageReport(kAccount, {}, kAgent), golden("empty_launch_data.xml"));

    const Dict records{
        {"A0", Dict{{"AppDefinitionId", "100"}}},
        {"A1", used("101", 1714694399, 2, 59.99,
                    {{"FILE_VERSION", "1.2"},
                     {"PRODUCT_NAME", "Tom & \"Jerry\""},
                     {"PRODUCT_VERSION", "1.2"}})},
        {"A2", used("102", 1714694399, 1, -0.5)},
        {"A3", used("103", 1714521599, 1, 50399.0,
                    {{"PRODUCT_NAME", "Editor"},
                     {"FILE_VERSION", "Unknown"},
                     {"PRODUCT_VERSION", "Unknown"},
                     {"RUNNING_NO_OF_DAYS", 3}})},
        {"A4", Dict{{"AppDefinitionId", "104"}, {"TOTAL_RUN_COUNT", 3}, {"PRODUCT_NAME", "Idle"}}},
        {"A5", used("105", 1714694399, 4, -7.9, {{"PRODUCT_NAME", 42}, {"RUNNING_NO_OF_DAYS", 1}})},
        {"A6", Dict{{"FileName", "NoId.app"}, {"LAST_USED", 5}, {"TOTAL_RUN_COUNT", 1}}},
        {"A7", "not a record"},
        {"A8", used("108", 60.0, 1, 120)},
        // Run times without a 64-bit whole-second value leave their records out.
        {"A9", used("109", 9, 1, std::numeric_limits<double>::quiet_NaN())},
        {"B0", used("110", 9, 1, 1e19)}};
    DroppingLogSink log;
    MemoryLogSink printed;
    const std::string document = report::usageReport(kAccount, records, kAgent, log, printed);
    EXPECT_EQ(printed.lines(),
              (std::vector<std::string>{"updatedLastUsedTime 2: 2024-05-01 23:59:59 +0000",
                                        "updatedLastUsedTime 3: 2024-05-02 23:59:59 +0000"}));
    EXPECT_EQ(document, golden("records.xml"));

    // Extra-day rows stop where LAST_USED would leave the 64-bit range: day 2 fits, day 3 not.
    const auto max = std::numeric_limits<std::int64_t>::max();
    std::string rows;
    report::appendUsageRows(
        rows, {{"P", used("3", max - 86400, 1, 0, {{"RUNNING_NO_OF_DAYS", 5}})}}, log, printed);
    EXPECT_EQ(linesOf(rows).size(), 2u);
    EXPECT_NE(rows.find("LAST_USED=\"" + std::to_string(max) + "\""), std::string::npos);
}

}  // namespace
}  // namespace tallyvane::test
