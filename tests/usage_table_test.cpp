// The usage table's queue: read-after-write, later write wins whole, readers on other threads.
#include <atomic>
#include <stdexcept>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "store/AccessQueue.h"
#include "store/UsageTable.h"

using namespace tallyvane;
using plist::Value;

// Odd writes carry a key that even ones lack, so a record mixing two writes shows.
TEST(UsageTable, OrderHoldsAcrossThreads) {
    UsageTable table;
    std::atomic<bool> done{false};
    std::atomic<int> faults{0};
    std::vector<std::thread> readers;
    for (int r = 0; r < 3; ++r) {
        readers.emplace_back([&, r] {
            std::int64_t last = -1;
            while (!done.load()) {
                auto record = r == 0 ? table.snapshot()["App"] : table.get("App");
                auto count = record.totalRunCount();
                if (!count) continue;
                if (*count < last || (record.string("odd") != nullptr) != (*count % 2 == 1))
                    ++faults;
                last = *count;
            }
        });
    }
    for (int i = 0; i < 2000; ++i) {
        UsageRecord record(plist::Dict{{"TOTAL_RUN_COUNT", Value(i)}});
        if (i % 2) record.set("odd", Value("yes"));
        table.put("App", record);
        if (table.get("App") != record) ++faults;  // a read after a write sees it, whole
    }
    done = true;
    for (auto& t : readers) t.join();
    EXPECT_EQ(faults.load(), 0);
    table.replace(UsageRecords{{"Mail", UsageRecord{}}});
    EXPECT_EQ(table.snapshot(), (UsageRecords{{"Mail", UsageRecord{}}}));
}

TEST(AccessQueue, DestructorDrainsAndSyncPassesFailuresBack) {
    int counter = 0;  // touched only by queued blocks, then read after the join
    {
        AccessQueue queue("test");
        for (int i = 0; i < 1000; ++i) queue.asyncBarrier([&] { ++counter; });
        queue.asyncBarrier([] { throw std::runtime_error("ignored"); });
        EXPECT_THROW(queue.sync([] { throw std::runtime_error("x"); }), std::runtime_error);
        for (int i = 0; i < 1000; ++i) queue.asyncBarrier([&] { ++counter; });
    }
    EXPECT_EQ(counter, 2000);
}
