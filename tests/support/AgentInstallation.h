#pragma once
// An agent installation of its own for an end-to-end test: settings naming this test program as
// the trusted parent, a session bus, and the real program started against it.
#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <thread>

#include "support/AgentFixture.h"
#include "support/AppBundle.h"
#include "support/ChildProcess.h"

namespace tallyvane::test {

class AgentInstallation {
  public:
    // settings go into config/agent.plist; TrustedParentPath defaults to this test program.
    explicit AgentInstallation(plist::Dict settings = {}) {
        settings.emplace("TrustedParentPath",
                         std::filesystem::canonical("/proc/self/exe").string());
        writePlist(path() + "/config/agent.plist", settings);
        // A session bus of its own, so that tests running side by side never hear each other.
        FILE* bus = popen("dbus-daemon --session --fork --print-address=1 --print-pid=1", "r");
        char address[512] = {};
        if (bus && std::fscanf(bus, "%511s %d", address, &busPid_) == 2) busAddress_ = address;
        if (bus) pclose(bus);
        EXPECT_FALSE(busAddress_.empty()) << "no private session bus";
    }
    ~AgentInstallation() {
        if (busPid_ > 0) kill(busPid_, SIGTERM);
    }

    const std::string& path() const { return dir_.path(); }
    std::string meteringPath(const std::string& file) const {
        return path() + "/data/SoftwareMetering/" + file;
    }
    std::string outputPath() const { return path() + "/stdout.txt"; }

    // Starts build/bin/tallyvane with the arguments, standard output into outputPath().
    std::unique_ptr<ChildProcess> start(std::vector<std::string> arguments) const {
        arguments.insert(arguments.begin(), std::string(TALLYVANE_BIN_DIR) + "/tallyvane");
        return std::make_unique<ChildProcess>(arguments, environment(), outputPath());
    }
    std::map<std::string, std::string> environment() const {
        return {{"VORNAGENT_PATH", path()}, {"DBUS_SESSION_BUS_ADDRESS", busAddress_}};
    }
    std::vector<std::string> logMessages() const { return agentLogMessages(path()); }
    bool logHas(const std::string& message) const {
        return std::ranges::count(logMessages(), message) > 0;
    }
    // Posts a notification on the installation's bus as an operator would; dbus-send's status.
    int sendByHand(const std::string& name) const {
        ChildProcess send(
            {"/usr/bin/dbus-send", "--session", "--type=signal",
             "/org/tallyvane/DistributedNotificationCenter",
             "org.tallyvane.DistributedNotificationCenter.Notification", "string:" + name},
            environment());
        return send.waitExit().value_or(-1);
    }

  private:
    ScratchDir dir_;
    std::string busAddress_;
    pid_t busPid_ = -1;
};

// The monitor's observers take effect two seconds after start: until a probe's launch is seen.
inline bool observing(const AgentInstallation& agent, const std::string& apps) {
    using namespace std::chrono_literals;
    return eventually(
        [&] {
            {
                ChildProcess probe(makeBundle(apps, "Probe"), {"600"});
                if (eventually([&] { return agent.logHas("App launched: Probe"); }, 500ms))
                    return true;
            }
            // A start within the hold after the last one ended would be the same run.
            std::this_thread::sleep_for(200ms);
            return false;
        },
        20s);
}

}  // namespace tallyvane::test
