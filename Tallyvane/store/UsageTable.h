#pragma once
#include <map>
#include <string>
#include <string_view>

#include "base/LogSink.h"
#include "store/AccessQueue.h"
#include "usage/UsageRecord.h"

namespace tallyvane {

// The in-memory usage table. Every access after start-up goes through its queue, labelled
// "com.appmonitor.plistaccessQueue": reads wait, writes are queued, replacements are waited for.
class UsageTable {
  public:
    UsageTable();

    // A copy of the record under name, or an empty record. Waits for earlier writes.
    UsageRecord get(const std::string& name);
    // Stores record under name, replacing what was there whole. Returns at once.
    void put(std::string name, UsageRecord record);
    // A copy of the whole table. Waits for earlier writes.
    UsageRecords snapshot();
    // Runs look on the whole table where it is, after earlier writes, and returns after it.
    template <typename Look>
    void inspect(Look&& look) {
        queue_.sync([&] { look(static_cast<const UsageRecords&>(records_)); });
    }
    // Replaces the whole table; returns after the replacement.
    void replace(UsageRecords records);

    // Logs head and the whole table, read where it is (a copy at 10,000 records is megabytes,
    // made at every launch and termination); whether the table was empty.
    bool logTo(LogSink& log, std::string_view head);

    const std::string& label() const { return queue_.label(); }

  private:
    UsageRecords records_;  // touched only on queue_
    AccessQueue queue_;     // declared last: its thread stops before records_ goes
};

}  // namespace tallyvane
