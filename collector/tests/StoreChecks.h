#pragma once
// What every store must do, run against each real database.
#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include "Store.h"

namespace tallyvane::collector {

inline Received receivedReport(std::string computer, std::vector<DayUse> days,
                               std::string body = "body") {
    const ReportQuery query{computer, "WORKGROUP", "7", "0", "3", "1"};
    return {"/invswmetering?computer=" + computer, std::move(body), query, std::move(days), 1000};
}

// Stores, refuses a repeat, sums days across reports and keeps them over a reopening.
inline void checkStore(const std::function<std::unique_ptr<Store>()>& open) {
    auto store = open();
    ASSERT_TRUE(store);
    const DayUse monday{"A1", "2024-05-06", 2, 100, 1715000000, "Edit & \"Go\"", "1", "1.0"};
    const DayUse tuesday{"A1", "2024-05-07", 0, 86400, 1715086400, "Edit & \"Go\"", "1", "1.0"};
    const auto first = receivedReport("mac-01", {monday, tuesday});
    EXPECT_EQ(store->add(first), AddResult::stored);
    EXPECT_EQ(store->add(first), AddResult::duplicate);
    // Monday again, later and in a new version; the same target with another body is new.
    DayUse later = monday;
    later.launches = 1, later.runTime = 5, later.lastUsed += 60, later.productVersion = "2.0";
    EXPECT_EQ(store->add(receivedReport("mac-01", {later}, "other body")), AddResult::stored);
    // An earlier report of the same day arriving last does not take over the names.
    DayUse earlier = monday;
    earlier.lastUsed -= 60, earlier.productVersion = "0.9";
    EXPECT_EQ(store->add(receivedReport("mac-01", {earlier}, "third")), AddResult::stored);
    EXPECT_EQ(store->add(receivedReport("mac-02\n", {monday})), AddResult::stored);

    DayUse mondaySum = later;
    mondaySum.launches = 5, mondaySum.runTime = 205;
    const std::vector<StoredDay> expected = {
        {"mac-01", mondaySum}, {"mac-01", tuesday}, {"mac-02\n", monday}};
    EXPECT_EQ(store->days(), expected);
    EXPECT_EQ(store->reportCount(), 4);

    store.reset();
    store = open();  // the migrations find their work done
    ASSERT_TRUE(store);
    EXPECT_EQ(store->days(), expected);
    EXPECT_EQ(store->add(first), AddResult::duplicate);
}

}  // namespace tallyvane::collector
