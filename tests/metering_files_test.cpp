// The metering file operations on real files in scratch folders, with the agent's real log.
#include <lvornutils/Log.h>
#include <lvornutils/VornUtilMac.h>
#include <plist/plist.h>
#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "plist/PlistFile.h"
#include "store/MeteringFiles.h"
#include "support/ChildProcess.h"

namespace fs = std::filesystem;
using namespace tallyvane;
using namespace tallyvane::store;
using plist::Array;
using plist::Date;
using plist::Dict;
using plist::Value;
using testing::ElementsAre;
using testing::HasSubstr;
using testing::IsEmpty;

namespace {

fs::path makeScratch() { return tallyvane::test::scratchFolder(); }

using tallyvane::test::slurp;

// One agent log for the whole program, as in the agent itself.
const fs::path& agentDir() {
    static const fs::path dir = [] {
        fs::path d = makeScratch();
        setenv("VORNAGENT_PATH", d.c_str(), 1);
        VornUtilMac util;
        util.initializeVornGlobal();
        util.startLoggingTo("AppMonitor.log", true);
        return d;
    }();
    return dir;
}

// The messages logged since construction, without their time and process prefix.
class LogWatch {
  public:
    LogWatch() : start_(size()) {}
    std::vector<std::string> messages() const {
        std::string text = slurp(agentDir() / "logs/AppMonitor.log").substr(start_);
        std::vector<std::string> out;
        std::istringstream lines(text);
        for (std::string line; std::getline(lines, line);) {
            auto at = line.find("] ");
            out.push_back(at == std::string::npos ? line : line.substr(at + 2));
        }
        return out;
    }

  private:
    static std::size_t size() {
        std::error_code ec;
        auto n = fs::file_size(agentDir() / "logs/AppMonitor.log", ec);
        return ec ? 0 : n;
    }
    std::size_t start_;
};

class MeteringFiles : public testing::Test {
  protected:
    void SetUp() override {
        agentDir();
        dir_ = makeScratch();
    }
    std::string path(const char* name) const { return (dir_ / name).string(); }
    static void write(const std::string& path, const Value& value) {
        ASSERT_TRUE(plist::writeInPlace(path, *plist::toXml(value)));
    }
    static void writeBinary(const std::string& path, const Value& value) {
        auto xml = *plist::toXml(value);
        plist_t node = nullptr;
        plist_from_memory(xml.data(), static_cast<uint32_t>(xml.size()), &node);
        char* bin = nullptr;
        uint32_t length = 0;
        plist_to_bin(node, &bin, &length);
        ASSERT_TRUE(plist::writeInPlace(path, std::string_view(bin, length)));
        free(bin);
        plist_free(node);
    }
    static Dict read(const std::string& path) {
        auto value = plist::readFile(path);
        return value && plist::asDict(*value) ? *plist::asDict(*value) : Dict{};
    }
    fs::path dir_;
};

const Dict kLaunchData{
    {"1", Value(Dict{{"FileName", Value("Pro.appliance.app")},
                     {"AppDefinitionId", Value("1")},
                     {"TOTAL_RUN_COUNT", Value(3)},
                     {"LAST_USED", Value(99)},
                     {"TOTAL_RUN_TIME", Value(60.0)},
                     {"LAUNCH_TIME", Value(5)},
                     {"RUNNING_NO_OF_DAYS", Value(1)},
                     {"PRODUCT_VERSION", Value("2.0")},
                     {"AgentKey", Value(Array{Value(true)})}})},
    {"2", Value(Dict{{"FileName", Value("Big.APP")}, {"AppDefinitionId", Value(2)}})},
    {"3", Value(Dict{{"FileName", Value("Dup.app")}, {"AppDefinitionId", Value("3")}})},
    {"4", Value(Dict{{"FileName", Value("Dup.app")},
                     {"AppDefinitionId", Value("4")},
                     {"PRODUCT_NAME", Value("Duplicate")}})},
    {"5", Value(Dict{{"FileName", Value("Num.app")},
                     {"AppDefinitionId", Value("5")},
                     {"PRODUCT_NAME", Value(7)}})},
    {"6", Value(Dict{})},
    {"8", Value(Dict{{"AppDefinitionId", Value("8")}})}};

}  // namespace

TEST_F(MeteringFiles, CreatesMissingFilesAndStampsPostData) {
    auto post = (dir_ / "SoftwareMetering/AppPostData.plist").string();
    LogWatch log;
    auto error = updatePostDataPlist(post, 1700000000);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->text(),
              "fileNotFound(\"updatePostDataPlist: Plist file was missing and recreated at " +
                  post + "\")");
    EXPECT_EQ(read(post), (Dict{{"AddedTime", Value("1700000000")}}));
    EXPECT_EQ(fs::status(dir_ / "SoftwareMetering").permissions(), fs::perms::all);
    EXPECT_THAT(log.messages(),
                ElementsAre("updatePostDataPlist: Plist file not found at " + post,
                            "createPlistIfNotExists: Plist file not found, creating a new one...",
                            "createPlistIfNotExists: Plist file created successfully at " + post,
                            "updatePostDataPlist: Plist file created successfully at " + post));

    EXPECT_FALSE(updatePostDataPlist(post, 1));  // an existing file is left alone
    EXPECT_EQ(read(post), (Dict{{"AddedTime", Value("1700000000")}}));
    writeBinary(post, Value(Dict{{"AddedTime", Value(5)}, {"Other", Value(-1)}}));
    testing::internal::CaptureStdout();
    updateAddedTime(post, 1800000000);
    updateAddedTime(path("missing.plist"), 1);
    ASSERT_TRUE(plist::writeInPlace(path("garbage.plist"), "<plist><dict><key>"));
    updateAddedTime(path("garbage.plist"), 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Successfully updated AddedTime to 1800000000\nPlist file not found at path: " +
                  path("missing.plist") + "\nFailed to read plist contents.\n");
    EXPECT_EQ(read(post), (Dict{{"AddedTime", Value("1800000000")}, {"Other", Value(-1)}}));

    LogWatch existing;
    createPlistIfNotExists(path("garbage.plist"));
    EXPECT_EQ(slurp(path("garbage.plist")), "<plist><dict><key>");
    EXPECT_THAT(existing.messages(),
                ElementsAre("createPlistIfNotExists: Plist file already exists at " +
                            path("garbage.plist")));
}

TEST_F(MeteringFiles, StartUpReadingNeedsADictionaryOfRecords) {
    auto launch = path("AppLaunchData.plist");
    writeBinary(launch, Value(kLaunchData));
    auto rules = readRuleData(launch);
    ASSERT_TRUE(rules);
    EXPECT_THAT(rules->monitoredApps, ElementsAre("Proliance", "Big.APP", "Dup", "Dup", "Num"));
    EXPECT_EQ(rules->appRuledata,
              (Dict{{"Proliance", Value("1")}, {"Dup", Value("4")}, {"Num", Value("5")}}));

    LogWatch log;
    saveAppRuleData(rules->appRuledata, path("AppRuleData.plist"));
    EXPECT_EQ(read(path("AppRuleData.plist")), rules->appRuledata);
    EXPECT_THAT(log.messages(), ElementsAre("Inside saveAppRuleData",
                                            "saveAppRuleData: AppRule is written successfully"));

    Dict withString = kLaunchData;
    withString["7"] = Value("not a record");
    write(launch, Value(withString));
    EXPECT_FALSE(readRuleData(launch));
    for (std::string bytes : {std::string(), std::string("bplist00\x01"), std::string("<plist>")}) {
        ASSERT_TRUE(plist::writeInPlace(launch, bytes));
        EXPECT_FALSE(readRuleData(launch));
    }
    EXPECT_FALSE(readRuleData(path("missing.plist")));
    write(launch, Value(Array{}));
    EXPECT_FALSE(readRuleData(launch));
}

TEST_F(MeteringFiles, LoadKeysRecordsByProductOrFileName) {
    auto launch = path("AppLaunchData.plist");
    Dict withString = kLaunchData;
    withString["7"] = Value("not a record");
    writeBinary(launch, Value(withString));
    auto table = loadAppLaunchDataToUpdate(launch);
    ASSERT_EQ(table.size(), 5u);
    EXPECT_EQ(table.at("Proliance"), *plist::asDict(kLaunchData.at("1")));
    EXPECT_TRUE(table.count("Big.APP"));
    EXPECT_EQ(*plist::stringFor(table.at("Dup"), "AppDefinitionId"), "3");
    EXPECT_EQ(*plist::stringFor(table.at("Num"), "AppDefinitionId"), "5");
    EXPECT_EQ(*plist::stringFor(table.at("Duplicate"), "AppDefinitionId"), "4");

    testing::internal::CaptureStdout();
    EXPECT_THAT(loadAppLaunchDataToUpdate(path("missing.plist")), IsEmpty());
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Failed to read plist at " + path("missing.plist") + "\n");
}

TEST_F(MeteringFiles, SaveAppsDataReplacesOnlyAnExistingEntry) {
    auto launch = path("AppLaunchData.plist");
    writeBinary(launch, Value(kLaunchData));
    UsageRecord record{{"FileName", Value("Pro.appliance.app")},
                       {"TOTAL_RUN_COUNT", Value(std::int64_t{-1})},
                       {"LAST_USED", Value(std::numeric_limits<std::int64_t>::min())},
                       {"LAUNCH_TIME", Value(std::numeric_limits<std::int64_t>::max())},
                       {"TOTAL_RUN_TIME", Value(60.0)},
                       {"RUNNING_NO_OF_DAYS", Value(60.5)}};
    LogWatch log;
    saveAppsData(launch, "1", record);
    auto messages = log.messages();
    ASSERT_EQ(messages.size(), 3u);
    EXPECT_EQ(messages[0], "Inside saveAppsData");
    EXPECT_THAT(messages[1], HasSubstr(" plistData[appDefinitionIDString] = newAppData   ["));
    EXPECT_EQ(messages[1].find(" plistData"), 0u);
    EXPECT_THAT(slurp(launch), HasSubstr("<?xml"));
    Dict saved = read(launch);
    Dict expected = kLaunchData;
    expected["1"] = Value(record);
    EXPECT_EQ(saved, expected);  // the file-only keys of the entry are gone, others untouched
    const Dict back = loadAppLaunchDataToUpdate(launch).at("Proliance");
    EXPECT_EQ(plist::integerFor(back, "TOTAL_RUN_COUNT"), -1);
    EXPECT_EQ(plist::integerFor(back, "LAST_USED"), std::numeric_limits<std::int64_t>::min());
    EXPECT_EQ(plist::integerFor(back, "LAUNCH_TIME"), std::numeric_limits<std::int64_t>::max());
    EXPECT_EQ(plist::integerFor(back, "TOTAL_RUN_TIME"), 60);
    EXPECT_EQ(plist::integerFor(back, "RUNNING_NO_OF_DAYS"), std::nullopt);
    EXPECT_EQ(plist::realFor(back, "RUNNING_NO_OF_DAYS"), 60.5);

    std::string before = slurp(launch);
    LogWatch absent;
    saveAppsData(launch, "99", record);
    saveAppsData(path("missing.plist"), "1", record);
    EXPECT_EQ(slurp(launch), before);
    EXPECT_FALSE(fs::exists(path("missing.plist")));
    EXPECT_THAT(absent.messages(),
                ElementsAre("Inside saveAppsData",
                            "saveAppsData: App data not found for AppDefinitionId 99.",
                            "Inside saveAppsData", "saveAppsData: Failed to load PLIST data."));
}

TEST_F(MeteringFiles, ResetClearsFiveKeysOrLeavesTheFileAlone) {
    auto launch = path("AppLaunchData.plist");
    writeBinary(launch, Value(kLaunchData));
    testing::internal::CaptureStdout();
    resetSoftwareMeteringRules(launch);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Plist updated successfully.\n");
    EXPECT_THAT(slurp(launch), HasSubstr("<?xml"));
    Dict expected = kLaunchData;
    Dict& first = std::get<Dict>(expected["1"].v);
    for (auto key :
         {"TOTAL_RUN_COUNT", "LAST_USED", "TOTAL_RUN_TIME", "LAUNCH_TIME", "RUNNING_NO_OF_DAYS"}) {
        first.erase(key);
    }
    EXPECT_EQ(read(launch), expected);

    Dict withString = kLaunchData;
    withString["7"] = Value("not a record");
    write(launch, Value(withString));
    std::string before = slurp(launch);
    testing::internal::CaptureStdout();
    resetSoftwareMeteringRules(launch);
    resetSoftwareMeteringRules(path("missing.plist"));
    EXPECT_EQ(slurp(launch), before);
    ASSERT_TRUE(plist::writeInPlace(launch, before.substr(0, 100)));
    resetSoftwareMeteringRules(launch);
    EXPECT_EQ(slurp(launch), before.substr(0, 100));
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_THAT(out, testing::StartsWith("Unable to read plist data.\nError processing plist: "));
}

TEST_F(MeteringFiles, LookupReadsTheMappingAfreshEveryTime) {
    auto rules = path("AppRuleData.plist");
    writeBinary(rules, Value(Dict{{"Num", Value(512)},
                                  {"Neg", Value(std::int64_t{-1})},
                                  {"Min", Value(std::numeric_limits<std::int64_t>::min())},
                                  {"Max", Value(std::numeric_limits<std::int64_t>::max())},
                                  {"Whole", Value(60.0)},
                                  {"Half", Value(60.5)},
                                  {"Flag", Value(true)},
                                  {"Text", Value("a \"b\" %s")},
                                  {"Empty", Value("")},
                                  {"List", Value(Array{Value("1")})},
                                  {"When", Value(Date{1700000000})}}));
    EXPECT_EQ(getAppDefinitionId(rules, "Num"), "512");
    EXPECT_EQ(getAppDefinitionId(rules, "Neg"), "-1");
    EXPECT_EQ(getAppDefinitionId(rules, "Min"), "-9223372036854775808");
    EXPECT_EQ(getAppDefinitionId(rules, "Max"), "9223372036854775807");
    EXPECT_EQ(getAppDefinitionId(rules, "Whole"), "60");
    EXPECT_EQ(getAppDefinitionId(rules, "Half"), "60.5");
    EXPECT_EQ(getAppDefinitionId(rules, "Flag"), "1");
    EXPECT_EQ(getAppDefinitionId(rules, "Text"), "a \"b\" %s");
    LogWatch log;
    EXPECT_EQ(getAppDefinitionId(rules, "Empty"), "");
    EXPECT_EQ(getAppDefinitionId(rules, "List"), std::nullopt);
    EXPECT_EQ(getAppDefinitionId(rules, "When"), std::nullopt);
    EXPECT_EQ(getAppDefinitionId(rules, "num"), std::nullopt);
    EXPECT_EQ(getAppDefinitionId(rules, "Num.app"), std::nullopt);
    EXPECT_THAT(log.messages(),
                ElementsAre("Inside getAppDefinitionId",
                            "getAppDefinitionId: AppDefinitionId for Empty is ",
                            "Inside getAppDefinitionId",
                            "getAppDefinitionId: AppDefinitionId for List is Not found",
                            "Inside getAppDefinitionId",
                            "getAppDefinitionId: AppDefinitionId for When is Not found",
                            "Inside getAppDefinitionId",
                            "getAppDefinitionId: AppDefinitionId for num is Not found",
                            "Inside getAppDefinitionId",
                            "getAppDefinitionId: AppDefinitionId for Num.app is Not found"));

    write(rules, Value(Dict{{"Num", Value("new")}}));
    EXPECT_EQ(getAppDefinitionId(rules, "Num"), "new");

    LogWatch failures;
    write(rules, Value(Array{Value("Num")}));
    EXPECT_EQ(getAppDefinitionId(rules, "Num"), std::nullopt);
    EXPECT_EQ(getAppDefinitionId(path("missing.plist"), "Num"), std::nullopt);
    ASSERT_TRUE(plist::writeInPlace(rules, "<?xml version=\"1.0\"?><plist><dict><key>Num"));
    EXPECT_EQ(getAppDefinitionId(rules, "Num"), std::nullopt);
    auto messages = failures.messages();
    ASSERT_EQ(messages.size(), 9u);
    EXPECT_EQ(messages[1], "getAppDefinitionId: Failed to parse plist as dictionary");
    EXPECT_EQ(messages[2], "getAppDefinitionId: AppDefinitionId for Num is Not found");
    EXPECT_THAT(messages[4], testing::StartsWith(
                                 "getAppDefinitionId: Error loading or parsing app rule plist: "));
    EXPECT_THAT(messages[7], testing::StartsWith(
                                 "getAppDefinitionId: Error loading or parsing app rule plist: "));
}
