// The SQLite store, in a real file.
#include <sqlite3.h>

#include "StoreChecks.h"
#include "support/ChildProcess.h"

namespace tallyvane::collector {
namespace {

// One statement on its own connection, its first column's text.
std::string sqlite(const std::string& path, const std::string& sql) {
    sqlite3* db = nullptr;
    std::string out;
    if (sqlite3_open(path.c_str(), &db) == SQLITE_OK) {
        sqlite3_exec(
            db, sql.c_str(),
            [](void* text, int, char** values, char**) {
                *static_cast<std::string*>(text) = values[0] ? values[0] : "";
                return 0;
            },
            &out, nullptr);
    }
    sqlite3_close(db);
    return out;
}

TEST(CollectorStore, SqliteFileKeepsReportsOnceInWalMode) {
    test::ScratchDir dir;
    const std::string path = dir.path() + "/collector.db";
    std::string error;
    checkStore([&] { return openStore(path, error); });
    EXPECT_EQ(sqlite(path, "PRAGMA journal_mode"), "wal");
    EXPECT_EQ(sqlite(path, "SELECT group_concat(version) FROM schema_version"), "1,2,3");
    EXPECT_EQ(sqlite(path, "SELECT body FROM reports WHERE id = 2"), "other body");
    // A database from before the summaries gets them from its stored days.
    const auto summary = openStore(path, error)->summary("2024-05-07");
    sqlite(path,
           "DROP TABLE app_days; DROP TABLE app_computers;"
           " DELETE FROM schema_version WHERE version >= 2");
    EXPECT_EQ(openStore(path, error)->summary("2024-05-07"), summary);

    // A database written by a newer collector is left alone.
    sqlite(path, "INSERT INTO schema_version VALUES (99)");
    EXPECT_FALSE(openStore(path, error));
    EXPECT_NE(error.find("schema version 99"), std::string::npos) << error;
    EXPECT_FALSE(openStore(dir.path() + "/no/such/folder.db", error));
}

}  // namespace
}  // namespace tallyvane::collector
