// The embedded store: one SQLite file in WAL mode, each commit synced before it returns.
#include <sqlite3.h>

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
};

class SqliteStore final : public Store {
  public:
    explicit SqliteStore(sqlite3* db) : db_(db) {}

    bool prepare(std::string& error) {
        for (const char* setting :
             {"PRAGMA journal_mode=WAL", "PRAGMA synchronous=FULL", "PRAGMA foreign_keys=ON"}) {
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

    AddResult add(const Received& r) override {
        std::lock_guard lock(mutex_);
        if (!exec("BEGIN IMMEDIATE")) return AddResult::failed;
        const AddResult result = addInTransaction(r);
        if (result == AddResult::stored && exec("COMMIT")) return AddResult::stored;
        exec("ROLLBACK");
        return result == AddResult::duplicate ? AddResult::duplicate : AddResult::failed;
    }

    std::optional<std::int64_t> reportCount() override {
        std::lock_guard lock(mutex_);
        auto s = statement("SELECT count(*) FROM reports");
        if (!s || sqlite3_step(s.get()) != SQLITE_ROW) return std::nullopt;
        return sqlite3_column_int64(s.get(), 0);
    }

    std::optional<std::vector<StoredDay>> days() override {
        std::lock_guard lock(mutex_);
        auto s = statement(
            "SELECT computer, app_definition_id, day, launches, run_time, last_used,"
            " product_name, file_version, product_version FROM usage"
            " ORDER BY computer, app_definition_id, day");
        if (!s) return std::nullopt;
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

    std::string lastError() override { return sqlite3_errmsg(db_.get()); }

  private:
    AddResult addInTransaction(const Received& r) {
        auto report = statement(
            "INSERT INTO reports (digest, received_at, computer, domain, customer_id,"
            " resource_id, remoff_id, target, body) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9)"
            " ON CONFLICT (digest) DO NOTHING");
        if (!report) return AddResult::failed;
        bind(report.get(), 1, requestDigest(r.target, r.body));
        sqlite3_bind_int64(report.get(), 2, r.receivedAt);
        bind(report.get(), 3, r.query.computer);
        bind(report.get(), 4, r.query.domain);
        bind(report.get(), 5, r.query.customerId);
        bind(report.get(), 6, r.query.resourceId);
        bind(report.get(), 7, r.query.remoffId);
        bind(report.get(), 8, r.target);
        sqlite3_bind_blob64(report.get(), 9, r.body.data(), r.body.size(), SQLITE_TRANSIENT);
        if (sqlite3_step(report.get()) != SQLITE_DONE) return AddResult::failed;
        if (sqlite3_changes(db_.get()) == 0) return AddResult::duplicate;

        auto day = statement(
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
            sqlite3_reset(day.get());
            bind(day.get(), 1, r.query.computer);
            bind(day.get(), 2, d.appDefinitionId);
            bind(day.get(), 3, d.day);
            sqlite3_bind_int64(day.get(), 4, d.launches);
            sqlite3_bind_int64(day.get(), 5, d.runTime);
            sqlite3_bind_int64(day.get(), 6, d.lastUsed);
            bind(day.get(), 7, d.productName);
            bind(day.get(), 8, d.fileVersion);
            bind(day.get(), 9, d.productVersion);
            if (sqlite3_step(day.get()) != SQLITE_DONE) return AddResult::failed;
        }
        return AddResult::stored;
    }

    bool exec(const char* sql) {
        return sqlite3_exec(db_.get(), sql, nullptr, nullptr, nullptr) == SQLITE_OK;
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
    std::mutex mutex_;
};

}  // namespace

std::unique_ptr<Store> openSqliteStore(const std::string& path, std::string& error) {
    sqlite3* db = nullptr;
    const int opened = sqlite3_open_v2(
        path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
        nullptr);
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
