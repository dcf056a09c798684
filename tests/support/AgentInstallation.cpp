#include "support/AgentInstallation.h"

#include <gtest/gtest.h>
#include <limits.h>
#include <stdlib.h>

#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "plist/PlistFile.h"

namespace tallyvane::test {

AgentInstallation::AgentInstallation(plist::Dict settings) {
    char self[PATH_MAX];
    if (!settings.count("TrustedParentPath") && realpath("/proc/self/exe", self))
        settings.emplace("TrustedParentPath", std::string(self));
    writePlist(path() + "/config/agent.plist", settings);
    std::filesystem::create_directories(path() + "/data/SoftwareMetering");

    if (FILE* bus = popen("dbus-daemon --session --fork --print-address=1 --print-pid=1", "r")) {
        char line[512];
        if (fgets(line, sizeof line, bus)) busAddress_ = std::string(line, strcspn(line, "\n"));
        if (fgets(line, sizeof line, bus)) busPid_ = static_cast<pid_t>(std::atoi(line));
        pclose(bus);
    }
    EXPECT_FALSE(busAddress_.empty()) << "no private session bus";
}

AgentInstallation::~AgentInstallation() {
    if (busPid_ > 0) kill(busPid_, SIGTERM);
}

std::map<std::string, std::string> AgentInstallation::environment() const {
    return {{"VORNAGENT_PATH", path()}, {"DBUS_SESSION_BUS_ADDRESS", busAddress_}};
}

std::string AgentInstallation::program() {
    return std::string(TALLYVANE_BIN_DIR) + "/tallyvane";
}

void AgentInstallation::writePlist(const std::string& path, const plist::Value& value) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    auto xml = plist::toXml(value);
    ASSERT_TRUE(xml && plist::writeInPlace(path, *xml)) << path;
}

std::unique_ptr<ChildProcess> AgentInstallation::start(
    const std::vector<std::string>& arguments) const {
    std::vector<std::string> argv{program()};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return std::make_unique<ChildProcess>(argv, environment(), outputPath());
}

std::vector<std::string> AgentInstallation::logMessages() const {
    return logMessagesOf(slurp(logPath()));
}

bool AgentInstallation::logHas(const std::string& message) const {
    const auto messages = logMessages();
    return std::find(messages.begin(), messages.end(), message) != messages.end();
}

}  // namespace tallyvane::test
