#pragma once
// A scratch agent installation for end-to-end tests: settings naming this test program as the
// trusted parent, a data folder, and the real program started against it.
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "plist/Value.h"
#include "support/ChildProcess.h"

namespace tallyvane::test {

class AgentInstallation {
  public:
    // settings go into config/agent.plist; TrustedParentPath defaults to this test program.
    explicit AgentInstallation(plist::Dict settings = {});

    const std::string& path() const { return dir_.path(); }
    std::string meteringPath(const std::string& file) const {
        return path() + "/data/SoftwareMetering/" + file;
    }
    std::string logPath() const { return path() + "/logs/AppMonitor.log"; }
    std::string outputPath() const { return path() + "/stdout.txt"; }

    // Starts build/bin/tallyvane with the arguments, standard output into outputPath().
    std::unique_ptr<ChildProcess> start(const std::vector<std::string>& arguments) const;
    // The environment of the installation's processes: its agent folder and its own session bus.
    std::map<std::string, std::string> environment() const;
    // The log's messages without their record prefix.
    std::vector<std::string> logMessages() const;
    bool logHas(const std::string& message) const;

    static std::string program();
    static void writePlist(const std::string& path, const plist::Value& value);

  private:
    ScratchDir dir_;
    // A session bus of its own, so that tests running side by side never hear each other.
    std::string busAddress_;
    pid_t busPid_ = -1;

  public:
    ~AgentInstallation();
    AgentInstallation(const AgentInstallation&) = delete;
    AgentInstallation& operator=(const AgentInstallation&) = delete;
};

}  // namespace tallyvane::test
