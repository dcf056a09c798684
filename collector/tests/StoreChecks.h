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
    const DayUse later{"A1", "2024-05-06", 1, 5, 1715000060, "Edit 2", "1", "2.0"};
    EXPECT_EQ(store->add(receivedReport("mac-01", {later}, "other body")), AddResult::stored);
    // An earlier report of the same day arriving last does not take over the names.
    const DayUse earlier{"A1", "2024-05-06", 2, 100, 1714999940, "Old", "1", "0.9"};
    EXPECT_EQ(store->add(receivedReport("mac-01", {earlier}, "third")), AddResult::stored);
    // mac-02's last day of A1 moves from Sunday to Monday: no longer counted at Sunday.
    const DayUse sunday{"A1", "2024-05-05", 1, 10, 1714913600, "Edit & \"Go\"", "1", "1.0"};
    EXPECT_EQ(store->add(receivedReport("mac-02\n", {sunday}, "sunday")), AddResult::stored);
    const DayUse bee{"B2", "2024-05-08", 3, 30, 1715130000, "Bee", "", ""};
    EXPECT_EQ(store->add(receivedReport("mac-02\n", {monday, bee})), AddResult::stored);

    const DayUse mondaySum{"A1", "2024-05-06", 5, 205, 1715000060, "Edit 2", "1", "2.0"};
    const std::vector<StoredDay> expected = {{"mac-01", mondaySum},
                                             {"mac-01", tuesday},
                                             {"mac-02\n", sunday},
                                             {"mac-02\n", monday},
                                             {"mac-02\n", bee}};
    EXPECT_EQ(store->days(), expected);
    EXPECT_EQ(store->days({"B2", ""}), std::vector<StoredDay>{expected[4]});
    EXPECT_EQ(store->days({"A1", "mac-02\n"}),
              std::vector<StoredDay>(expected.begin() + 2, expected.begin() + 4));
    EXPECT_EQ(store->days({"", "mac-01"}),
              std::vector<StoredDay>(expected.begin(), expected.begin() + 2));
    EXPECT_EQ(store->reportCount(), 5);
    // Computers whose last day of an app definition is before the window are its candidates.
    const AppSummary b2{"B2", "Bee", 1, 0, 3, 30, 1715130000};
    const std::pair<std::string, std::vector<AppSummary>> windows[] = {
        {"2024-05-06", {{"A1", "Edit & \"Go\"", 2, 0, 7, 86705, 1715086400}, b2}},
        {"2024-05-07", {{"A1", "Edit & \"Go\"", 1, 1, 0, 86400, 1715086400}, b2}},
        {"2024-05-09",
         {{"A1", "Edit & \"Go\"", 0, 2, 0, 0, 1715086400}, {"B2", "Bee", 0, 1, 0, 0, 1715130000}}},
    };
    for (const auto& [from, apps] : windows) EXPECT_EQ(store->summary(from), apps) << from;

    store.reset();
    store = open();  // the migrations find their work done
    ASSERT_TRUE(store);
    EXPECT_EQ(store->days(), expected);
    EXPECT_EQ(store->add(first), AddResult::duplicate);
}

}  // namespace tallyvane::collector
