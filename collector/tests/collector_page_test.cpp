// The pages: the figures they show, from pure functions, and the pages as a real browser loads
// them from a real collector.
#include <httplib.h>

#include <regex>

#include "CollectorProcess.h"
#include "Page.h"

namespace tallyvane::collector {
namespace {

StoredDay day(const char* computer, const char* app, const char* date, std::int64_t launches,
              std::int64_t lastUsed) {
    return {computer, {app, date, launches, 60 * launches, lastUsed, "P", "", ""}};
}

TEST(CollectorPage, WindowSplitsUsersFromReclaimCandidates) {
    const std::vector<StoredDay> days = {
        day("pc-a", "A", "2026-11-01", 1, 100), day("pc-a", "A", "2026-12-01", 2, 300),
        day("pc-b", "A", "2026-10-31", 5, 200), day("pc-b", "B", "2026-12-02", 1, 400),
        day("pc-c", "A", "2026-11-01", 3, 150)};
    const std::pair<std::string, std::vector<ComputerUse>> cases[] = {
        {"2026-11-01",
         {{"pc-a", true, 3, 180, 300}, {"pc-c", true, 3, 180, 150}, {"pc-b", false, 0, 0, 200}}},
        {"2026-11-02",
         {{"pc-a", true, 2, 120, 300}, {"pc-b", false, 0, 0, 200}, {"pc-c", false, 0, 0, 150}}},
        // Every computer a user: none to reclaim, and users ordered by name, not by launches.
        {"2026-10-01",
         {{"pc-a", true, 3, 180, 300}, {"pc-b", true, 5, 300, 200}, {"pc-c", true, 3, 180, 150}}},
    };
    for (const auto& [fromDay, a] : cases) EXPECT_EQ(computersOf(days, "A", fromDay), a) << fromDay;

    const std::pair<std::string, std::string> fields[] = {
        {"a\"b", "\"a\"\"b\""}, {"=cmd()", "\"'=cmd()\""}, {"-1", "\"'-1\""}, {"x,y", "\"x,y\""}};
    for (const auto& [text, csv] : fields) EXPECT_EQ(csvField(text), csv);
    EXPECT_EQ(htmlEscaped("<a href='x'>&\"</a>"),
              "&lt;a href=&#39;x&#39;&gt;&amp;&quot;&lt;/a&gt;");
}

// The page at url as headless chromium built it.
std::string browser(const std::string& url) {
    test::ScratchDir profile;
    const std::string command =
        "/usr/bin/chromium --headless --no-sandbox --disable-gpu --disable-background-networking"
        " --no-first-run --window-size=900,600 --user-data-dir=" +
        profile.path() + " --dump-dom '" + url + "' >" + profile.path() + "/out 2>/dev/null";
    return std::system(command.c_str()) == 0 ? test::slurp(profile.path() + "/out") : "";
}

// The text of the element with that id, up to its end tag.
std::string section(const std::string& dom, const std::string& id, const std::string& end) {
    const auto start = dom.find("id=\"" + id + "\"");
    if (start == std::string::npos) return "";
    return dom.substr(start, dom.find(end, start) - start);
}

TEST(CollectorPage, BrowserShowsReclaimListAndChartOfStoredReports) {
    test::ScratchDir dir;
    const std::string token = "token-0123456789abcdef";
    CollectorProcess collector(dir.path(), dir.path() + "/c.db",
                               "customer_ids = 7\npage_token = " + token + "\n");
    ASSERT_GT(collector.port(), 0) << collector.log();
    const std::string old = goldenReport();
    // The same rows, used an hour ago.
    const std::string now = std::to_string(std::time(nullptr) - 3600);
    const std::string golden = std::regex_replace(old, std::regex("1714694399"), now);
    httplib::Client client("127.0.0.1", collector.port());
    for (const auto& [computer, body] : {std::pair{"pc-new", golden}, std::pair{"pc-old", old}}) {
        const auto answer = client.Post(reportTarget(computer).c_str(), body, "text/xml");
        ASSERT_TRUE(answer && answer->status == 200);
    }

    const std::string dom = browser("http://127.0.0.1:" + std::to_string(collector.port()) +
                                    "/app?id=101&days=30&token=" + token);
    ASSERT_NE(dom.find("App definition 101"), std::string::npos) << dom;
    EXPECT_NE(section(dom, "used", "</table>").find("pc-new"), std::string::npos);
    EXPECT_EQ(section(dom, "used", "</table>").find("pc-old"), std::string::npos);
    EXPECT_NE(section(dom, "reclaim", "</table>").find("pc-old"), std::string::npos);
    EXPECT_EQ(section(dom, "reclaim", "</table>").find("pc-new"), std::string::npos);
    // One bar: today's two launches of 101.
    const std::string chart = section(dom, "chart", "</svg>");
    const std::regex bar("<rect data-day=\"[0-9-]+\" data-launches=\"([0-9]+)\"");
    std::vector<std::string> bars;
    for (std::sregex_iterator i(chart.begin(), chart.end(), bar), end; i != end; ++i)
        bars.push_back((*i)[1]);
    EXPECT_EQ(bars, std::vector<std::string>{"2"}) << chart;

    const auto csv = client.Get(("/app.csv?id=101&token=" + token).c_str());
    ASSERT_TRUE(csv);
    EXPECT_EQ(csv->body,
              "computer,used_in_window,launches,run_time_seconds,last_used\n\"pc-new\",yes,2,59," +
                  now + "\n\"pc-old\",no,0,0,1714694399\n");
    for (const std::string& wrong :
         {std::string("wrong"), std::string(), token.substr(0, 8), token + "x"}) {
        const auto refused = client.Get(("/?token=" + wrong).c_str());
        EXPECT_TRUE(refused && refused->status == 403) << wrong;
    }
}

}  // namespace
}  // namespace tallyvane::collector
