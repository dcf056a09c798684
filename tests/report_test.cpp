#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <limits>
#include <map>
#include <memory>

#include "calendar/Calendar.h"
#include "lvornutils/VornUtilMac.h"
#include "report/ReportUpload.h"
#include "report/Settlement.h"
#include "report/UsageReport.h"
#include "support/AgentFixture.h"
#include "support/MgmtServer.h"
#include "support/SettableClock.h"

namespace tallyvane::test {
namespace {

using plist::Dict;
using plist::Value;

class ReportTest : public AgentFixture {};

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

TEST_F(ReportTest, DocumentsMatchTheGoldenFiles) {
    EXPECT_EQ(report::usageReport(kAccount, {}, kAgent), golden("empty_launch_data.xml"));

    const Dict records{
        {"A0", Dict{{"AppDefinitionId", "100"}}},
        {"A1", Dict{{"AppDefinitionId", "101"},
                    {"LAST_USED", 1714694399},
                    {"TOTAL_RUN_COUNT", 2},
                    {"TOTAL_RUN_TIME", 59.99},
                    {"FILE_VERSION", "1.2"},
                    {"PRODUCT_NAME", "Tom & \"Jerry\""},
                    {"PRODUCT_VERSION", "1.2"}}},
        {"A2", Dict{{"AppDefinitionId", "102"},
                    {"LAST_USED", 1714694399},
                    {"TOTAL_RUN_COUNT", 1},
                    {"TOTAL_RUN_TIME", -0.5}}},
        {"A3", Dict{{"AppDefinitionId", "103"},
                    {"LAST_USED", 1714521599},
                    {"TOTAL_RUN_COUNT", 1},
                    {"TOTAL_RUN_TIME", 50399.0},
                    {"PRODUCT_NAME", "Editor"},
                    {"FILE_VERSION", "Unknown"},
                    {"PRODUCT_VERSION", "Unknown"},
                    {"RUNNING_NO_OF_DAYS", 3}}},
        {"A4", Dict{{"AppDefinitionId", "104"}, {"TOTAL_RUN_COUNT", 3}, {"PRODUCT_NAME", "Idle"}}},
        {"A5", Dict{{"AppDefinitionId", "105"},
                    {"LAST_USED", 1714694399},
                    {"TOTAL_RUN_COUNT", 4},
                    {"TOTAL_RUN_TIME", -7.9},
                    {"PRODUCT_NAME", 42},
                    {"RUNNING_NO_OF_DAYS", 1}}},
        {"A6", Dict{{"FileName", "NoId.app"}, {"LAST_USED", 5}, {"TOTAL_RUN_COUNT", 1}}},
        {"A7", "not a record"},
        {"A8", Dict{{"AppDefinitionId", "108"},
                    {"LAST_USED", 60.0},
                    {"TOTAL_RUN_COUNT", 1},
                    {"TOTAL_RUN_TIME", 120}}},
    };
    testing::internal::CaptureStdout();
    const std::string document = report::usageReport(kAccount, records, kAgent);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "updatedLastUsedTime 2: 2024-05-01 23:59:59 +0000\n"
              "updatedLastUsedTime 3: 2024-05-02 23:59:59 +0000\n");
    EXPECT_EQ(document, golden("records.xml"));
    EXPECT_EQ(logMessagesStartingWith(" Total Run count is "),
              (std::vector<std::string>{
                  " Total Run count is  zero , So  is not yet opened",
                  " Total Run count is not zero , So Tom & \"Jerry\" is already opened",
                  " Total Run count is not zero , So  is already opened",
                  " Total Run count is not zero , So Editor is already opened",
                  " Total Run count is not zero , So Editor is already opened",
                  " Total Run count is not zero , So Editor is already opened",
                  " Total Run count is  zero , So Idle is not yet opened",
                  " Total Run count is not zero , So  is already opened",
                  " Total Run count is not zero , So  is already opened",
              }));

    EXPECT_EQ(report::requestPath(kAgent, "WORKGROUP"),
              "/invswmetering?computer=mac-01&domain=WORKGROUP&customerId=7&resourceid=0"
              "&remoffId=3&actionToCall=1");
}

TEST_F(ReportTest, RecordsWithoutAnIntegerFormAreLeftOut) {
    const auto max = std::numeric_limits<std::int64_t>::max();
    const Dict records{
        {"N", Dict{{"AppDefinitionId", "1"},
                   {"LAST_USED", 9},
                   {"TOTAL_RUN_COUNT", 1},
                   {"TOTAL_RUN_TIME", std::numeric_limits<double>::quiet_NaN()}}},
        {"O", Dict{{"AppDefinitionId", "2"},
                   {"LAST_USED", 9},
                   {"TOTAL_RUN_COUNT", 1},
                   {"TOTAL_RUN_TIME", 1e19}}},
        {"P", Dict{{"AppDefinitionId", "3"},
                   {"LAST_USED", max - 86400},
                   {"TOTAL_RUN_COUNT", 1},
                   {"RUNNING_NO_OF_DAYS", 5}}},
    };
    testing::internal::CaptureStdout();
    const std::string rows = [&] {
        std::string out;
        report::appendUsageRows(out, records);
        return out;
    }();
    // Day 2 still fits in 64 bits, day 3 does not.
    EXPECT_EQ(testing::internal::GetCapturedStdout().find("updatedLastUsedTime 3"),
              std::string::npos);
    EXPECT_EQ(rows.find("APP_DEFINITION_ID=\"1\""), std::string::npos);
    EXPECT_EQ(rows.find("APP_DEFINITION_ID=\"2\""), std::string::npos);
    EXPECT_NE(rows.find("LAST_USED=\"" + std::to_string(max) + "\""), std::string::npos);
    EXPECT_EQ(logMessagesStartingWith("generateAndPostXML: ").size(), 3u);
}

// Local time in the zone set by TZ, through the C library directly.
double local(int year, int month, int day, int hour, int minute, int second) {
    std::tm tm{};
    tm.tm_year = year - 1900, tm.tm_mon = month - 1, tm.tm_mday = day;
    tm.tm_hour = hour, tm.tm_min = minute, tm.tm_sec = second, tm.tm_isdst = -1;
    return static_cast<double>(std::mktime(&tm));
}

TEST_F(ReportTest, SettlementChargesTheLaunchDayInThreeZones) {
    struct Case {
        const char* zone;
        int year, month, day;  // the report's day, just after a change of offset where there is one
    };
    for (const Case& c : {Case{"America/New_York", 2024, 3, 11}, Case{"Asia/Kolkata", 2024, 5, 2},
                          Case{"Australia/Adelaide", 2024, 10, 7}}) {
        SCOPED_TRACE(c.zone);
        setenv("TZ", c.zone, 1);
        tzset();
        const double now = local(c.year, c.month, c.day, 0, 30, 0);
        const double today = local(c.year, c.month, c.day, 0, 0, 0);
        SettableClock clock(now);

        const double yesterday10 = local(c.year, c.month, c.day - 1, 10, 0, 0);
        const auto settled =
            report::settleRunningRecord({{"LAUNCH_TIME", static_cast<std::int64_t>(yesterday10)},
                                         {"TOTAL_RUN_TIME", 3600},
                                         {"PRODUCT_NAME", "Editor"}},
                                        clock);
        ASSERT_TRUE(settled);
        const auto lastUsed =
            static_cast<std::int64_t>(local(c.year, c.month, c.day - 1, 23, 59, 59));
        EXPECT_EQ(*settled, (Dict{{"LAUNCH_TIME", static_cast<std::int64_t>(today)},
                                  {"TOTAL_RUN_TIME", 50399.0},
                                  {"LAST_USED", lastUsed},
                                  {"RUNNING_NO_OF_DAYS", 0},
                                  {"PRODUCT_NAME", "Editor"}}));
        EXPECT_EQ(logMessagesStartingWith("UpdateLastUsedTime: ").back(),
                  "UpdateLastUsedTime: " + std::to_string(lastUsed));
        EXPECT_EQ(logMessagesStartingWith("totalRunTime: : ").back(), "totalRunTime: : 50399.0");

        // Three days ago, stored as a real: two whole days, the launch day charged the same.
        const double earlier10 = local(c.year, c.month, c.day - 3, 10, 0, 0);
        const auto older = report::settleRunningRecord({{"LAUNCH_TIME", earlier10}}, clock);
        ASSERT_TRUE(older);
        EXPECT_EQ(older->at("RUNNING_NO_OF_DAYS"), Value(2));
        EXPECT_EQ(older->at("TOTAL_RUN_TIME"), Value(50399.0));
        EXPECT_EQ(older->at("LAST_USED"),
                  Value(static_cast<std::int64_t>(local(c.year, c.month, c.day - 3, 23, 59, 59))));
        EXPECT_EQ(logMessagesStartingWith("launchDate: : ").back(),
                  "launchDate: : " + calendar::utcText(earlier10));
    }
    setenv("TZ", "UTC", 1);
    tzset();
    // The new launch time comes from the clock read at the end, not the report's instant.
    SettableClock clock(86400.0 * 20000 + 0.5);
    const auto epoch =
        report::settleRunningRecord({{"LAUNCH_TIME", 0}}, 86400.0 * 20000 - 1, clock);
    ASSERT_TRUE(epoch);
    EXPECT_EQ(*epoch, (Dict{{"LAUNCH_TIME", std::int64_t{86400} * 20000},
                            {"TOTAL_RUN_TIME", 0},
                            {"LAST_USED", 86399},
                            {"RUNNING_NO_OF_DAYS", 19999}}));

    for (const Value& launch : {Value("12"), Value(true), Value(1e300)}) {
        EXPECT_FALSE(report::settleRunningRecord({{"LAUNCH_TIME", launch}}, clock));
    }
    EXPECT_FALSE(report::settleRunningRecord({}, clock));
    EXPECT_EQ(logMessagesStartingWith("Error: Could not read LAUNCH_TIME from appData.").size(),
              3u);
    unsetenv("TZ");
    tzset();
}

// Points the agent globals at serverURL with the account of the golden documents.
void useServer(const std::string& serverURL) {
    AgentFixture::writePlist(AgentFixture::agentPath() + "/config/agent.plist",
                             Dict{{"ServerURL", serverURL},
                                  {"localComputerName", "mac-01"},
                                  {"encodedLocalNameSpace", "WORKGROUP"},
                                  {"vornCustomerID", "7"},
                                  {"vornRemoteOffID", "3"}});
    VornUtilMac().initializeVornGlobal();
}

TEST_F(ReportTest, UploadClearsTheFiguresOnlyWhenTheServerAccepts) {
    const Dict launchData{{"101", Dict{{"AppDefinitionId", "101"},
                                       {"FileName", "Editor.app"},
                                       {"PRODUCT_NAME", "Editor"},
                                       {"LAST_USED", 1714694399},
                                       {"TOTAL_RUN_COUNT", 2},
                                       {"TOTAL_RUN_TIME", 50399.0},
                                       {"LAUNCH_TIME", 1714694400},
                                       {"RUNNING_NO_OF_DAYS", 0}}}};
    const Dict postData{{"AddedTime", "1000"}, {"Other", 1}};
    SettableClock clock(1714696200.7);

    MgmtServer rejecting({.status = 500});
    const std::string refused = "http://127.0.0.1:" + std::to_string(unusedLocalPort());
    for (const std::string& url : {rejecting.url(), refused}) {
        SCOPED_TRACE(url);
        writePlist(launchDataPath(), launchData);
        writePlist(postDataPath(), postData);
        const std::string launchBefore = slurp(launchDataPath());
        const std::string postBefore = slurp(postDataPath());
        useServer(url);
        const std::string document =
            report::buildAndPostReport(launchDataPath(), postDataPath(), clock);
        EXPECT_NE(document.find("APP_DEFINITION_ID=\"101\""), std::string::npos);
        EXPECT_EQ(slurp(launchDataPath()), launchBefore);
        EXPECT_EQ(slurp(postDataPath()), postBefore);
    }
    EXPECT_TRUE(rejecting.waitForRequests(1));
    EXPECT_EQ(logMessagesStartingWith("generateAndPostXML: Software Metering data not 404 sent "
                                      "successfully")
                  .size(),
              2u);

    MgmtServer accepting;
    writePlist(launchDataPath(), launchData);
    writePlist(postDataPath(), postData);
    useServer(accepting.url());
    const std::string document =
        report::buildAndPostReport(launchDataPath(), postDataPath(), clock);
    ASSERT_TRUE(accepting.waitForRequests(1));
    EXPECT_EQ(accepting.requests().at(0).body, document);
    EXPECT_EQ(accepting.requests().at(0).target,
              "/invswmetering?computer=mac-01&domain=WORKGROUP&customerId=7&resourceid=0"
              "&remoffId=3&actionToCall=1");
    EXPECT_EQ(readPlist(postDataPath()), Value(Dict{{"AddedTime", "1714696200"}, {"Other", 1}}));
    EXPECT_EQ(readPlist(launchDataPath()), Value(Dict{{"101", Dict{{"AppDefinitionId", "101"},
                                                                   {"FileName", "Editor.app"},
                                                                   {"PRODUCT_NAME", "Editor"}}}}));
    EXPECT_EQ(logMessagesStartingWith("generateAndPostXML: Full XML String: ").back(),
              "generateAndPostXML: Full XML String: " + document);

    // Without a launch-data file nothing is sent.
    std::filesystem::remove(launchDataPath());
    EXPECT_EQ(report::buildAndPostReport(launchDataPath(), postDataPath(), clock), "nil");
    EXPECT_EQ(accepting.requests().size(), 1u);
    EXPECT_EQ(
        logMessagesStartingWith("generateAndPostXML: Failed to read plist file from URL.").size(),
        1u);
}

TEST(ShortestDecimal, KeepsAPointOnWholeValues) {
    EXPECT_EQ(report::shortestDecimal(50399), "50399.0");
    EXPECT_EQ(report::shortestDecimal(0.1), "0.1");
    EXPECT_EQ(report::shortestDecimal(-3), "-3.0");
    EXPECT_EQ(report::shortestDecimal(1e20), "1e+20");
}

}  // namespace
}  // namespace tallyvane::test
