// The PostgreSQL store, in a cluster of the test's own (never the package's "main" cluster).
#include <pwd.h>
#include <unistd.h>

#include <filesystem>

#include <fstream>

#include "CollectorProcess.h"
#include "Server.h"
#include "StoreChecks.h"

namespace tallyvane::collector {
namespace {

const std::string kBin = "/usr/lib/postgresql/15/bin/";

// One of PostgreSQL's programs, as the postgres user.
bool run(const std::string& program, const std::string& arguments) {
    return std::system(("runuser -u postgres -- " + kBin + program + " " + arguments).c_str()) == 0;
}

// initdb refuses root: the cluster belongs to the postgres user, in a folder of its own, served
// on a socket in that folder only.
struct Cluster {
    Cluster() {
        char name[] = "/tmp/tallyvane-pg.XXXXXX";
        if (mkdtemp(name) == nullptr) return;
        dir = name;
        const passwd* postgres = getpwnam("postgres");
        if (postgres == nullptr || chown(name, postgres->pw_uid, postgres->pw_gid) != 0) return;
        started =
            run("initdb", "-D " + dir + "/data -A trust -U postgres -E UTF8 --locale=C.UTF-8" +
                              " --no-sync >" + dir + "/initdb.log 2>&1") &&
            run("pg_ctl", "start -w -t 30 -D " + dir + "/data -l " + dir + "/server.log -o \"-p" +
                              " 55432 -k " + dir + " -c listen_addresses=''\" >/dev/null");
    }
    ~Cluster() {
        if (dir.empty()) return;
        run("pg_ctl", "stop -m immediate -D " + dir + "/data >/dev/null 2>&1");
        std::filesystem::remove_all(dir);
    }
    std::string connection(const std::string& database = "postgres") const {
        return "host=" + dir + " port=55432 dbname=" + database + " user=postgres";
    }
    bool psql(const std::string& commands) const {
        return run("psql", "-q \"" + connection() + "\" " + commands);
    }
    std::string dir;
    bool started = false;
};

TEST(CollectorPostgres, ClusterOfItsOwnKeepsReportsOnce) {
    if (!std::filesystem::exists(kBin + "initdb")) GTEST_SKIP() << "no PostgreSQL 15 binaries";
    Cluster cluster;
    ASSERT_TRUE(cluster.started) << test::slurp(cluster.dir + "/initdb.log")
                                 << test::slurp(cluster.dir + "/server.log");
    std::string error;
    checkStore([&] {
        auto store = openStore(cluster.connection(), error);
        EXPECT_TRUE(store) << error;
        return store;
    });
    // A database from before the summaries gets them from its stored days.
    const auto summary = openStore(cluster.connection(), error)->summary("2024-05-07");
    ASSERT_TRUE(
        cluster.psql("-c 'DROP TABLE app_days, app_computers, app_last_days'"
                     " -c 'DELETE FROM schema_version WHERE version >= 2'"));
    EXPECT_EQ(openStore(cluster.connection(), error)->summary("2024-05-07"), summary);
    EXPECT_FALSE(openStore("host=/nonexistent port=1 dbname=postgres", error));

    // --move-to: an SQLite file's reports, read again, into a fresh database; twice is once.
    test::ScratchDir dir;
    const std::string file = dir.path() + "/c.db", config = dir.path() + "/c.conf";
    Settings settings;
    settings.anyCustomerId = true;
    for (const char* pc : {"pc-1", "pc-2"})
        EXPECT_EQ(
            acceptReport(*openStore(file, error), settings, reportTarget(pc), goldenReport(), 1000)
                .status,
            200);
    ASSERT_TRUE(cluster.psql("-c 'CREATE DATABASE moved'"));
    const std::string moved = cluster.connection("moved");
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
