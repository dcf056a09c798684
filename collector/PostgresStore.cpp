// The fleet store: a PostgreSQL database through libpq, with the server's own durability.
#include <libpq-fe.h>

#include <cstdlib>
#include <mutex>

#include "Store.h"

namespace tallyvane::collector {
namespace {

struct FinishConnection {
    void operator()(PGconn* c) const { PQfinish(c); }
};
struct ClearResult {
    void operator()(PGresult* r) const { PQclear(r); }
};
using Result = std::unique_ptr<PGresult, ClearResult>;

// Each entry is one schema version; a database holds the versions up to the one it records.
const char* const kMigrations[] = {
    "CREATE TABLE reports (id BIGSERIAL PRIMARY KEY, digest TEXT NOT NULL UNIQUE,"
    " received_at BIGINT NOT NULL, computer TEXT NOT NULL, domain TEXT NOT NULL,"
    " customer_id TEXT NOT NULL, resource_id TEXT NOT NULL, remoff_id TEXT NOT NULL,"
    " target TEXT NOT NULL, body BYTEA NOT NULL);"
    "CREATE TABLE usage (computer TEXT NOT NULL, app_definition_id TEXT NOT NULL,"
    " day TEXT NOT NULL, launches BIGINT NOT NULL, run_time BIGINT NOT NULL,"
    " last_used BIGINT NOT NULL, product_name TEXT NOT NULL, file_version TEXT NOT NULL,"
    " product_version TEXT NOT NULL, PRIMARY KEY (computer, app_definition_id, day));"
    "CREATE INDEX usage_by_app_day ON usage (app_definition_id, day);",
};

class PostgresStore final : public Store {
  public:
    explicit PostgresStore(PGconn* c) : connection_(c) {}

    bool prepare(std::string& error) {
        // Two collectors starting at once take turns at the migrations.
        if (!command("BEGIN") || !command("SELECT pg_advisory_xact_lock(2323)") ||
            !command("CREATE TABLE IF NOT EXISTS schema_version (version INTEGER NOT NULL)")) {
            return error = lastError(), false;
        }
        Result version = query("SELECT coalesce(max(version), 0) FROM schema_version", {});
        if (!version || PQntuples(version.get()) != 1) return error = lastError(), false;
        const long current = std::atol(PQgetvalue(version.get(), 0, 0));
        const auto known = static_cast<long>(std::size(kMigrations));
        if (current > known) {
            error = "the database has schema version " + std::to_string(current) +
                    ", newer than this program's " + std::to_string(known);
            return false;
        }
        for (auto v = current; v < known; ++v) {
            const std::string insert =
                "INSERT INTO schema_version VALUES (" + std::to_string(v + 1) + ")";
            if (!command(kMigrations[v]) || !command(insert.c_str())) {
                error = "migration to version " + std::to_string(v + 1) + ": " + lastError();
                return false;
            }
        }
        if (!command("COMMIT")) return error = lastError(), false;
        return true;
    }

    AddResult add(const Received& r) override {
        std::lock_guard lock(mutex_);
        // A server restarted since the last report: connect again rather than fail for good.
        if (PQstatus(connection_.get()) != CONNECTION_OK) PQreset(connection_.get());
        if (!command("BEGIN")) return AddResult::failed;
        const AddResult result = addInTransaction(r);
        if (result == AddResult::stored && command("COMMIT")) return AddResult::stored;
        command("ROLLBACK");
        return result == AddResult::duplicate ? AddResult::duplicate : AddResult::failed;
    }

    std::optional<std::int64_t> reportCount() override {
        std::lock_guard lock(mutex_);
        Result r = query("SELECT count(*) FROM reports", {});
        if (!r || PQntuples(r.get()) != 1) return std::nullopt;
        return std::atoll(PQgetvalue(r.get(), 0, 0));
    }

    std::optional<std::vector<StoredDay>> days() override {
        std::lock_guard lock(mutex_);
        Result r = query(
            "SELECT computer, app_definition_id, day, launches, run_time, last_used,"
            " product_name, file_version, product_version FROM usage"
            " ORDER BY computer COLLATE \"C\", app_definition_id COLLATE \"C\", day",
            {});
        if (!r) return std::nullopt;
        std::vector<StoredDay> out;
        for (int row = 0; row < PQntuples(r.get()); ++row) {
            auto at = [&](int column) { return std::string(PQgetvalue(r.get(), row, column)); };
            StoredDay d;
            d.computer = at(0);
            d.use = {at(1),
                     at(2),
                     std::atoll(at(3).c_str()),
                     std::atoll(at(4).c_str()),
                     std::atoll(at(5).c_str()),
                     at(6),
                     at(7),
                     at(8)};
            out.push_back(std::move(d));
        }
        return out;
    }

    std::string lastError() override { return PQerrorMessage(connection_.get()); }

  private:
    AddResult addInTransaction(const Received& r) {
        const std::string received = std::to_string(r.receivedAt);
        Result report = query(
            "INSERT INTO reports (digest, received_at, computer, domain, customer_id,"
            " resource_id, remoff_id, target, body) VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9)"
            " ON CONFLICT (digest) DO NOTHING",
            {requestDigest(r.target, r.body), received, r.query.computer, r.query.domain,
             r.query.customerId, r.query.resourceId, r.query.remoffId, r.target, r.body},
            8);
        if (!report) return AddResult::failed;
        if (std::string_view(PQcmdTuples(report.get())) == "0") return AddResult::duplicate;
        for (const DayUse& d : r.days) {
            Result day = query(
                "INSERT INTO usage VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9)"
                " ON CONFLICT (computer, app_definition_id, day) DO UPDATE SET"
                " launches = usage.launches + excluded.launches,"
                " run_time = usage.run_time + excluded.run_time,"
                " last_used = greatest(usage.last_used, excluded.last_used),"
                " product_name = CASE WHEN excluded.last_used >= usage.last_used"
                " THEN excluded.product_name ELSE usage.product_name END,"
                " file_version = CASE WHEN excluded.last_used >= usage.last_used"
                " THEN excluded.file_version ELSE usage.file_version END,"
                " product_version = CASE WHEN excluded.last_used >= usage.last_used"
                " THEN excluded.product_version ELSE usage.product_version END",
                {r.query.computer, d.appDefinitionId, d.day, std::to_string(d.launches),
                 std::to_string(d.runTime), std::to_string(d.lastUsed), d.productName,
                 d.fileVersion, d.productVersion});
            if (!day) return AddResult::failed;
        }
        return AddResult::stored;
    }

    bool command(const char* sql) {
        Result r(PQexec(connection_.get(), sql));
        const auto status = r ? PQresultStatus(r.get()) : PGRES_FATAL_ERROR;
        return status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK;
    }
    // Runs sql with its parameters as text, the one at binaryIndex (if any) as bytes; nothing
    // on failure.
    Result query(const char* sql, const std::vector<std::string>& parameters,
                 int binaryIndex = -1) {
        std::vector<const char*> values;
        std::vector<int> lengths, formats;
        for (std::size_t i = 0; i < parameters.size(); ++i) {
            values.push_back(parameters[i].data());
            lengths.push_back(static_cast<int>(parameters[i].size()));
            formats.push_back(static_cast<int>(i) == binaryIndex ? 1 : 0);
        }
        Result r(PQexecParams(connection_.get(), sql, static_cast<int>(parameters.size()), nullptr,
                              values.data(), lengths.data(), formats.data(), 0));
        const auto status = r ? PQresultStatus(r.get()) : PGRES_FATAL_ERROR;
        if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) return nullptr;
        return r;
    }

    std::unique_ptr<PGconn, FinishConnection> connection_;
    std::mutex mutex_;
};

}  // namespace

std::unique_ptr<Store> openPostgresStore(const std::string& connection, std::string& error) {
    PGconn* c = PQconnectdb(connection.c_str());
    auto store = std::make_unique<PostgresStore>(c);  // owns c even when connecting failed
    if (c == nullptr || PQstatus(c) != CONNECTION_OK) {
        error = c ? PQerrorMessage(c) : "out of memory";
        return nullptr;
    }
    // Notices ("already exists, skipping") are not faults; they would only clutter the log.
    PQsetNoticeProcessor(
        c, [](void*, const char*) {}, nullptr);
    if (!store->prepare(error)) return nullptr;
    return store;
}

}  // namespace tallyvane::collector
