#pragma once
// Scratch agent folders: one shared by the unit tests of a program (AgentFixture), one per
// end-to-end test (AgentInstallation.h); both keep data/SoftwareMetering and logs/AppMonitor.log.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "base/LogSink.h"
#include "lvornutils/VornUtilMac.h"
#include "platform/FileSystem.h"
#include "plist/Plist.h"
#include "plist/Value.h"
#include "store/DurableFile.h"
#include "support/ChildProcess.h"
#include "support/Printers.h"

namespace tallyvane::test {

// Writes value as an XML property list, creating the folder.
inline void writePlist(const std::string& path, const plist::Value& value) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    auto xml = plist::toXml(value);
    ASSERT_TRUE(xml && store::writeWhole(posixFileSystem(), path, *xml)) << path;
}

// The file at path, parsed; nothing when it cannot be read or parsed.
inline std::optional<plist::Value> parsePlistFile(const std::string& path) {
    auto bytes = posixFileSystem().readFile(path);
    return bytes ? plist::parse(*bytes).value() : std::nullopt;
}

inline plist::Value readPlist(const std::string& path) {
    auto value = parsePlistFile(path);
    EXPECT_TRUE(value) << path;
    return value.value_or(plist::Value());
}

// The record under id in the launch-data file at path; empty when the file or record is missing.
inline plist::Dict launchRecord(const std::string& path, std::string_view id) {
    auto all = parsePlistFile(path);
    const plist::Dict* root = all ? plist::asDict(*all) : nullptr;
    const plist::Dict* record = root && root->count(id) ? plist::asDict(root->at(id)) : nullptr;
    return record ? *record : plist::Dict{};
}

// The messages of the agent's log from byte offset on, without their record prefix.
inline std::vector<std::string> agentLogMessages(const std::string& agent, std::size_t offset = 0) {
    const std::string text = slurp(agent + "/logs/AppMonitor.log");
    return logMessagesOf(offset < text.size() ? text.substr(offset) : "");
}

class AgentFixture : public ::testing::Test {
  public:
    // The agent folder shared by the tests of this program, with the agent library started on it.
    static const std::string& agentPath() {
        static const auto scratch = [] {
            auto dir = std::make_unique<ScratchDir>();
            setenv("VORNAGENT_PATH", dir->path().c_str(), 1);
            VornUtilMac util;
            util.initializeVornGlobal();
            util.startLoggingTo("AppMonitor.log", true);
            return dir;
        }();
        return scratch->path();
    }
    static std::string meteringPath(const std::string& file) {
        return agentPath() + "/data/SoftwareMetering/" + file;
    }
    static std::string launchDataPath() { return meteringPath("AppLaunchData.plist"); }
    static std::string ruleDataPath() { return meteringPath("AppRuleData.plist"); }
    static std::string postDataPath() { return meteringPath("AppPostData.plist"); }

  protected:
    // Every test starts without a data folder and sees only the log written since.
    void SetUp() override {
        std::filesystem::remove_all(agentPath() + "/data");
        std::error_code none;
        offset_ = std::filesystem::file_size(agentPath() + "/logs/AppMonitor.log", none);
        if (none) offset_ = 0;
    }
    // The messages of the memory log, once the test gave one, else of the agent's log file.
    std::vector<std::string> logMessages() const {
        return memoryLog_ ? memoryLog_->lines() : agentLogMessages(agentPath(), offset_);
    }
    std::vector<std::string> logMessagesStartingWith(const std::string& prefix) const {
        auto found = logMessages();
        std::erase_if(found, [&](const std::string& m) { return !m.starts_with(prefix); });
        return found;
    }
    void readLogFrom(const MemoryLogSink& log) { memoryLog_ = &log; }

  private:
    std::size_t offset_ = 0;
    const MemoryLogSink* memoryLog_ = nullptr;
};

}  // namespace tallyvane::test
