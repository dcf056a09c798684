// The embedded store: one SQLite file in WAL mode, each commit synced before it returns.
#include <sqlite3.h>

#include <algorithm>
#include <map>
#include <mutex>

#include "Store.h"

namespace tallyvane::collector {
namespace {

struct CloseDatabase {
    void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
struct FinalizeStatement {
    void operator()(sqlite3_stmt* s) const { sqlite3_finalize(s); }
};
using Statement = std::unique_ptr<sqlite3_stmt, FinalizeStatement>;

// Each entry is one schema version; a database holds the versions up to the one it records.
const char* const kMigrations[] = {
    "CREATE TABLE reports (id INTEGER PRIMARY KEY, digest TEXT NOT NULL UNIQUE,"
    " received_at INTEGER NOT NULL, computer TEXT NOT NULL, domain TEXT NOT NULL,"
    " customer_id TEXT NOT NULL, resource_id TEXT NOT NULL, remoff_id TEXT NOT NULL,"
    " target TEXT NOT NULL, body BLOB NOT NULL);"
    "CREATE TABLE usage (computer TEXT NOT NULL, app_definition_id TEXT NOT NULL,"
    " day TEXT NOT NULL, launches INTEGER NOT NULL, run_time INTEGER NOT NULL,"
    " last_used INTEGER NOT NULL, product_name TEXT NOT NULL, file_version TEXT NOT NULL,"
    " product_version TEXT NOT NULL, PRIMARY KEY (computer, app_definition_id, day));"
    "CREATE INDEX usage_by_app_day ON usage (app_definition_id, day);",
    // The overview's summaries: per app definition and computer its last day and use, per app
    // definition, day and shard the day's sums.
    "CREATE TABLE app_computers (app_definition_id TEXT NOT NULL, computer TEXT NOT NULL,"
    " last_day TEXT NOT NULL, last_used INTEGER NOT NULL,"
    " PRIMARY KEY (app_definition_id, computer)) WITHOUT ROWID;"
    "CREATE TABLE app_days (app_definition_id TEXT NOT NULL, day TEXT NOT NULL,"
    " shard INTEGER NOT NULL, launches INTEGER NOT NULL, run_time INTEGER NOT NULL,"
    " last_used INTEGER NOT NULL, product_name TEXT NOT NULL,"
    " PRIMARY KEY (app_definition_id, day, shard)) WITHOUT ROWID;"
    "INSERT INTO app_computers SELECT app_definition_id, computer, max(day), max(last_used)"
    " FROM usage GROUP BY app_definition_id, computer;"
    // With one max() the bare product_name is that of the row holding it.
    "INSERT INTO app_days SELECT app_definition_id, day, 0, sum(launches), sum(run_time),"
    " max(last_used), product_name FROM usage GROUP BY app_definition_id, day;",
    // One row per app definition and day: a single writer waits on no other.
    "CREATE TABLE app_day_sums (app_definition_id TEXT NOT NULL, day TEXT NOT NULL,"
    " launches INTEGER NOT NULL, run_time INTEGER NOT NULL, last_used INTEGER NOT NULL,"
    " product_name TEXT NOT NULL, PRIMARY KEY (app_definition_id, day)) WITHOUT ROWID;"
    "INSERT INTO app_day_sums SELECT app_definition_id, day, sum(launches), sum(run_time),"
    " max(last_used), product_name FROM app_days GROUP BY app_definition_id, day;"
    "DROP TABLE app_days; ALTER TABLE app_day_sums RENAME TO app_days;",
};

class SqliteStore final : public Store {
  public:
    explicit SqliteStore(sqlite3* db) : db_(db) {}

    bool prepare(std::string& error) {
        for (const char* setting :
             {"PRAGMA journal_mode=WAL", "PRAGMA synchronous=FULL", "PRAGMA foreign_keys=ON",
              // 64 MiB of pages rather than 2: a fleet's indexes of days outgrow the default,
              // and each report then reads its index pages back from the file.
              "PRAGMA cache_size=-65536",
              // Checkpoints every 40 MiB of log rather than 4: a page that many reports change
              // (an index's, the day sums') is then copied back once, not ten times.
              "PRAGMA wal_autocheckpoint=10000"}) {
            if (!exec(setting)) return error = lastError(), false;
        }
        sqlite3_busy_timeout(db_.get(), 5000);
        if (!exec("CREATE TABLE IF NOT EXISTS schema_version (version INTEGER NOT NULL)")) {
            return error = lastError(), false;
        }
        std::int64_t version = 0;
        {
            auto s = statement("SELECT coalesce(max(version), 0) FROM schema_version");
            if (!s || sqlite3_step(s.get()) != SQLITE_ROW) return error = lastError(), false;
            version = sqlite3_column_int64(s.get(), 0);
        }
        const auto known = static_cast<std::int64_t>(std::size(kMigrations));
        if (version > known) {
            error = "the database has schema version " + std::to_string(version) +
                    ", newer than this program's " + std::to_string(known);
            return false;
        }
        for (auto v = version; v < known; ++v) {
            const std::string step = std::string("BEGIN IMMEDIATE;") + kMigrations[v] +
                                     "INSERT INTO schema_version VALUES (" + std::to_string(v + 1) +
                                     ");COMMIT;";
            if (!exec(step.c_str())) {
                error = "migration to version " + std::to_string(v + 1) + ": " + lastError();
                exec("ROLLBACK");
                return false;
            }
        }
        return true;
    }

    AddResult add(const Received& r) override { return batches_.add(r); }

    std::optional<std::int64_t> reportCount() override {
        std::lock_guard lock(mutex_);
        auto s = statement("SELECT count(*) FROM reports");
        if (!s || sqlite3_step(s.get()) != SQLITE_ROW) return std::nullopt;
        return sqlite3_column_int64(s.get(), 0);
    }

    std::optional<std::vector<StoredDay>> days(const DayFilter& only) override {
        std::lock_guard lock(mutex_);
        std::string sql =
            "SELECT computer, app_definition_id, day, launches, run_time, last_used,"
            " product_name, file_version, product_version FROM usage WHERE 1";
        // Conditions only for the fields given, so that the planner can use an index.
        if (!only.appDefinitionId.empty()) sql += " AND app_definition_id = ?1";
        if (!only.computer.empty()) sql += " AND computer = ?2";
        auto s = statement((sql + " ORDER BY computer, app_definition_id, day").c_str());
        if (!s) return std::nullopt;
        if (!only.appDefinitionId.empty()) bind(s.get(), 1, only.appDefinitionId);
        if (!only.computer.empty()) bind(s.get(), 2, only.computer);
        std::vector<StoredDay> out;
        int step = SQLITE_ROW;
        while ((step = sqlite3_step(s.get())) == SQLITE_ROW) {
            StoredDay d;
            d.computer = text(s.get(), 0);
            d.use = {text(s.get(), 1),
                     text(s.get(), 2),
                     sqlite3_column_int64(s.get(), 3),
                     sqlite3_column_int64(s.get(), 4),
                     sqlite3_column_int64(s.get(), 5),
                     text(s.get(), 6),
                     text(s.get(), 7),
                     text(s.get(), 8)};
            out.push_back(std::move(d));
        }
        if (step != SQLITE_DONE) return std::nullopt;
        return out;
    }

    std::optional<std::vector<AppSummary>> summary(const std::string& fromDay) override {
        std::lock_guard lock(mutex_);
        auto s = statement(
            "WITH c AS (SELECT app_definition_id AS app, sum(last_day >= ?1) AS users,"
            " sum(last_day < ?1) AS idle, max(last_used) AS last_used FROM app_computers"
            " GROUP BY app_definition_id),"
            " w AS (SELECT app_definition_id AS app, sum(launches) AS launches,"
            " sum(run_time) AS run_time FROM app_days WHERE day >= ?1 GROUP BY app_definition_id),"
            " n AS (SELECT app_definition_id AS app, product_name, max(last_used) FROM app_days"
            " GROUP BY app_definition_id)"
            " SELECT c.app, coalesce(n.product_name, ''), c.users, c.idle,"
            " coalesce(w.launches, 0), coalesce(w.run_time, 0), c.last_used"
            " FROM c LEFT JOIN w USING (app) LEFT JOIN n USING (app) ORDER BY c.app");
        if (!s) return std::nullopt;
        bind(s.get(), 1, fromDay);
        std::vector<AppSummary> out;
        int step = SQLITE_ROW;
        while ((step = sqlite3_step(s.get())) == SQLITE_ROW) {
            out.push_back({text(s.get(), 0), text(s.get(), 1), sqlite3_column_int(s.get(), 2),
                           sqlite3_column_int(s.get(), 3), sqlite3_column_int64(s.get(), 4),
                           sqlite3_column_int64(s.get(), 5), sqlite3_column_int64(s.get(), 6)});
        }
        if (step != SQLITE_DONE) return std::nullopt;
        return out;
    }

    bool forEachReport(const std::function<bool(const Received&)>& each) override {
        std::lock_guard lock(mutex_);
        auto s = statement("SELECT target, body, received_at FROM reports ORDER BY id");
        if (!s) return false;
        int step = SQLITE_ROW;
        while ((step = sqlite3_step(s.get())) == SQLITE_ROW) {
            Received r;
            r.target = text(s.get(), 0);
            const auto* body = static_cast<const char*>(sqlite3_column_blob(s.get(), 1));
            r.body.assign(body ? body : "",
                          static_cast<std::size_t>(sqlite3_column_bytes(s.get(), 1)));
            r.receivedAt = sqlite3_column_int64(s.get(), 2);
            if (!each(r)) return true;
        }
        return step == SQLITE_DONE;
    }

    std::string lastError() override {
        std::lock_guard lock(mutex_);
        return sqlite3_errmsg(db_.get());
    }

  private:
    void write(const std::vector<const Received*>& batch, std::vector<AddResult>& results) {
        std::lock_guard lock(mutex_);
        writeBatch(steps_, batch, results);
    }

    bool commit() {
        sqlite3_stmt* appDay = cached(
            "INSERT INTO app_days VALUES (?1, ?2, ?3, ?4, ?5, ?6)"
            " ON CONFLICT (app_definition_id, day) DO UPDATE SET"
            " launches = app_days.launches + excluded.launches,"
            " run_time = app_days.run_time + excluded.run_time,"
            " last_used = max(app_days.last_used, excluded.last_used),"
            " product_name = iif(excluded.last_used >= app_days.last_used,"
            " excluded.product_name, app_days.product_name)");
        bool ok = appDay != nullptr;
        for (auto i = pendingDays_.begin(); ok && i != pendingDays_.end(); ++i) {
            sqlite3_reset(appDay);
            bind(appDay, 1, i->first.first);
            bind(appDay, 2, i->first.second);
            sqlite3_bind_int64(appDay, 3, i->second.launches);
            sqlite3_bind_int64(appDay, 4, i->second.runTime);
            sqlite3_bind_int64(appDay, 5, i->second.lastUsed);
            bind(appDay, 6, i->second.productName);
            ok = sqlite3_step(appDay) == SQLITE_DONE;
        }
        pendingDays_.clear();
        return ok && exec("COMMIT");
    }

    AddResult addInTransaction(const Received& r) {
        sqlite3_stmt* report = cached(
            "INSERT INTO reports (digest, received_at, computer, domain, customer_id,"
            " resource_id, remoff_id, target, body) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9)"
            " ON CONFLICT (digest) DO NOTHING");
        if (!report) return AddResult::failed;
        bind(report, 1, requestDigest(r.target, r.body));
        sqlite3_bind_int64(report, 2, r.receivedAt);
        bind(report, 3, r.query.computer);
        bind(report, 4, r.query.domain);
        bind(report, 5, r.query.customerId);
        bind(report, 6, r.query.resourceId);
        bind(report, 7, r.query.remoffId);
        bind(report, 8, r.target);
        sqlite3_bind_blob64(report, 9, r.body.data(), r.body.size(), SQLITE_TRANSIENT);
        if (sqlite3_step(report) != SQLITE_DONE) return AddResult::failed;
        if (sqlite3_changes(db_.get()) == 0) return AddResult::duplicate;

        sqlite3_stmt* day = cached(
            "INSERT INTO usage VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9)"
            " ON CONFLICT (computer, app_definition_id, day) DO UPDATE SET"
            " launches = usage.launches + excluded.launches,"
            " run_time = usage.run_time + excluded.run_time,"
            " last_used = max(usage.last_used, excluded.last_used),"
            " product_name = iif(excluded.last_used >= usage.last_used, excluded.product_name,"
            " usage.product_name),"
            " file_version = iif(excluded.last_used >= usage.last_used, excluded.file_version,"
            " usage.file_version),"
            " product_version = iif(excluded.last_used >= usage.last_used,"
            " excluded.product_version, usage.product_version)");
        if (!day) return AddResult::failed;
        for (const DayUse& d : r.days) {
            sqlite3_reset(day);
            bind(day, 1, r.query.computer);
            bind(day, 2, d.appDefinitionId);
            bind(day, 3, d.day);
            sqlite3_bind_int64(day, 4, d.launches);
            sqlite3_bind_int64(day, 5, d.runTime);
            sqlite3_bind_int64(day, 6, d.lastUsed);
            bind(day, 7, d.productName);
            bind(day, 8, d.fileVersion);
            bind(day, 9, d.productVersion);
            if (sqlite3_step(day) != SQLITE_DONE) return AddResult::failed;
        }
        return addSummaries(r) ? AddResult::stored : AddResult::failed;
    }

    bool addSummaries(const Received& r) {
        std::map<std::string, std::pair<std::string, std::int64_t>> lastOfApp;
        addDaySums(pendingDays_, r.days);
        for (const DayUse& d : r.days) {
            auto [last, added] = lastOfApp.try_emplace(d.appDefinitionId, d.day, d.lastUsed);
            if (!added) {
                last->second.first = std::max(last->second.first, d.day);
                last->second.second = std::max(last->second.second, d.lastUsed);
            }
        }
        sqlite3_stmt* appComputer = cached(
            "INSERT INTO app_computers VALUES (?1, ?2, ?3, ?4)"
            " ON CONFLICT (app_definition_id, computer) DO UPDATE SET"
            " last_day = max(app_computers.last_day, excluded.last_day),"
            " last_used = max(app_computers.last_used, excluded.last_used)");
        if (!appComputer) return false;
        for (const auto& [app, last] : lastOfApp) {
            sqlite3_reset(appComputer);
            bind(appComputer, 1, app);
            bind(appComputer, 2, r.query.computer);
            bind(appComputer, 3, last.first);
            sqlite3_bind_int64(appComputer, 4, last.second);
            if (sqlite3_step(appComputer) != SQLITE_DONE) return false;
        }
        return true;
    }

    bool exec(const char* sql) {
        return sqlite3_exec(db_.get(), sql, nullptr, nullptr, nullptr) == SQLITE_OK;
    }
    // The statements of every report, prepared once: preparing them anew costs as much as
    // running them. Reset, bindings cleared.
    sqlite3_stmt* cached(const char* sql) {
        auto& s = cache_[sql];
        if (!s) s = statement(sql);
        if (s) sqlite3_reset(s.get()), sqlite3_clear_bindings(s.get());
        return s.get();
    }
    Statement statement(const char* sql) {
        sqlite3_stmt* s = nullptr;
        if (sqlite3_prepare_v2(db_.get(), sql, -1, &s, nullptr) != SQLITE_OK) return nullptr;
        return Statement(s);
    }
    static void bind(sqlite3_stmt* s, int index, const std::string& value) {
        sqlite3_bind_text64(s, index, value.data(), value.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
    }
    static std::string text(sqlite3_stmt* s, int column) {
        const auto* bytes = reinterpret_cast<const char*>(sqlite3_column_text(s, column));
        return bytes ? std::string(bytes, static_cast<std::size_t>(sqlite3_column_bytes(s, column)))
                     : std::string();
    }

    std::unique_ptr<sqlite3, CloseDatabase> db_;
    std::map<std::string, Statement> cache_;  // before db_ is closed, the statements go
    DaySums pendingDays_;                     // the open transaction's
    std::mutex mutex_;
    const WriteSteps steps_{[this] { return exec("BEGIN IMMEDIATE"); },
                            [this] { return commit(); },
                            [this] { pendingDays_.clear(), exec("ROLLBACK"); },
                            [this](const Received& r) { return addInTransaction(r); },
                            {}};
    ReportBatches batches_{[this](const auto& batch, auto& results) { write(batch, results); }};
};

}  // namespace

std::unique_ptr<Store> openSqliteStore(const std::string& path, std::string& error) {
    sqlite3* db = nullptr;
    // No lock of SQLite's own: every use of the connection holds the store's mutex.
    const int opened =
        sqlite3_open_v2(path.c_str(), &db,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
    auto store = std::make_unique<SqliteStore>(db);  // owns db even when opening failed
    if (opened != SQLITE_OK) {
        error = path + ": " + store->lastError();
        return nullptr;
    }
    if (!store->prepare(error)) {
        error = path + ": " + error;
        return nullptr;
    }
    return store;
}

}  // namespace tallyvane::collector
