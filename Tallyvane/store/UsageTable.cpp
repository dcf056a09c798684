#include "store/UsageTable.h"

namespace tallyvane {

UsageTable::UsageTable() : queue_("com.appmonitor.plistaccessQueue") {}

UsageRecord UsageTable::get(const std::string& name) {
    UsageRecord result;
    queue_.sync([&] {
        if (auto it = records_.find(name); it != records_.end()) result = it->second;
    });
    return result;
}

void UsageTable::put(std::string name, UsageRecord record) {
    queue_.asyncBarrier([this, name = std::move(name), record = std::move(record)]() mutable {
        records_.insert_or_assign(std::move(name), std::move(record));
    });
}

UsageRecords UsageTable::snapshot() {
    UsageRecords result;
    queue_.sync([&] { result = records_; });
    return result;
}

void UsageTable::replace(UsageRecords records) {
    queue_.syncBarrier([&] { records_ = std::move(records); });
}

bool UsageTable::logTo(LogSink& log, std::string_view head) {
    bool empty = false;
    std::string text;
    inspect([&](const UsageRecords& records) {
        empty = records.empty();
        text = renderTable(records);
    });
    log.write(head, text);
    return empty;
}

}  // namespace tallyvane
