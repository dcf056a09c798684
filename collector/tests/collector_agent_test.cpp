// The real agent's report run posting to the real collector over HTTPS, the collector's
// certificate added to the system's trust store for the test.
#include <sqlite3.h>

#include <filesystem>

#include "CollectorProcess.h"
#include "Store.h"
#include "support/AgentInstallation.h"

namespace tallyvane::collector {
namespace {

using plist::Dict;
namespace fs = std::filesystem;

bool run(const std::string& command) {
    return std::system(command.c_str()) == 0;
}

// The collector's certificate, trusted system-wide for the length of the test.
struct Trusted {
    const std::string path =
        "/usr/local/share/ca-certificates/tallyvane-test-" + std::to_string(getpid()) + ".crt";
    ~Trusted() { fs::remove(path), run("update-ca-certificates >/dev/null 2>&1"); }
};

const Dict kUsage{
    {"FileName", "Editor.app"}, {"AppDefinitionId", "100"},   {"TOTAL_RUN_COUNT", 3},
    {"TOTAL_RUN_TIME", 120},    {"LAST_USED", 1'700'000'000}, {"LAUNCH_TIME", 1'699'999'000},
    {"PRODUCT_NAME", "Editor"}, {"PRODUCT_VERSION", "3.2"},   {"FILE_VERSION", "3.2"}};

TEST(CollectorAgent, FiguresAreClearedOnlyOnceTheCollectorStoredThem) {
    test::ScratchDir dir;
    const std::string at = dir.path() + "/", db = at + "collector.db";
    const Trusted trusted;
    ASSERT_TRUE(makeCertificate(dir.path()) && run("cp " + at + "cert.pem " + trusted.path +
                                                   " && update-ca-certificates >/dev/null"));
    auto collector = std::make_unique<CollectorProcess>(
        dir.path(), db,
        "certificate = " + at + "cert.pem\nkey = " + at + "key.pem\ncustomer_ids = 7\n");
    ASSERT_GT(collector->port(), 0) << collector->log();
    const std::string url = "https://127.0.0.1:" + std::to_string(collector->port());
    test::AgentInstallation agent(Dict{{"ServerURL", url},
                                       {"localComputerName", "mac 01"},
                                       {"encodedLocalNameSpace", "WORKGROUP"},
                                       {"vornCustomerID", "7"},
                                       {"vornRemoteOffID", "3"}});
    const std::string launchData = agent.meteringPath("AppLaunchData.plist"),
                      postData = agent.meteringPath("AppPostData.plist");
    const Dict launch{{"100", kUsage}}, post{{"AddedTime", "1000"}, {"Other", 1}};
    // A run that could not hand its figures over leaves both files byte for byte as they were.
    const auto untouched = [&] {
        return test::slurp(launchData) == *plist::toXml(plist::Value(launch)) &&
               test::slurp(postData) == *plist::toXml(plist::Value(post));
    };
    const auto writeFiles = [&] {
        test::writePlist(launchData, launch), test::writePlist(postData, post);
    };
    // A collector that cannot store (its database held by another writer) answers 503.
    writeFiles();
    sqlite3* holder = nullptr;
    ASSERT_EQ(sqlite3_open(db.c_str(), &holder), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(holder, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
    EXPECT_EQ(agent.start({"postxmldata"})->waitExit(std::chrono::seconds(60)), 1);
    sqlite3_close(holder);  // rolls back
    EXPECT_NE(collector->log().find("-> 503: cannot store the report of computer \"mac 01\""),
              std::string::npos)
        << collector->log();
    EXPECT_TRUE(untouched());

    // Up and verified against the system's trust store: stored, then cleared.
    EXPECT_EQ(agent.start({"postxmldata"})->waitExit(), 1);
    EXPECT_TRUE(agent.logHas("generateAndPostXML: Software Metering data sent successfully"));
    EXPECT_EQ(test::slurp(launchData).find("TOTAL_RUN_COUNT"), std::string::npos);
    std::string error;
    const auto store = openStore(db, error);
    ASSERT_TRUE(store) << error;
    const auto days = store->days();
    ASSERT_TRUE(days && days->size() == 1u);
    const StoredDay& day = (*days)[0];
    EXPECT_EQ(std::tuple(day.computer, day.use.launches, day.use.runTime),
              std::tuple("mac 01", 3, 120));

    // Down: the figures stay for the next run.
    collector.reset();
    writeFiles();
    EXPECT_EQ(agent.start({"postxmldata"})->waitExit(), 1);
    EXPECT_TRUE(untouched());
}

}  // namespace
}  // namespace tallyvane::collector
