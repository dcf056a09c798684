// tallyvanectl against a real agent folder: the dry run prints exactly what the report run then
// posts to a real server, touching nothing; status and export show the stored figures.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <ctime>
#include <filesystem>

#include "platform/FileSystem.h"
#include "support/AgentInstallation.h"
#include "support/AppBundle.h"
#include "support/MgmtServer.h"

namespace tallyvane::test {
namespace {

namespace fs = std::filesystem;
using plist::Dict;

// Every file of folder with its bytes and modification time.
std::map<std::string, std::pair<std::string, std::int64_t>> snapshot(const std::string& folder) {
    std::map<std::string, std::pair<std::string, std::int64_t>> files;
    for (const auto& entry : fs::recursive_directory_iterator(folder))
        if (entry.is_regular_file())
            files[entry.path()] = {slurp(entry.path()),
                                   entry.last_write_time().time_since_epoch().count()};
    return files;
}

TEST(Ctl, TheDryRunPrintsWhatTheReportRunPostsAndChangesNothing) {
    MgmtServer server;
    AgentInstallation agent(Dict{
        {"ServerURL", server.url()}, {"localComputerName", "desk 7"}, {"vornCustomerID", "7"}});
    // A metered application running since yesterday: both runs settle it the same way.
    const std::string app = makeBundle(agent.path(), "Sketch", {.bundleName = "Sketch"});
    ChildProcess running(app, {"600"});
    const std::int64_t yesterday = std::time(nullptr) - 86400;
    writePlist(agent.meteringPath("AppLaunchData.plist"),
               Dict{{"100", Dict{{"FileName", "Sketch.app"},
                                 {"AppDefinitionId", "100"},
                                 {"TOTAL_RUN_COUNT", 2},
                                 {"TOTAL_RUN_TIME", 60},
                                 {"LAUNCH_TIME", yesterday},
                                 {"PRODUCT_NAME", "Sketch"}}},
                    {"200", Dict{{"FileName", "Ledger.app"},
                                 {"AppDefinitionId", "200"},
                                 {"TOTAL_RUN_COUNT", 1},
                                 {"TOTAL_RUN_TIME", 5},
                                 {"LAST_USED", yesterday},
                                 {"RUNNING_NO_OF_DAYS", 2}}}});
    writePlist(agent.meteringPath("AppPostData.plist"), Dict{{"AddedTime", "1700000000"}});
    const auto before = snapshot(agent.path());
    auto ctl = [&](std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), std::string(TALLYVANE_BIN_DIR) + "/tallyvanectl");
        const std::string out = agent.path() + "/ctl.out";
        fs::remove(out);
        ChildProcess child(arguments, agent.environment(), out);
        const auto status = child.waitExit();
        std::string text = slurp(out);
        fs::remove(out);
        return std::pair{status.value_or(-1), text};
    };

    // A report run holding its lock does not hold the dry run up: it takes none.
    auto reportRunning = posixFileSystem().lockFolderIfFree(agent.path() + "/data");
    ASSERT_TRUE(reportRunning);
    const auto [dryStatus, document] = ctl({"report", "--dry-run"});
    reportRunning.reset();
    EXPECT_EQ(dryStatus, 0);
    // Standard output and error hold the document alone: its extra day is a row, not a line.
    EXPECT_TRUE(document.starts_with("<?xml") && document.ends_with("</Summary>")) << document;
    for (const std::string& line : linesOf(document)) EXPECT_TRUE(line.starts_with('<')) << line;
    EXPECT_EQ(snapshot(agent.path()), before);
    EXPECT_TRUE(server.requests().empty());

    const auto [status, shown] = ctl({"status"});
    EXPECT_EQ(status, 0);
    for (const std::string& expected :
         {"server: " + server.url(), std::string("AddedTime: 1700000000 ("),
          std::string("100 Sketch.app: launches 2, run time 60 s"),
          std::string("200 Ledger.app: launches 1, run time 5 s")})
        EXPECT_NE(shown.find(expected), std::string::npos) << shown;
    EXPECT_EQ(ctl({"export", "--csv"}).second,
              "AppDefinitionId,FileName,PRODUCT_NAME,PRODUCT_VERSION,TOTAL_RUN_COUNT,"
              "TOTAL_RUN_TIME,LAUNCH_TIME,LAST_USED,RUNNING_NO_OF_DAYS\n"
              "100,Sketch.app,Sketch,,2,60," +
                  std::to_string(yesterday) + ",,\n200,Ledger.app,,,1,5,," +
                  std::to_string(yesterday) + ",2\n");
    EXPECT_NE(ctl({"export", "--json"})
                  .second.find("{\"AppDefinitionId\": \"200\", \"FileName\": "
                               "\"Ledger.app\", \"PRODUCT_NAME\": null"),
              std::string::npos);

    auto report = agent.start({"postxmldata"});
    EXPECT_EQ(report->waitExit(), 1);
    ASSERT_TRUE(server.waitForRequests(1));
    EXPECT_EQ(server.requests().front().body, document);
    // The settlement made a difference, so the dry run did settle.
    EXPECT_NE(document.find("APP_DEFINITION_ID=\"100\" USER_SID=\"S-1-5-18\" LAST_USED=\""),
              std::string::npos);
    EXPECT_EQ(document.find("TOTAL_RUN_TIME=\"60\""), std::string::npos) << document;
}

}  // namespace
}  // namespace tallyvane::test
