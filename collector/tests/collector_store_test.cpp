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
    const auto first = [](void* text, int, char** values, char**) {
        return *static_cast<std::string*>(text) = values[0] ? values[0] : "", 0;
    };
    if (sqlite3_open(path.c_str(), &db) == SQLITE_OK)
        sqlite3_exec(db, sql.c_str(), first, &out, nullptr);
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

// A batch that cannot be written whole is written report by report: one bad report, a refused
// begin or a failed commit costs no other report its answer.
TEST(CollectorStore, BatchFallsBackToEachReportAlone) {
    struct Row {
        std::string batch;  // a report per letter: s stored, d a duplicate, f fails
        bool begins;
        int commitsFailing;  // the first ones
        std::string calls, results;
    } rows[] = {
        {"sds", true, 0, "B s d s C", "sds"},
        {"sfs", true, 0, "B s f R B s C B f R B s C", "sfs"},
        {"ss", true, 1, "B s s C R B s C B s C", "ss"},
        {"ss", true, 2, "B s s C R B s C R B s C", "fs"},
        {"sd", false, 0, "B B B", "ff"},
    };
    for (const Row& row : rows) {
        std::string calls;
        int commits = 0;
        const WriteSteps steps{[&] { return calls += "B ", row.begins; },
                               [&] { return calls += "C ", ++commits > row.commitsFailing; },
                               [&] { calls += "R "; },
                               [&](const Received& r) {
                                   calls += r.body + " ";
                                   return r.body == "s"   ? AddResult::stored
                                          : r.body == "d" ? AddResult::duplicate
                                                          : AddResult::failed;
                               },
                               nullptr};
        std::vector<Received> reports;
        std::vector<const Received*> batch;
        for (const char c : row.batch) reports.push_back(receivedReport("pc", {}, {c}));
        for (const Received& r : reports) batch.push_back(&r);
        // No answer of its own: each must be writeBatch's.
        std::vector<AddResult> results(batch.size(), static_cast<AddResult>(-1));
        writeBatch(steps, batch, results);
        std::string got;
        for (const AddResult r : results)
            got += r == AddResult::stored      ? 's'
                   : r == AddResult::duplicate ? 'd'
                   : r == AddResult::failed    ? 'f'
                                               : '?';
        calls.pop_back();
        EXPECT_EQ(calls, row.calls) << row.batch;
        EXPECT_EQ(got, row.results) << row.batch;
    }
}

// A transaction's reports of one app definition and day add up; the name is the latest use's,
// an earlier one arriving later keeping it.
TEST(CollectorStore, DaySumsAddUpPerAppDefinitionAndDay) {
    const DayUse noon{"A", "2024-05-06", 1, 10, 1000, "Noon", "", ""},
        later{"A", "2024-05-06", 1, 10, 2000, "Later", "", ""},
        earlier{"A", "2024-05-06", 1, 10, 500, "Earlier", "", ""},
        tuesday{"A", "2024-05-07", 1, 10, 1000, "Noon", "", ""};
    DaySums sums;
    for (const auto& days : {std::vector{noon, tuesday}, {later}, {earlier}})
        addDaySums(sums, days);
    EXPECT_EQ(sums,
              (DaySums{{{"A", "2024-05-06"}, {"A", "2024-05-06", 3, 30, 2000, "Later", "", ""}},
                       {{"A", "2024-05-07"}, tuesday}}));
}

}  // namespace
}  // namespace tallyvane::collector
