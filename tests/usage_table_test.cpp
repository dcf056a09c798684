// The usage table's queue: read-after-write, later write wins whole, readers on other threads.
#include <atomic>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "store/AccessQueue.h"
#include "store/UsageTable.h"

using namespace tallyvane;
using plist::Value;

TEST(UsageTable, RecordsAreValuesReplacedWhole) {
    UsageTable table;
    EXPECT_EQ(table.label(), "com.appmonitor.plistaccessQueue");
    UsageRecord record = table.get("Safari");
    EXPECT_TRUE(record.empty());
    record["TOTAL_RUN_COUNT"] = Value(1);
    record["LAUNCH_TIME"] = Value(100);
    EXPECT_TRUE(table.get("Safari").empty());  // a changed copy is not stored
    table.put("Safari", record);
    EXPECT_EQ(table.get("Safari"), record);
    table.put("Safari", UsageRecord{{"TOTAL_RUN_COUNT", Value(2)}});
    EXPECT_EQ(table.get("Safari"), (UsageRecord{{"TOTAL_RUN_COUNT", Value(2)}}));
    table.replace(UsageRecords{{"Mail", UsageRecord{}}});
    auto all = table.snapshot();
    EXPECT_EQ(all.size(), 1u);
    EXPECT_TRUE(all.count("Mail"));
}

// One writer thread puts increasing counts; it must always read its own last put, and readers on
// other threads must never see a count go backwards.
TEST(UsageTable, OrderHoldsAcrossThreads) {
    constexpr int kWrites = 2000;
    UsageTable table;
    std::atomic<bool> done{false};
    std::atomic<int> regressions{0};
    std::vector<std::thread> readers;
    for (int r = 0; r < 3; ++r) {
        readers.emplace_back([&, r] {
            std::int64_t last = -1;
            while (!done.load()) {
                auto record = r == 0 ? table.snapshot()["App"] : table.get("App");
                auto count = plist::integerFor(record, "TOTAL_RUN_COUNT");
                if (!count) continue;
                if (*count < last) ++regressions;
                last = *count;
            }
        });
    }
    for (int i = 0; i < kWrites; ++i) {
        table.put("App", UsageRecord{{"TOTAL_RUN_COUNT", Value(i)}, {"writer", Value("main")}});
        if (i % 7 == 0) {
            ASSERT_EQ(plist::integerFor(table.get("App"), "TOTAL_RUN_COUNT"), i);
        }
    }
    EXPECT_EQ(plist::integerFor(table.get("App"), "TOTAL_RUN_COUNT"), kWrites - 1);
    done = true;
    for (auto& t : readers) t.join();
    EXPECT_EQ(regressions.load(), 0);
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
