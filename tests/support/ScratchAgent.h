#pragma once
// A temporary agent installation folder for a test: config/agent.plist written from a map of
// settings, an empty data/ folder, all removed again when the helper goes.
//
//   tallyvane::test::ScratchAgent agent({{"ServerURL", server.url()},
//                                        {"TrustedParentPath", std::vector<std::string>{a, b}}});
//   auto env = agent.activate();   // VORNAGENT_PATH=agent.path() until env goes
//   VornUtilMac().initializeVornGlobal();
//
// A child program started with the environment of the test (or with VORNAGENT_PATH set to
// agent.path()) finds the same settings.
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace tallyvane::test {

// A setting is a string or an array of strings (TrustedParentPath may be either).
using SettingValue = std::variant<std::string, std::vector<std::string>>;
using Settings = std::map<std::string, SettingValue>;

// Sets an environment variable (or removes it, for nothing) and puts the old state back when it
// goes. Not thread-safe, like setenv itself.
class ScopedEnv {
  public:
    ScopedEnv(std::string name, const std::optional<std::string>& value);
    ~ScopedEnv();
    ScopedEnv(ScopedEnv&& other) noexcept;
    ScopedEnv& operator=(ScopedEnv&&) = delete;
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

  private:
    std::string name_;
    std::optional<std::string> previous_;
    bool active_ = true;
};

class ScratchAgent {
  public:
    enum class Format { Xml, Binary };

    // Creates the folder (under TMPDIR, else /tmp) with config/agent.plist holding settings
    // (an empty dictionary when there are none) and an empty data/ folder. Throws
    // std::runtime_error on failure.
    explicit ScratchAgent(const Settings& settings = {}, Format format = Format::Xml);
    ~ScratchAgent();  // removes the whole folder
    ScratchAgent(const ScratchAgent&) = delete;
    ScratchAgent& operator=(const ScratchAgent&) = delete;

    const std::filesystem::path& path() const { return root_; }
    std::filesystem::path configDir() const { return root_ / "config"; }
    std::filesystem::path dataDir() const { return root_ / "data"; }
    std::filesystem::path logsDir() const { return root_ / "logs"; }
    std::filesystem::path settingsFile() const { return configDir() / "agent.plist"; }

    // Rewrites config/agent.plist.
    void writeSettings(const Settings& settings, Format format = Format::Xml) const;
    // Writes bytes as config/<name> (say, a garbage agent.plist or a data dictionary).
    void writeConfigFile(const std::string& name, const std::string& bytes) const;
    // Removes config/agent.plist.
    void removeSettings() const;
    // The text of logs/<name>, empty when it is missing.
    std::string logText(const std::string& name = "AppMonitor.log") const;

    // Points VORNAGENT_PATH at this folder until the returned object goes.
    ScopedEnv activate() const { return ScopedEnv("VORNAGENT_PATH", root_.string()); }

    // The settings as property-list bytes.
    static std::string serialize(const Settings& settings, Format format = Format::Xml);

  private:
    std::filesystem::path root_;
};

}  // namespace tallyvane::test
