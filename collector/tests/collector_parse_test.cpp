// The collector's readers: the request query, the report document, its rows folded into days.
#include "CollectorProcess.h"
#include "Days.h"
#include "Report.h"
#include "report/UsageReport.h"
#include "support/TimeZone.h"

namespace tallyvane::collector {
namespace {

constexpr const char* kPath = "/invswmetering?computer=";  // each query below follows it

TEST(CollectorParse, QueryIsSplitAtItsKeysInOrderAndDecodedOnce) {
    const std::pair<std::string, std::optional<ReportQuery>> cases[] = {
        {"mac-01&domain=WORKGROUP&customerId=7&resourceid=0&remoffId=3&actionToCall=1",
         ReportQuery{"mac-01", "WORKGROUP", "7", "0", "3", "1"}},
        // The agent does not escape values: '&' and '=' stay inside the computer name.
        {"R&D=1&domain=&customerId=7&resourceid=0&remoffId=&actionToCall=1",
         ReportQuery{"R&D=1", "", "7", "0", "", "1"}},
        // Decoded once: "%2541" is "%41", not "A"; '+', a lone '%' and "%4" stay as written.
        {"a%20b%2541+%&domain=%4&customerId=%e2%82%ac&resourceid=0&remoffId=3&actionToCall=1",
         ReportQuery{"a b%41+%", "%4", "\xe2\x82\xac", "0", "3", "1"}},
        {"mac&customerId=7&domain=D&resourceid=0&remoffId=3&actionToCall=1", std::nullopt},
        {"mac&domain=D&customerid=7&resourceid=0&remoffId=3&actionToCall=1", std::nullopt},
        {"mac&domain=D&customerId=7&resourceid=0&remoffId=3&actionToCall=2", std::nullopt},
        {"mac&domain=D&customerId=7&resourceid=0&remoffId=3", std::nullopt},
        {"ma%00c&domain=D&customerId=7&resourceid=0&remoffId=3&actionToCall=1", std::nullopt},
        {"ma%ffc&domain=D&customerId=7&resourceid=0&remoffId=3&actionToCall=1", std::nullopt},
    };
    for (const auto& [query, expected] : cases)
        EXPECT_EQ(parseReportTarget(kPath + query), expected) << query;
}

TEST(CollectorParse, BodyIsReadAsTheAgentWritesItWithValuesAsWritten) {
    // Names the agent inserts unescaped, the close of an element inside a value among them.
    for (const std::string name : {"Tom & \"Jerry\"", "<b>", "two\nlines", "x\" />\nend", ""}) {
        const report::AccountValues account{name, "WORK\"GROUP"};
        const report::AgentValues agent{name,          "NB",         "7",
                                        "Acme & Sons", "MSP <One>",  std::nullopt,
                                        "f.example",   std::nullopt, "3"};
        DroppingLogSink nowhere;  // the agent logs and prints its extra days
        const std::string version = "1.0 \" />\n(beta)";
        const plist::Dict record{{"AppDefinitionId", "A1"},    {"LAST_USED", 1714521599},
                                 {"TOTAL_RUN_COUNT", 2},       {"TOTAL_RUN_TIME", 59},
                                 {"PRODUCT_NAME", name},       {"FILE_VERSION", "1.0"},
                                 {"PRODUCT_VERSION", version}, {"RUNNING_NO_OF_DAYS", 2}};
        const auto document =
            report::usageReport(account, {{"A", record}}, agent, nowhere, nowhere);
        const auto body = parseReportBody(document);
        ASSERT_TRUE(body) << document;
        const UsageRow first{"A1", 1714521599, 2, 59, "1.0", name, version};
        UsageRow extra = first;
        extra.lastUsed += 86400, extra.runCount = 1, extra.runTime = 86400;
        EXPECT_EQ(body->rows, (std::vector<UsageRow>{first, extra}));
        EXPECT_EQ(std::vector<std::string>({body->userName, body->domainName, body->computerName,
                                            body->customerName, body->mspName, body->resourceId,
                                            body->uniqueValue, body->customerId}),
                  std::vector<std::string>(
                      {name, "WORK\"GROUP", name, "Acme & Sons", "MSP <One>", "0", "--", "7"}));

        // Every truncation, and anything after the end, is refused.
        for (std::size_t length = 0; length < document.size(); ++length)
            ASSERT_FALSE(parseReportBody(document.substr(0, length))) << length;
        EXPECT_FALSE(parseReportBody(document + "\n"));
    }
    const std::string golden = goldenReport();
    ASSERT_TRUE(parseReportBody(golden));  // so that each refusal below is the change's
    const std::pair<std::string, std::string> broken[] = {
        {"LAST_USED=\"1714694399\"", "LAST_USED=\"+1714694399\""},
        {"TOTAL_RUN_COUNT=\"2\"", "TOTAL_RUN_COUNT=\"2x\""},
        {"TOTAL_RUN_TIME=\"59\"", "TOTAL_RUN_TIME=\"99999999999999999999\""},
        {"PARAM_NAME=\"MSP_NAME\"", "PARAM_NAME=\"CUSTOMER_NAME\""},
        {"Jerry", "J\xc3(rry"},
        {"USER_SID=\"S-1-5-18\" TYPE", "USER_SID=\"S-1-5-19\" TYPE"},
    };
    for (const auto& [from, to] : broken) {
        std::string changed = golden;
        ASSERT_NE(changed.find(from), std::string::npos) << from;
        changed.replace(changed.find(from), from.size(), to);
        EXPECT_FALSE(parseReportBody(changed)) << to;
    }
}

TEST(CollectorParse, ExtraDayRowsAreDaysOfUseNotLaunchesInTheFleetsZone) {
    const auto rows = parseReportBody(goldenReport());
    ASSERT_TRUE(rows);
    const auto day = [](const char* id, const char* date, std::int64_t launches, std::int64_t time,
                        std::int64_t lastUsed, const char* name, const char* version) {
        return DayUse{id, date, launches, time, lastUsed, name, version, version};
    };
    const std::vector<DayUse> utc = {
        day("101", "2024-05-02", 2, 59, 1714694399, "Tom & \"Jerry\"", "1.2"),
        day("102", "2024-05-02", 1, 0, 1714694399, "", ""),
        day("103", "2024-04-30", 1, 50399, 1714521599, "Editor", "Unknown"),
        day("103", "2024-05-01", 0, 86400, 1714607999, "Editor", "Unknown"),
        day("103", "2024-05-02", 0, 86400, 1714694399, "Editor", "Unknown"),
        day("105", "2024-05-02", 4, -7, 1714694399, "", ""),
        day("108", "1970-01-01", 1, 120, 60, "", ""),
    };
    // The fleet's own zone (Berlin) is collector_server_test's.
    test::TimeZone zone("UTC");
    EXPECT_EQ(foldDays(rows->rows), utc);
    // Only the row right after its day-before twin, with count 1 and time 86400, is a day.
    const UsageRow first{"A", 1000000, 3, 100, "", "", ""};
    const std::pair<UsageRow, std::int64_t> next[] = {
        {{"A", 1086400, 1, 86400, "", "", ""}, 0},  // extra day
        {{"B", 1086400, 1, 86400, "", "", ""}, 1},  // another app definition
        {{"A", 1086401, 1, 86400, "", "", ""}, 1},  // not one day later
        {{"A", 1086400, 2, 86400, "", "", ""}, 2},  // launched twice
        {{"A", 1086400, 1, 86399, "", "", ""}, 1},  // not a whole day
    };
    for (const auto& [row, launches] : next) {
        const auto days = foldDays({first, row});
        ASSERT_EQ(days.size(), 2u);
        EXPECT_EQ(days[1].launches, launches) << row.appDefinitionId << " " << row.lastUsed;
    }
    // Two launches of one app on one day add up; the later row names the day.
    const auto same = foldDays({first, {"A", 1000500, 2, 50, "", "New", ""}});
    EXPECT_EQ(same, (std::vector<DayUse>{{"A", "1970-01-12", 5, 150, 1000500, "New", "", ""}}));
}

}  // namespace
}  // namespace tallyvane::collector
