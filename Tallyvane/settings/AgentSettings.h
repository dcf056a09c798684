#pragma once
// The management agent's settings as the program reads them: each one afresh at each use, so
// that a value can be followed from the agent's settings to where it is used.
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace tallyvane {

enum class Setting {
    vornagentPath,          // the agent folder (consoleuser.plist)
    vornagentDataDictPath,  // the data folder (SoftwareMetering/)
    localComputerName,
    currentLocalNamespace,
    encodedLocalNameSpace,
    vornCustomerID,
    vornCustomerName,
    vornMSPName,
    vornAgentResourceID,
    fqdnName,
    serialNumber,
    vornRemoteOffID,
    serverURL,  // the management server's base URL (ServerURL)
};

class AgentSettings {
  public:
    virtual ~AgentSettings() = default;
    // The setting's value now; nothing when the agent has none. Thread-safe.
    virtual std::optional<std::string> get(Setting setting) const = 0;
    // The value, or the empty string.
    std::string text(Setting setting) const { return get(setting).value_or(""); }
};

// The path of a metering file in the agent's data folder, built afresh from the settings.
inline std::string meteringPath(const AgentSettings& settings, std::string_view file) {
    return settings.text(Setting::vornagentDataDictPath) + "/SoftwareMetering/" + std::string(file);
}

// The settings of the agent library's globals (set up by startAgentLibrary or
// loadAgentLibrarySettings, settings/AgentLibrary.h); all absent before that.
const AgentSettings& agentLibrarySettings();

// Settings fixed by their holder, for tests and tools.
class FixedSettings final : public AgentSettings {
  public:
    explicit FixedSettings(std::map<Setting, std::string> fixed = {}) : values(std::move(fixed)) {}
    std::map<Setting, std::string> values;
    std::optional<std::string> get(Setting setting) const override {
        const auto it = values.find(setting);
        return it == values.end() ? std::nullopt : std::optional<std::string>(it->second);
    }
};

}  // namespace tallyvane
