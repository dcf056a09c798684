#include "support/AgentFixture.h"

#include <cstdlib>
#include <memory>

#include "lvornutils/VornUtilMac.h"

namespace tallyvane::test {
namespace {

std::string logPath() {
    return AgentFixture::agentPath() + "/logs/AppMonitor.log";
}

}  // namespace

const std::string& AgentFixture::agentPath() {
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

void AgentFixture::writePlist(const std::string& path, const plist::Value& value) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    auto xml = plist::toXml(value);
    ASSERT_TRUE(xml);
    ASSERT_TRUE(plist::writeInPlace(path, *xml));
}

plist::Value AgentFixture::readPlist(const std::string& path) {
    auto value = plist::readFile(path);
    EXPECT_TRUE(value) << path;
    return value.value_or(plist::Value());
}

void AgentFixture::SetUp() {
    std::filesystem::remove_all(agentPath() + "/data");
    std::error_code error;
    logOffset_ = std::filesystem::file_size(logPath(), error);
    if (error) logOffset_ = 0;
}

std::vector<std::string> AgentFixture::logMessages() const {
    const std::string text = slurp(logPath());
    return logMessagesOf(logOffset_ < text.size() ? text.substr(logOffset_) : "");
}

std::vector<std::string> AgentFixture::logMessagesStartingWith(const std::string& prefix) const {
    std::vector<std::string> found;
    for (const auto& m : logMessages())
        if (m.rfind(prefix, 0) == 0) found.push_back(m);
    return found;
}

}  // namespace tallyvane::test
