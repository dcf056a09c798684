// The fleet store: a PostgreSQL database through libpq, with the server's own durability.
#include <libpq-fe.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <map>
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
    // The overview's summaries: per app definition and computer its last day and use, per app
    // definition, day and shard the day's sums.
    "CREATE TABLE app_computers (app_definition_id TEXT NOT NULL, computer TEXT NOT NULL,"
    " last_day TEXT NOT NULL, last_used BIGINT NOT NULL,"
    " PRIMARY KEY (app_definition_id, computer));"
    "CREATE TABLE app_days (app_definition_id TEXT NOT NULL, day TEXT NOT NULL,"
    " shard INTEGER NOT NULL, launches BIGINT NOT NULL, run_time BIGINT NOT NULL,"
    " last_used BIGINT NOT NULL, product_name TEXT NOT NULL,"
    " PRIMARY KEY (app_definition_id, day, shard));"
    "INSERT INTO app_computers SELECT app_definition_id, computer, max(day), max(last_used)"
    " FROM usage GROUP BY app_definition_id, computer;"
    "INSERT INTO app_days SELECT app_definition_id, day, 0, sum(launches), sum(run_time),"
    " max(last_used), (array_agg(product_name ORDER BY last_used DESC))[1] FROM usage"
    " GROUP BY app_definition_id, day;",
    // Per app definition and last day, how many computers have that day as their last: the
    // overview then counts users and candidates over days, not over computers. previous_day is
    // the last day an update replaced, so that the report moving it knows what it moved.
    "ALTER TABLE app_computers ADD COLUMN previous_day TEXT;"
    // A report's body compressed at a tenth of the cost of the default method, where the server
    // has it (from PostgreSQL 14, built with lz4); elsewhere the default method stays.
    "DO $$ BEGIN EXECUTE 'ALTER TABLE reports ALTER COLUMN body SET COMPRESSION lz4';"
    " EXCEPTION WHEN OTHERS THEN NULL; END $$;"
    "CREATE TABLE app_last_days (app_definition_id TEXT NOT NULL, last_day TEXT NOT NULL,"
    " computers BIGINT NOT NULL, PRIMARY KEY (app_definition_id, last_day));"
    "INSERT INTO app_last_days SELECT app_definition_id, last_day, count(*) FROM app_computers"
    " GROUP BY app_definition_id, last_day;"
    // One row of day sums per app definition and day: one writer per collector waits on no
    // other, and the overview reads a sixteenth of the rows.
    "CREATE TABLE app_day_sums (app_definition_id TEXT NOT NULL, day TEXT NOT NULL,"
    " launches BIGINT NOT NULL, run_time BIGINT NOT NULL, last_used BIGINT NOT NULL,"
    " product_name TEXT NOT NULL, PRIMARY KEY (app_definition_id, day));"
    "INSERT INTO app_day_sums SELECT app_definition_id, day, sum(launches), sum(run_time),"
    " max(last_used), (array_agg(product_name ORDER BY last_used DESC))[1] FROM app_days"
    " GROUP BY app_definition_id, day;"
    "DROP TABLE app_days; ALTER TABLE app_day_sums RENAME TO app_days;",
};

// A PostgreSQL array literal of the texts: each element quoted, '"' and '\\' escaped.
std::string arrayLiteral(const std::vector<std::string>& items) {
    std::string out = "{";
    for (const std::string& item : items) {
        if (out.size() > 1) out += ',';
        out += '"';
        for (const char c : item) {
            if (c == '"' || c == '\\') out += '\\';
            out += c;
        }
        out += '"';
    }
    return out + "}";
}

// bytea in the server's hex output ("\\x" and two digits a byte).
std::string fromHex(std::string_view text) {
    const auto digit = [](char c) { return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10; };
    std::string out;
    for (std::size_t i = 2; i + 1 < text.size(); i += 2) {
        out += static_cast<char>(digit(text[i]) * 16 + digit(text[i + 1]));
    }
    return out;
}

// The report, its days and its computer's last days in one statement: one round trip. Nothing
// but the report row is written when the report was stored before.
const char* const kAddReport =
    "WITH report AS (INSERT INTO reports (digest, received_at, computer, domain, customer_id,"
    " resource_id, remoff_id, target, body) VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9)"
    " ON CONFLICT (digest) DO NOTHING RETURNING id),"
    " incoming AS (SELECT * FROM unnest($10::text[], $11::text[], $12::bigint[], $13::bigint[],"
    " $14::bigint[], $15::text[], $16::text[], $17::text[]) AS t(app, day, launches, run_time,"
    " last_used, product_name, file_version, product_version) WHERE EXISTS (SELECT FROM report)),"
    " days AS (INSERT INTO usage SELECT $3::text, app, day, launches, run_time, last_used, "
    "product_name,"
    " file_version, product_version FROM incoming"
    " ON CONFLICT (computer, app_definition_id, day) DO UPDATE SET"
    " launches = usage.launches + excluded.launches,"
    " run_time = usage.run_time + excluded.run_time,"
    " last_used = greatest(usage.last_used, excluded.last_used),"
    " product_name = CASE WHEN excluded.last_used >= usage.last_used"
    " THEN excluded.product_name ELSE usage.product_name END,"
    " file_version = CASE WHEN excluded.last_used >= usage.last_used"
    " THEN excluded.file_version ELSE usage.file_version END,"
    " product_version = CASE WHEN excluded.last_used >= usage.last_used"
    " THEN excluded.product_version ELSE usage.product_version END),"
    " app_computer AS (INSERT INTO app_computers AS a SELECT app, $3::text, max(day),"
    " max(last_used) FROM incoming GROUP BY app ON CONFLICT (app_definition_id, computer)"
    " DO UPDATE SET previous_day = a.last_day, last_day = greatest(a.last_day, excluded.last_day),"
    " last_used = greatest(a.last_used, excluded.last_used)"
    " RETURNING app_definition_id AS app, last_day, previous_day)"
    // A row without an app definition says the report is new; the others which last days moved.
    " SELECT NULL, NULL, NULL FROM report UNION ALL"
    " SELECT app, last_day, previous_day FROM app_computer WHERE last_day IS DISTINCT FROM"
    " previous_day";

inline constexpr int kWriters = 2;

// A session of its own for each writer, with what its open transaction is to add at commit.
struct Session {
    std::unique_ptr<PGconn, FinishConnection> connection;
    bool prepared = false;  // the report's statement, planned once per connection
    std::mutex mutex;
    DaySums pendingDays;
    std::map<std::pair<std::string, std::string>, std::int64_t> pendingLastDays;
};

class PostgresStore final : public Store {
  public:
    // Owns each connection, also one that failed.
    explicit PostgresStore(std::vector<PGconn*> connections) {
        for (PGconn* c : connections) {
            sessions_.push_back(std::make_unique<Session>());
            sessions_.back()->connection.reset(c);
        }
    }

    bool prepare(std::string& error) {
        Session& s = *sessions_[0];
        // Two collectors starting at once take turns at the migrations.
        if (!command(s, "BEGIN") || !command(s, "SELECT pg_advisory_xact_lock(2323)") ||
            !command(s, "CREATE TABLE IF NOT EXISTS schema_version (version INTEGER NOT NULL)")) {
            return error = PQerrorMessage(s.connection.get()), false;
        }
        Result version = query(s, "SELECT coalesce(max(version), 0) FROM schema_version", {});
        if (!version || PQntuples(version.get()) != 1)
            return error = PQerrorMessage(s.connection.get()), false;
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
            if (!command(s, kMigrations[v]) || !command(s, insert.c_str())) {
                error = "migration to version " + std::to_string(v + 1) + ": " +
                        PQerrorMessage(s.connection.get());
                return false;
            }
        }
        if (!command(s, "COMMIT")) return error = PQerrorMessage(s.connection.get()), false;
        return true;
    }

    AddResult add(const Received& r) override { return batches_.add(r); }

    std::optional<std::int64_t> reportCount() override {
        Session& s = *sessions_[0];
        std::lock_guard lock(s.mutex);
        Result r = query(s, "SELECT count(*) FROM reports", {});
        if (!r || PQntuples(r.get()) != 1) return std::nullopt;
        return std::atoll(PQgetvalue(r.get(), 0, 0));
    }

    std::optional<std::vector<StoredDay>> days(const DayFilter& only) override {
        Session& s = *sessions_[0];
        std::lock_guard lock(s.mutex);
        // Conditions only for the fields given, so that the planner can use an index.
        std::string sql =
            "SELECT computer, app_definition_id, day, launches, run_time, last_used,"
            " product_name, file_version, product_version FROM usage WHERE true";
        std::vector<std::string> parameters;
        if (!only.appDefinitionId.empty()) {
            parameters.push_back(only.appDefinitionId);
            sql += " AND app_definition_id = $" + std::to_string(parameters.size());
        }
        if (!only.computer.empty()) {
            parameters.push_back(only.computer);
            sql += " AND computer = $" + std::to_string(parameters.size());
        }
        sql += " ORDER BY computer COLLATE \"C\", app_definition_id COLLATE \"C\", day";
        Result r = query(s, sql.c_str(), parameters);
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

    std::optional<std::vector<AppSummary>> summary(const std::string& fromDay) override {
        Session& s = *sessions_[0];
        std::lock_guard lock(s.mutex);
        Result r = query(
            s,
            "WITH c AS (SELECT app_definition_id AS app, coalesce(sum(computers) FILTER (WHERE"
            " last_day >= $1), 0) AS users, coalesce(sum(computers) FILTER (WHERE last_day < $1),"
            " 0) AS idle FROM app_last_days GROUP BY app_definition_id),"
            " w AS (SELECT app_definition_id AS app, sum(launches) AS launches,"
            " sum(run_time) AS run_time FROM app_days WHERE day >= $1 GROUP BY app_definition_id),"
            // The latest use of an app definition is that of its latest day.
            " n AS (SELECT DISTINCT ON (app_definition_id) app_definition_id AS app, product_name,"
            " last_used FROM app_days ORDER BY app_definition_id, last_used DESC)"
            " SELECT c.app, coalesce(n.product_name, ''), c.users, c.idle,"
            " coalesce(w.launches, 0), coalesce(w.run_time, 0), coalesce(n.last_used, 0)"
            " FROM c LEFT JOIN w USING (app) LEFT JOIN n USING (app) ORDER BY c.app COLLATE \"C\"",
            {fromDay});
        if (!r) return std::nullopt;
        std::vector<AppSummary> out;
        for (int row = 0; row < PQntuples(r.get()); ++row) {
            auto at = [&](int column) { return PQgetvalue(r.get(), row, column); };
            out.push_back({at(0), at(1), std::atoi(at(2)), std::atoi(at(3)), std::atoll(at(4)),
                           std::atoll(at(5)), std::atoll(at(6))});
        }
        return out;
    }

    bool forEachReport(const std::function<bool(const Received&)>& each) override {
        Session& s = *sessions_[0];
        std::lock_guard lock(s.mutex);
        // A page at a time, so that the bodies of a large database need not fit in memory.
        for (std::string after = "0";;) {
            Result r =
                query(s,
                      "SELECT id, target, body, received_at FROM reports WHERE id > $1::bigint"
                      " ORDER BY id LIMIT 1000",
                      {after});
            if (!r) return false;
            if (PQntuples(r.get()) == 0) return true;
            for (int row = 0; row < PQntuples(r.get()); ++row) {
                Received report;
                report.target = PQgetvalue(r.get(), row, 1);
                report.body = fromHex(PQgetvalue(r.get(), row, 2));
                report.receivedAt = std::atoll(PQgetvalue(r.get(), row, 3));
                if (!each(report)) return true;
                after = PQgetvalue(r.get(), row, 0);
            }
        }
    }

    std::string lastError() override {
        Session& s = *sessions_[lastFailed_.load()];
        std::lock_guard lock(s.mutex);  // a connection is one thread's at a time
        return PQerrorMessage(s.connection.get());
    }

  private:
    // Two writers, each on a session of its own: one's commit waits on the disk while the
    // other's reports go in.
    void write(const std::vector<const Received*>& batch, std::vector<AddResult>& results) {
        // A free session, else (a reader holds the first) wait for one without spinning.
        std::size_t i = 0;
        while (i < sessions_.size() && !sessions_[i]->mutex.try_lock()) ++i;
        if (i == sessions_.size()) {
            i = sessions_.size() - 1;
            sessions_[i]->mutex.lock();
        }
        Session& s = *sessions_[i];
        std::lock_guard lock(s.mutex, std::adopt_lock);
        // A server restarted since the last report: connect again rather than fail for good.
        if (PQstatus(s.connection.get()) != CONNECTION_OK) {
            PQreset(s.connection.get());
            s.prepared = false;  // a new session knows no prepared statement
        }
        const WriteSteps steps{[&] { return command(s, "BEGIN"); },
                               [&] { return commit(s); },
                               [&] {
                                   s.pendingDays.clear(), s.pendingLastDays.clear();
                                   command(s, "ROLLBACK");
                               },
                               [&](const Received& r) { return addOne(s, r); },
                               {}};
        writeBatch(steps, batch, results);
        for (const AddResult result : results) {
            if (result == AddResult::failed) lastFailed_ = static_cast<int>(i);
        }
    }

    AddResult addOne(Session& s, const Received& r) {
        // In one order, so that two reports sharing rows lock them in the same order.
        std::vector<const DayUse*> sorted;
        for (const DayUse& d : r.days) sorted.push_back(&d);
        std::ranges::sort(sorted, [](const DayUse* a, const DayUse* b) {
            return std::tie(a->appDefinitionId, a->day) < std::tie(b->appDefinitionId, b->day);
        });
        std::vector<std::string> columns[8];
        for (const DayUse* d : sorted) {
            const std::string values[] = {d->appDefinitionId,
                                          d->day,
                                          std::to_string(d->launches),
                                          std::to_string(d->runTime),
                                          std::to_string(d->lastUsed),
                                          d->productName,
                                          d->fileVersion,
                                          d->productVersion};
            for (int i = 0; i < 8; ++i) columns[i].push_back(values[i]);
        }
        std::vector<std::string> parameters = {requestDigest(r.target, r.body),
                                               std::to_string(r.receivedAt),
                                               r.query.computer,
                                               r.query.domain,
                                               r.query.customerId,
                                               r.query.resourceId,
                                               r.query.remoffId,
                                               r.target,
                                               r.body};
        for (const auto& column : columns) parameters.push_back(arrayLiteral(column));
        Result added = query(s, kAddReport, parameters, 8);
        if (!added) return AddResult::failed;
        bool stored = false;
        for (int row = 0; row < PQntuples(added.get()); ++row) {
            if (PQgetisnull(added.get(), row, 0)) {
                stored = true;
                continue;
            }
            // A computer new to the app definition adds one at its day; one whose last day
            // moved, one at the new day and minus one at the old.
            const std::string app = PQgetvalue(added.get(), row, 0);
            ++s.pendingLastDays[{app, PQgetvalue(added.get(), row, 1)}];
            if (!PQgetisnull(added.get(), row, 2))
                --s.pendingLastDays[{app, PQgetvalue(added.get(), row, 2)}];
        }
        if (!stored) return AddResult::duplicate;
        addDaySums(s.pendingDays, r.days);
        return AddResult::stored;
    }

    // The transaction's sums of days and of last days, a statement each, then its commit. The
    // rows many reports share are locked only here, in key order, so two writers seldom wait.
    bool commit(Session& s) {
        std::vector<std::string> days[6], lastDays[3];
        for (const auto& [key, d] : s.pendingDays) {
            const std::string values[] = {d.appDefinitionId,          d.day,
                                          std::to_string(d.launches), std::to_string(d.runTime),
                                          std::to_string(d.lastUsed), d.productName};
            for (int i = 0; i < 6; ++i) days[i].push_back(values[i]);
        }
        for (const auto& [key, change] : s.pendingLastDays) {
            if (change == 0) continue;
            lastDays[0].push_back(key.first);
            lastDays[1].push_back(key.second);
            lastDays[2].push_back(std::to_string(change));
        }
        s.pendingDays.clear();
        s.pendingLastDays.clear();
        const auto run = [&](const char* sql, const std::vector<std::string>* columns, int n) {
            if (columns[0].empty()) return true;
            std::vector<std::string> parameters;
            for (int i = 0; i < n; ++i) parameters.push_back(arrayLiteral(columns[i]));
            return query(s, sql, parameters) != nullptr;
        };
        return run("INSERT INTO app_days AS s SELECT * FROM unnest($1::text[], $2::text[],"
                   " $3::bigint[], $4::bigint[], $5::bigint[], $6::text[])"
                   " ON CONFLICT (app_definition_id, day) DO UPDATE SET"
                   " launches = s.launches + excluded.launches,"
                   " run_time = s.run_time + excluded.run_time,"
                   " last_used = greatest(s.last_used, excluded.last_used),"
                   " product_name = CASE WHEN excluded.last_used >= s.last_used"
                   " THEN excluded.product_name ELSE s.product_name END",
                   days, 6) &&
               run("INSERT INTO app_last_days AS h SELECT * FROM unnest($1::text[], $2::text[],"
                   " $3::bigint[]) ON CONFLICT (app_definition_id, last_day)"
                   " DO UPDATE SET computers = h.computers + excluded.computers",
                   lastDays, 3) &&
               command(s, "COMMIT");
    }

    static bool command(Session& s, const char* sql) {
        Result r(PQexec(s.connection.get(), sql));
        const auto status = r ? PQresultStatus(r.get()) : PGRES_FATAL_ERROR;
        return status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK;
    }
    // Runs sql with its parameters as text, the one at binaryIndex (if any) as bytes; nothing
    // on failure.
    static Result query(Session& s, const char* sql, const std::vector<std::string>& parameters,
                        int binaryIndex = -1) {
        std::vector<const char*> values;
        std::vector<int> lengths, formats;
        for (std::size_t i = 0; i < parameters.size(); ++i) {
            values.push_back(parameters[i].data());
            lengths.push_back(static_cast<int>(parameters[i].size()));
            formats.push_back(static_cast<int>(i) == binaryIndex ? 1 : 0);
        }
        const int count = static_cast<int>(parameters.size());
        PGconn* c = s.connection.get();
        if (sql == kAddReport && !s.prepared) {
            Result made(PQprepare(c, "add_report", sql, count, nullptr));
            s.prepared = made && PQresultStatus(made.get()) == PGRES_COMMAND_OK;
        }
        Result r(sql == kAddReport && s.prepared
                     ? PQexecPrepared(c, "add_report", count, values.data(), lengths.data(),
                                      formats.data(), 0)
                     : PQexecParams(c, sql, count, nullptr, values.data(), lengths.data(),
                                    formats.data(), 0));
        const auto status = r ? PQresultStatus(r.get()) : PGRES_FATAL_ERROR;
        if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) return nullptr;
        return r;
    }

    std::vector<std::unique_ptr<Session>> sessions_;
    std::atomic<int> lastFailed_{0};  // the session whose error lastError() tells
    ReportBatches batches_{[this](const auto& batch, auto& results) { write(batch, results); },
                           kWriters};
};

}  // namespace

std::unique_ptr<Store> openPostgresStore(const std::string& connection, std::string& error) {
    std::vector<PGconn*> connections;
    for (int i = 0; i < kWriters; ++i) connections.push_back(PQconnectdb(connection.c_str()));
    auto store = std::make_unique<PostgresStore>(connections);  // owns them even when failed
    for (PGconn* c : connections) {
        if (c == nullptr || PQstatus(c) != CONNECTION_OK) {
            error = c ? PQerrorMessage(c) : "out of memory";
            return nullptr;
        }
        // Notices ("already exists, skipping") are not faults; they would only clutter the log.
        PQsetNoticeProcessor(
            c, [](void*, const char*) {}, nullptr);
    }
    if (!store->prepare(error)) return nullptr;
    return store;
}

}  // namespace tallyvane::collector
