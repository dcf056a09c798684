#pragma once
// One scratch agent folder per test program, with the agent library started on it, and a fresh
// metering folder for every test.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "plist/PlistFile.h"
#include "plist/Value.h"
#include "support/ChildProcess.h"

namespace tallyvane::test {

class AgentFixture : public ::testing::Test {
  public:
    // The agent folder shared by the tests of this program.
    static const std::string& agentPath();
    static std::string meteringPath(const std::string& file) {
        return agentPath() + "/data/SoftwareMetering/" + file;
    }
    static std::string launchDataPath() { return meteringPath("AppLaunchData.plist"); }
    static std::string ruleDataPath() { return meteringPath("AppRuleData.plist"); }
    static std::string postDataPath() { return meteringPath("AppPostData.plist"); }

    // Writes value as an XML property list, creating the folder.
    static void writePlist(const std::string& path, const plist::Value& value);
    static plist::Value readPlist(const std::string& path);

  protected:
    void SetUp() override;
    // The log messages written since this test began, without their record prefix.
    std::vector<std::string> logMessages() const;
    // The log messages since the test began that start with prefix.
    std::vector<std::string> logMessagesStartingWith(const std::string& prefix) const;

  private:
    std::uintmax_t logOffset_ = 0;
};

}  // namespace tallyvane::test
