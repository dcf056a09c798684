#pragma once
// Where the collector keeps reports: one interface, an SQLite file or a PostgreSQL database.
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Days.h"
#include "Report.h"

namespace tallyvane::collector {

// A report as received, with what was read from it.
struct Received {
    std::string target;  // the request target, still percent-encoded
    std::string body;
    ReportQuery query;
    std::vector<DayUse> days;
    std::int64_t receivedAt = 0;  // seconds since 1970
};

// The stored figures of one computer, app definition and day, summed over its reports.
struct StoredDay {
    std::string computer;
    DayUse use;
    bool operator==(const StoredDay&) const = default;
};

// One app definition over a window of days.
struct AppSummary {
    std::string appDefinitionId, productName;  // the name of its latest use
    int computersUsing = 0;
    int reclaimCandidates = 0;  // reported it, no use in the window
    std::int64_t launches = 0, runTime = 0, lastUsed = 0;
    bool operator==(const AppSummary&) const = default;
};

// Which stored days to read; an empty field matches any.
struct DayFilter {
    std::string appDefinitionId, computer;
};

enum class AddResult { stored, duplicate, failed };

// Every operation is safe to call from several threads; none throws.
class Store {
  public:
    virtual ~Store() = default;
    // Stores the report and its days in one transaction: stored means durably on disk;
    // duplicate means the same target and body were stored before, so nothing changed.
    virtual AddResult add(const Received& report) = 0;
    // How many reports are stored; nothing when the database cannot answer.
    virtual std::optional<std::int64_t> reportCount() = 0;
    // The stored days that match, ordered by computer, app definition and day (bytewise).
    virtual std::optional<std::vector<StoredDay>> days(const DayFilter& only) = 0;
    std::optional<std::vector<StoredDay>> days() { return days(DayFilter{}); }
    // Per app definition (bytewise order), the window from fromDay (YYYY-MM-DD) on, from the
    // summaries kept on insert, so its cost does not grow with the stored days.
    virtual std::optional<std::vector<AppSummary>> summary(const std::string& fromDay) = 0;
    // Calls each with every stored report in the order received (target, body and receivedAt
    // set), until it returns false; false when the database cannot answer.
    virtual bool forEachReport(const std::function<bool(const Received&)>& each) = 0;
    // The last error, for the log.
    virtual std::string lastError() = 0;
};

// Group commit: reports that arrive while a transaction is being written wait and then go into
// the next one together, so that one disk sync serves them all. Waiting callers write the
// batches, up to writers at once; write(batch, results) stores batch and fills results one for
// one, and is answered only once that is durable.
class ReportBatches {
  public:
    using Write = std::function<void(const std::vector<const Received*>&, std::vector<AddResult>&)>;
    explicit ReportBatches(Write write, int writers = 1)
        : write_(std::move(write)), writers_(writers) {}
    AddResult add(const Received& report);

  private:
    struct Waiting {
        const Received* report;
        std::optional<AddResult> result;
    };
    Write write_;
    std::mutex mutex_;
    std::condition_variable done_;
    std::deque<Waiting*> queue_;
    const int writers_;
    int writing_ = 0;  // batches being written
};
inline constexpr std::size_t kMaxBatch = 64;

// How a store writes reports: a transaction begun, committed (durably) or rolled back, a report
// added inside the open transaction, and a report in a transaction of its own (when not given:
// begin, add, commit).
struct WriteSteps {
    std::function<bool()> begin, commit;
    std::function<void()> rollback;
    std::function<AddResult(const Received&)> add, alone;
};

// The batch in one transaction; when that fails, each report alone, so that one bad report does
// not take the others with it. Fills results one for one.
void writeBatch(const WriteSteps& steps, const std::vector<const Received*>& batch,
                std::vector<AddResult>& results);

// Opens (creating when needed) and migrates the database named by where: a PostgreSQL
// connection string ("postgresql://..." or "key=value ...") or else an SQLite file path.
// Nothing, with why in error, when it cannot.
std::unique_ptr<Store> openStore(const std::string& where, std::string& error);

std::unique_ptr<Store> openSqliteStore(const std::string& path, std::string& error);
std::unique_ptr<Store> openPostgresStore(const std::string& connection, std::string& error);

// A transaction's sums per app definition and day, added to the day summaries at its commit:
// one row each, however many of its reports name it. The product name is that of the latest use.
using DaySums = std::map<std::pair<std::string, std::string>, DayUse>;
void addDaySums(DaySums& sums, const std::vector<DayUse>& days);

// SHA-256 of the target and body, in hex: how a repeated request is known.
std::string requestDigest(const std::string& target, const std::string& body);

}  // namespace tallyvane::collector
