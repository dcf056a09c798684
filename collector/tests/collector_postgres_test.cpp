// The PostgreSQL store, in a cluster of the test's own (never the package's "main" cluster).
#include <pwd.h>
#include <unistd.h>

#include <filesystem>

#include <fstream>

#include "Server.h"
#include "StoreChecks.h"
#include "support/ChildProcess.h"

namespace tallyvane::collector {
namespace {

const std::string kBin = "/usr/lib/postgresql/15/bin";

bool run(const std::string& command) {
    return std::system(command.c_str()) == 0;
}

// initdb refuses root: the cluster belongs to the postgres user, in a folder of its own, served
// on a socket in that folder only.
class Cluster {
  public:
    Cluster() {
        char name[] = "/tmp/tallyvane-pg.XXXXXX";
        if (mkdtemp(name) == nullptr) return;
        dir_ = name;
        const passwd* postgres = getpwnam("postgres");
        if (postgres == nullptr || chown(name, postgres->pw_uid, postgres->pw_gid) != 0) return;
        const std::string as = "runuser -u postgres -- ";
        if (run(as + kBin + "/initdb -D " + dir_ + "/data -A trust -U postgres -E UTF8" +
                " --locale=C.UTF-8 --no-sync >" + dir_ + "/initdb.log 2>&1") &&
            run(as + kBin + "/pg_ctl start -w -t 30 -D " + dir_ + "/data -l " + dir_ +
                "/server.log -o \"-p 55432 -k " + dir_ + " -c listen_addresses=''\" >/dev/null")) {
            connection_ = "host=" + dir_ + " port=55432 dbname=postgres user=postgres";
        }
    }
    ~Cluster() {
        if (!dir_.empty()) {
            run("runuser -u postgres -- " + kBin + "/pg_ctl stop -m immediate -D " + dir_ +
                "/data >/dev/null 2>&1");
            std::filesystem::remove_all(dir_);
        }
    }
    // Empty when the cluster did not start.
    const std::string& connection() const { return connection_; }
    std::string logs() const {
        return test::slurp(dir_ + "/initdb.log") + test::slurp(dir_ + "/server.log");
    }

  private:
    std::string dir_, connection_;
};

TEST(CollectorPostgres, ClusterOfItsOwnKeepsReportsOnce) {
    if (!std::filesystem::exists(kBin + "/initdb")) GTEST_SKIP() << "no PostgreSQL 15 binaries";
    Cluster cluster;
    ASSERT_FALSE(cluster.connection().empty()) << cluster.logs();
    std::string error;
    checkStore([&] {
        auto store = openStore(cluster.connection(), error);
        EXPECT_TRUE(store) << error;
        return store;
    });
    // A database from before the summaries gets them from its stored days.
    const auto summary = openStore(cluster.connection(), error)->summary("2024-05-07");
    ASSERT_EQ(std::system(("runuser -u postgres -- " + kBin + "/psql -q \"" + cluster.connection() +
                           "\" -c 'DROP TABLE app_days, app_computers, app_last_days' -c"
                           " 'DELETE FROM schema_version WHERE version >= 2'")
                              .c_str()),
              0);
    EXPECT_EQ(openStore(cluster.connection(), error)->summary("2024-05-07"), summary);
    EXPECT_FALSE(openStore("host=/nonexistent port=1 dbname=postgres", error));

    // --move-to: an SQLite file's reports, read again, into a fresh database; twice is once.
    test::ScratchDir dir;
    const std::string file = dir.path() + "/c.db", config = dir.path() + "/c.conf";
    const std::string golden =
        test::slurp(std::string(TALLYVANE_SOURCE_DIR) + "/tests/golden/records.xml");
    Settings settings;
    settings.anyCustomerId = true;
    for (const char* computer : {"pc-1", "pc-2"}) {
        EXPECT_EQ(acceptReport(*openStore(file, error), settings,
                               "/invswmetering?computer=" + std::string(computer) +
                                   "&domain=W&customerId=7&resourceid=0&remoffId=3&actionToCall=1",
                               golden, 1000)
                      .status,
                  200);
    }
    ASSERT_TRUE(run("runuser -u postgres -- " + kBin + "/psql -q \"" + cluster.connection() +
                    "\" -c 'CREATE DATABASE moved'"));
    const std::string moved = cluster.connection().substr(0, cluster.connection().find("dbname=")) +
                              "dbname=moved user=postgres";
    std::ofstream(config) << "database = " << file << "\ncustomer_ids = *\n";
    for (int i = 0; i < 2; ++i) {
        test::ChildProcess move(COLLECTOR_BIN, {"--config", config, "--move-to", moved});
        EXPECT_EQ(move.waitExit(), 0);
    }
    const auto to = openStore(moved, error);
    ASSERT_TRUE(to) << error;
    EXPECT_EQ(to->reportCount(), 2);
    EXPECT_EQ(to->days(), openStore(file, error)->days());
}

}  // namespace
}  // namespace tallyvane::collector
