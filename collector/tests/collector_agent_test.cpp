// The real agent's report run posting to the real collector over HTTPS, the collector's
// certificate signed by a throwaway authority that the test adds to the system's trust store.
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

// An authority trusted system-wide for the length of the test, and a certificate for 127.0.0.1
// it signed.
class ThrowawayAuthority {
  public:
    explicit ThrowawayAuthority(const std::string& dir)
        : dir_(dir),
          trusted_("/usr/local/share/ca-certificates/tallyvane-test-" + std::to_string(getpid()) +
                   ".crt") {
        const std::string quiet = " 2>/dev/null";
        ok_ = run("openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj '/CN=Tallyvane test CA'"
                  " -keyout " +
                  dir + "/ca.key -out " + dir + "/ca.pem" + quiet) &&
              run("openssl req -newkey rsa:2048 -nodes -subj /CN=127.0.0.1 -keyout " + key() +
                  " -out " + dir + "/server.csr" + quiet) &&
              run("printf 'subjectAltName=IP:127.0.0.1\\n' >" + dir + "/san.ext") &&
              run("openssl x509 -req -days 1 -in " + dir + "/server.csr -CA " + dir +
                  "/ca.pem -CAkey " + dir + "/ca.key -CAcreateserial -extfile " + dir +
                  "/san.ext -out " + certificate() + quiet) &&
              run("cp " + dir + "/ca.pem " + trusted_) &&
              run("update-ca-certificates >/dev/null 2>&1");
    }
    ~ThrowawayAuthority() {
        fs::remove(trusted_);
        run("update-ca-certificates >/dev/null 2>&1");
    }
    bool ok() const { return ok_; }
    std::string certificate() const { return dir_ + "/server.pem"; }
    std::string key() const { return dir_ + "/server.key"; }

  private:
    std::string dir_, trusted_;
    bool ok_ = false;
};

const Dict kUsage{
    {"FileName", "Editor.app"}, {"AppDefinitionId", "100"},   {"TOTAL_RUN_COUNT", 3},
    {"TOTAL_RUN_TIME", 120},    {"LAST_USED", 1'700'000'000}, {"LAUNCH_TIME", 1'699'999'000},
    {"PRODUCT_NAME", "Editor"}, {"PRODUCT_VERSION", "3.2"},   {"FILE_VERSION", "3.2"}};

TEST(CollectorAgent, FiguresAreClearedOnlyOnceTheCollectorStoredThem) {
    test::ScratchDir dir;
    ThrowawayAuthority authority(dir.path());
    ASSERT_TRUE(authority.ok());
    const std::string db = dir.path() + "/collector.db";
    auto collector = std::make_unique<CollectorProcess>(dir.path(), db,
                                                        "certificate = " + authority.certificate() +
                                                            "\nkey = " + authority.key() +
                                                            "\ncustomer_ids = 7\n");
    ASSERT_GT(collector->port(), 0) << collector->log();
    const int port = collector->port();
    test::AgentInstallation agent(Dict{{"ServerURL", "https://127.0.0.1:" + std::to_string(port)},
                                       {"localComputerName", "mac 01"},
                                       {"encodedLocalNameSpace", "WORKGROUP"},
                                       {"vornCustomerID", "7"},
                                       {"vornRemoteOffID", "3"}});
    const std::string launchData = agent.meteringPath("AppLaunchData.plist");
    const std::string postData = agent.meteringPath("AppPostData.plist");
    const Dict post{{"AddedTime", "1000"}, {"Other", 1}};
    // A run that could not hand its figures over leaves both files byte for byte as they were.
    const auto untouched = [&] {
        return test::slurp(launchData) == *plist::toXml(plist::Value(Dict{{"100", kUsage}})) &&
               test::slurp(postData) == *plist::toXml(plist::Value(post));
    };
    const auto writeFiles = [&] {
        test::writePlist(launchData, Dict{{"100", kUsage}});
        test::writePlist(postData, post);
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
    {
        const auto store = openStore(db, error);
        ASSERT_TRUE(store) << error;
        const auto days = store->days();
        ASSERT_TRUE(days && days->size() == 1u);
        EXPECT_EQ((*days)[0].computer, "mac 01");
        EXPECT_EQ((*days)[0].use.launches, 3);
        EXPECT_EQ((*days)[0].use.runTime, 120);
    }

    // Down: the figures stay for the next run.
    collector.reset();
    writeFiles();
    EXPECT_EQ(agent.start({"postxmldata"})->waitExit(), 1);
    EXPECT_TRUE(untouched());
}

}  // namespace
}  // namespace tallyvane::collector
