// Saves that a crash, a full disk or an I/O error interrupts, on files in memory; and hostile
// things planted at the metering paths, on real files.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <random>

#include "platform/memory/MemoryFileSystem.h"
#include "store/MeteringFiles.h"
#include "support/AgentFixture.h"

namespace tallyvane::test {
namespace {

using plist::Dict;
using plist::Value;
using Fault = MemoryFileSystem::Fault;

class CrashSafety : public AgentFixture {
  protected:
    MemoryFileSystem memory;
    const std::string path = meteringPath("AppLaunchData.plist");
    Dict records;

    void SetUp() override {
        AgentFixture::SetUp();
        for (int i = 0; i < 200; ++i) {
            const std::string id = std::to_string(1000 + i);
            records[id] = Dict{
                {"FileName", "App" + id + ".app"}, {"AppDefinitionId", id}, {"TOTAL_RUN_COUNT", i}};
        }
        memory.put(path, *plist::toXml(Value(records)));
    }
    // The records a freshly started process reads, keyed by app definition id.
    Dict readAfterRestart() {
        memory.clearFault();
        store::MeteringFiles restarted(memory);
        auto root = restarted.read(path);
        EXPECT_TRUE(root) << root.status().description();
        return root && plist::asDict(*root) ? *plist::asDict(*root) : Dict{};
    }
};

TEST_F(CrashSafety, ACrashAtAnyMomentOfASaveLeavesTheOldOrTheNewRecords) {
    std::mt19937 random(7);
    const std::size_t size = memory.contents(path)->size();
    Dict changed = records;
    // Longer than before, so that new bytes over old ones never read as either.
    plist::asDict(changed["1100"])->insert_or_assign("PRODUCT_NAME", "A longer name, 東京");
    for (int run = 0; run < 20; ++run) {
        SCOPED_TRACE(run);
        memory.put(path, *plist::toXml(Value(records)));
        // The crash falls in the sidecar's write or in the file's own rewrite.
        memory.inject({.afterBytes = random() % size, .error = 0, .writesFirst = random() % 2});
        store::MeteringFiles(memory).saveAppsData(path, "1100",
                                                  UsageRecord(*plist::asDict(changed["1100"])));
        const Dict after = readAfterRestart();
        EXPECT_TRUE(after == records || after == changed);
        EXPECT_FALSE(memory.exists(store::MeteringFiles::sidecarOf(path)));
        EXPECT_EQ(readAfterRestart(), after);  // the recovered file is the file now
    }
}

TEST_F(CrashSafety, AFullDiskOrAnIoErrorTruncatesNothing) {
    Dict changed = records;
    plist::asDict(changed["1000"])->insert_or_assign("LAST_USED", 5);
    const std::string before = *memory.contents(path);
    const UsageRecord record(*plist::asDict(changed["1000"]));
    store::MeteringFiles files(memory);
    // No room for the sidecar: the file is as it was, and nothing is left behind.
    memory.inject({.afterBytes = 4096, .error = ENOSPC});
    files.saveAppsData(path, "1000", record);
    EXPECT_EQ(*memory.contents(path), before);
    EXPECT_FALSE(memory.exists(store::MeteringFiles::sidecarOf(path)));
    // No room to grow the file: untouched too; the next reader completes the save.
    memory.inject({.afterBytes = 0, .error = ENOSPC, .writesFirst = 1});
    files.saveAppsData(path, "1000", record);
    EXPECT_EQ(*memory.contents(path), before);
    EXPECT_EQ(readAfterRestart(), changed);
    // An I/O error half-way through the file: the sidecar still holds the whole.
    memory.put(path, before);
    memory.inject({.afterBytes = before.size() / 2, .error = EIO, .writesFirst = 1});
    files.saveAppsData(path, "1000", record);
    EXPECT_EQ(readAfterRestart(), changed);
    EXPECT_THAT(logMessagesStartingWith("saveAppsData: Error saving apps data: "),
                testing::ElementsAre(testing::HasSubstr("No space left on device"),
                                     testing::HasSubstr("No space left on device"),
                                     testing::HasSubstr("Input/output error")));
    EXPECT_EQ(logMessagesStartingWith("Recovered " + path).size(), 2u);
}

TEST_F(CrashSafety, LinksAndFifosAtMeteringPathsAreNeitherFollowedNorWaitedFor) {
    store::MeteringFiles files(posixFileSystem());
    const std::string rules = ruleDataPath(), elsewhere = agentPath() + "/elsewhere.txt";
    std::filesystem::create_directories(meteringPath(""));
    writePlist(elsewhere, Dict{{"theirs", true}});
    const std::string theirs = slurp(elsewhere);
    std::filesystem::create_symlink(elsewhere, rules);
    files.saveAppRuleData(Dict{{"Editor", "7"}}, rules);
    EXPECT_EQ(files.getAppDefinitionId(rules, "Editor"), std::nullopt);
    EXPECT_EQ(slurp(elsewhere), theirs);
    std::filesystem::remove(rules);
    ASSERT_EQ(mkfifo(rules.c_str(), 0600), 0);
    files.saveAppRuleData(Dict{{"Editor", "7"}}, rules);  // returns: nobody reads the FIFO
    EXPECT_EQ(files.getAppDefinitionId(rules, "Editor"), std::nullopt);
    EXPECT_THAT(logMessagesStartingWith("saveAppRuleData: Error saving app rule data: "),
                testing::SizeIs(2));
}

}  // namespace
}  // namespace tallyvane::test
