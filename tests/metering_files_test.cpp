// The metering file operations on real files, their log kept in memory.
#include <cstdint>
#include <filesystem>
#include <functional>
#include <limits>
#include <ranges>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "base/LogSink.h"
#include "store/MeteringFiles.h"
#include "support/AgentFixture.h"

namespace tallyvane::test {
namespace {

using namespace tallyvane::store;
using plist::Array;
using plist::Dict;
using plist::Value;
using testing::ElementsAre;
using testing::Key;

class MeteringFilesTest : public AgentFixture {
  protected:
    MemoryLogSink memoryLog, printed;
    store::MeteringFiles files{posixFileSystem(), memoryLog, printed};
    MeteringFilesTest() { readLogFrom(memoryLog); }

    // The lines run prints, each with its line feed.
    std::string printedBy(const std::function<void()>& run) {
        const std::size_t before = printed.lines().size();
        run();
        std::string out;
        for (const auto& line : printed.lines() | std::views::drop(before)) out += line + "\n";
        return out;
    }
};

const Dict kLaunchData{
    {"1", Dict{{"FileName", "Pro.appliance.app"},
               {"AppDefinitionId", "1"},
               {"TOTAL_RUN_COUNT", 3},
               {"LAST_USED", 99},
               {"TOTAL_RUN_TIME", 60.0},
               {"LAUNCH_TIME", 5},
               {"RUNNING_NO_OF_DAYS", 1},
               {"PRODUCT_VERSION", "2.0"}}},
    {"2", Dict{{"FileName", "Big.APP"}, {"AppDefinitionId", 2}}},
    {"3", Dict{{"FileName", "Dup.app"}, {"AppDefinitionId", "3"}}},
    {"4", Dict{{"FileName", "Dup.app"}, {"AppDefinitionId", "4"}, {"PRODUCT_NAME", "Duplicate"}}},
    {"5", Dict{{"FileName", "Num.app"}, {"AppDefinitionId", "5"}, {"PRODUCT_NAME", 7}}},
    {"6", Dict{}},
    {"8", Dict{{"AppDefinitionId", "8"}}}};

}  // namespace

TEST_F(MeteringFilesTest, PostDataIsRecreatedAndStamped) {
    const std::string post = postDataPath(), missing = meteringPath("missing.plist");
    auto error = files.updatePostDataPlist(post, 1700000000);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->text(),
              "fileNotFound(\"updatePostDataPlist: Plist file was missing and recreated at " +
                  post + "\")");
    EXPECT_EQ(readPlist(post), Value(Dict{{"AddedTime", "1700000000"}}));
    EXPECT_EQ(std::filesystem::status(meteringPath("")).permissions(),
              std::filesystem::perms::all | std::filesystem::perms::sticky_bit);
    EXPECT_THAT(logMessages(),
                ElementsAre("updatePostDataPlist: Plist file not found at " + post,
                            "createPlistIfNotExists: Plist file not found, creating a new one...",
                            "createPlistIfNotExists: Plist file created successfully at " + post,
                            "updatePostDataPlist: Plist file created successfully at " + post));
    EXPECT_FALSE(files.updatePostDataPlist(post, 1));  // an existing file is left alone
    EXPECT_EQ(readPlist(post), Value(Dict{{"AddedTime", "1700000000"}}));
}

TEST_F(MeteringFilesTest, RecordsAreNamedByProductOrFileName) {
    const std::string launch = launchDataPath(), missing = meteringPath("missing.plist");
    // A record that is not a dictionary fails start-up reading whole, the table skips it, and
    // the reset leaves the file alone without a word.
    Dict withString = kLaunchData;
    withString["7"] = "not a record";
    writePlist(launch, withString);
    const std::string before = slurp(launch);
    EXPECT_THAT(files.loadAppLaunchDataToUpdate(launch),
                ElementsAre(Key("Big.APP"), Key("Dup"), Key("Duplicate"), Key("Num"),
                            testing::Pair("Proliance", *plist::asDict(kLaunchData.at("1")))));
    EXPECT_EQ(printedBy([&] { files.resetSoftwareMeteringRules(launch); }), "");
    EXPECT_EQ(slurp(launch), before);

    writePlist(launch, Array{});
    EXPECT_FALSE(files.readRuleData(launch));
    EXPECT_FALSE(files.readRuleData(missing));
    EXPECT_EQ(printedBy([&] { EXPECT_TRUE(files.loadAppLaunchDataToUpdate(missing).empty()); }),
              "Failed to read plist at " + missing + "\n");
}

TEST_F(MeteringFilesTest, LaunchDataIsSavedEntryByEntry) {
    // The reset's clearing is report_e2e_test's.
    const std::string launch = launchDataPath(), missing = meteringPath("missing.plist");
    writePlist(launch, kLaunchData);
    EXPECT_EQ(printedBy([&] { files.resetSoftwareMeteringRules(missing); }),
              "Unable to read plist data.\n");
    Dict expected = kLaunchData;

    // The saved entry replaces the old one whole: its AppDefinitionId and PRODUCT_VERSION go.
    const UsageRecord record(Dict{{"FileName", "Pro.appliance.app"},
                                  {"TOTAL_RUN_COUNT", -1},
                                  {"LAST_USED", std::numeric_limits<std::int64_t>::min()},
                                  {"LAUNCH_TIME", std::numeric_limits<std::int64_t>::max()},
                                  {"TOTAL_RUN_TIME", 60.0},
                                  {"RUNNING_NO_OF_DAYS", 60.5}});
    files.saveAppsData(launch, "1", record);
    expected["1"] = record.fields();
    EXPECT_EQ(readPlist(launch), Value(expected));
    const std::string after = slurp(launch);
    files.saveAppsData(launch, "99", record);
    files.saveAppsData(missing, "1", record);
    EXPECT_EQ(slurp(launch), after);
    EXPECT_FALSE(std::filesystem::exists(missing));
    EXPECT_THAT(logMessagesStartingWith("saveAppsData: "),
                ElementsAre("saveAppsData: Apps data saved for AppDefinitionId 1",
                            "saveAppsData: App data not found for AppDefinitionId 99.",
                            "saveAppsData: Failed to load PLIST data."));
}

TEST_F(MeteringFilesTest, ASaveOrResetAfterAnotherWriterKeepsThatWritersFigures) {
    const std::string launch = launchDataPath();
    const Dict read{{"AppDefinitionId", "1"}, {"TOTAL_RUN_COUNT", 4}, {"TOTAL_RUN_TIME", 100},
                    {"LAUNCH_TIME", 1000},    {"LAST_USED", 1100},    {"Agent", "a"}};
    writePlist(launch, Dict{{"1", read}});
    const UsageRecord before(read);
    using C = usage::Change;
    const Dict cleared{{"AppDefinitionId", "1"}, {"Agent", "b"}};
    const Dict fresh{{"LAUNCH_TIME", 1200},    {"TOTAL_RUN_COUNT", 1}, {"PRODUCT_NAME", "Ed"},
                     {"PRODUCT_VERSION", "2"}, {"FILE_VERSION", "2"},  {"LAST_USED", 1300}};
    Dict launched = fresh, ran = read, ended = read;
    for (const auto& [key, value] : cleared) launched.insert_or_assign(key, value);
    ran["LAUNCH_TIME"] = ended["LAUNCH_TIME"] = 1250;
    ended["TOTAL_RUN_TIME"] = 110;
    ended["LAST_USED"] = 1260;
    const C launch1200{C::Launch{1200, "Ed", "2", 1300}};
    // The file's record when the save comes, the change, what the file then holds (nothing:
    // left as it was), and the log's verdict.
    const struct {
        Value file;
        C change;
        std::optional<Dict> written;
        const char* verdict;
    } rows[] = {
        {read, launch1200, Dict{{"Mine", 1}}, nullptr},
        {cleared, launch1200, launched, "is made on"},
        {"no record", launch1200, fresh, "is made on"},
        {ran, C{C::Termination{1260.9, 1260}}, ended, "is made on"},
        {cleared, C{C::Carry{1300}}, std::nullopt, "does not apply"},
        {cleared, C{C::Settle{1300, 1300}}, std::nullopt, "does not apply"},
    };
    // What the caller writes when the file's record is still the one it read.
    const UsageRecord mine(Dict{{"Mine", 1}});
    for (const auto& row : rows) {
        writePlist(launch, Dict{{"1", row.file}});
        const auto was = slurp(launch);
        const auto offset = logMessagesStartingWith("saveAppsData: the record").size();
        const auto merged = files.saveAppsData(launch, "1", mine, {before, row.change});
        if (row.written) {
            EXPECT_EQ(launchRecord(launch, "1"), *row.written) << plist::describe(row.file);
        } else {
            EXPECT_EQ(slurp(launch), was) << plist::describe(row.file);
        }
        // The table takes what the file holds whenever it was not the caller's to write.
        EXPECT_EQ(merged.has_value(), row.verdict != nullptr);
        if (merged && row.written) {
            EXPECT_EQ(merged->fields(), *row.written);
        }
        const auto verdicts = logMessagesStartingWith("saveAppsData: the record");
        ASSERT_EQ(verdicts.size(), offset + (row.verdict ? 1 : 0));
        if (row.verdict) {
            EXPECT_THAT(verdicts.back(),
                        testing::HasSubstr(std::string("; this change ") + row.verdict));
        }
    }

    // A reset takes away what the report read; growth since then, a new moment and a figure
    // that restarted stay; a record the report never saw keeps everything.
    writePlist(launch, Dict{{"1", Dict{{"AppDefinitionId", "1"},
                                       {"TOTAL_RUN_COUNT", 6},
                                       {"TOTAL_RUN_TIME", 130},
                                       {"LAUNCH_TIME", 1200},
                                       {"LAST_USED", 1100},
                                       {"Agent", "a"}}},
                            {"2", Dict{{"TOTAL_RUN_COUNT", 3}, {"TOTAL_RUN_TIME", 9}}},
                            {"3", Dict{{"TOTAL_RUN_COUNT", 1}, {"TOTAL_RUN_TIME", 0}}}});
    const Dict reported{{"1", read}, {"3", Dict{{"TOTAL_RUN_COUNT", 2}, {"TOTAL_RUN_TIME", 50}}}};
    EXPECT_EQ(printedBy([&] { files.resetSoftwareMeteringRules(launch, &reported); }),
              "Plist updated successfully.\n");
    EXPECT_EQ(readPlist(launch),
              Value(Dict{{"1", Dict{{"AppDefinitionId", "1"},
                                    {"TOTAL_RUN_COUNT", 2},
                                    {"TOTAL_RUN_TIME", 30},
                                    {"LAUNCH_TIME", 1200},
                                    {"Agent", "a"}}},
                         {"2", Dict{{"TOTAL_RUN_COUNT", 3}, {"TOTAL_RUN_TIME", 9}}},
                         {"3", Dict{{"TOTAL_RUN_COUNT", 1}, {"TOTAL_RUN_TIME", 0}}}}));
}

TEST_F(MeteringFilesTest, LookupReadsTheMappingAfreshEveryTime) {
    const std::string rules = ruleDataPath();
    std::vector<testing::Matcher<std::string>> log;
    auto lookup = [&](const std::string& path, const std::string& name,
                      std::optional<std::string> id, std::optional<std::string> failure = {}) {
        EXPECT_EQ(files.getAppDefinitionId(path, name), id) << name;
        log.push_back("Inside getAppDefinitionId");
        if (failure) log.push_back(testing::StartsWith("getAppDefinitionId: " + *failure));
        log.push_back("getAppDefinitionId: AppDefinitionId for " + name + " is " +
                      id.value_or("Not found"));
    };
    const std::tuple<const char*, Value, std::optional<std::string>> cases[] = {
        {"Num", 512, "512"},
        {"Whole", 60.0, "60"},
        {"Half", 60.5, "60.5"},
        {"Text", "a \"b\" %s", "a \"b\" %s"},
        {"Empty", "", ""},
        {"List", Array{"1"}, std::nullopt},
        {"When", plist::Date{1700000000}, std::nullopt}};
    Dict mapping;
    for (const auto& [name, value, id] : cases) mapping[name] = value;
    writePlist(rules, mapping);
    for (const auto& [name, value, id] : cases) lookup(rules, name, id);
    lookup(rules, "Num.app", std::nullopt);  // names are compared exactly
    writePlist(rules, Dict{{"Num", "new"}});
    lookup(rules, "Num", "new");
    writePlist(rules, Array{"Num"});
    lookup(rules, "Num", std::nullopt, "Failed to parse plist as dictionary");
    lookup(meteringPath("missing.plist"), "Num", std::nullopt,
           "Error loading or parsing app rule plist: ");
    EXPECT_THAT(logMessages(), testing::ElementsAreArray(log));
}

}  // namespace tallyvane::test

namespace tallyvane::test {

TEST(ImportRecords, TakesNameAndIdKeepsFiguresAndRefusesMalformedRecords) {
    const Dict held{{"1", Dict{{"FileName", "Old.app"}, {"AppDefinitionId", "1"}, {"X", 4}}},
                    {"2", Dict{{"FileName", "Two.app"}, {"AppDefinitionId", "2"}}}};
    auto one = [](const char* id, Value name) {
        return Dict{{id, Dict{{"FileName", std::move(name)}, {"AppDefinitionId", "1"}}}};
    };
    const struct {
        Value given;
        bool refused, listChanged;
        Dict after;
    } rows[] = {
        {Value(one("1", "Old.app")), false, false, held},
        {Value(one("1", "New.app")), false, true,
         Dict{{"1", Dict{{"FileName", "New.app"}, {"AppDefinitionId", "1"}, {"X", 4}}},
              {"2", held.find("2")->second}}},
        {Value(one("3", "Three.app")), true, false, held},  // its AppDefinitionId is not its key
        {Value(one("1", "")), true, false, held},
        {Value(one("1", 7)), true, false, held},
        {Value(Array{}), true, false, held},
    };
    for (const auto& row : rows) {
        Dict records = held;
        const std::string why = store::importRefusal(row.given);
        EXPECT_EQ(!why.empty(), row.refused) << why;
        if (!why.empty()) continue;
        EXPECT_EQ(store::mergeRecords(records, *plist::asDict(row.given)), row.listChanged);
        EXPECT_EQ(records, row.after);
    }
    Dict added = held;
    EXPECT_TRUE(
        store::mergeRecords(added, {{"9", Dict{{"FileName", "N.app"}, {"AppDefinitionId", "9"}}}}));
    EXPECT_EQ(added.size(), 3u);
}

}  // namespace tallyvane::test
