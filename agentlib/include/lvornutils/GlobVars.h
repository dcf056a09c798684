#pragma once
// The agent's process-wide settings, read once from <agent directory>/config/agent.plist (XML or
// binary; a missing, unreadable, hostile or non-dictionary file means no settings). Each property
// is the string stored under its own name; a value of another type counts as absent.
#include <memory>
#include <optional>
#include <string>
#include <vector>

class GlobVars {
  public:
    // Agent directory: VORNAGENT_PATH when set and non-empty, else the parent of the
    // directory that holds the running executable.
    std::optional<std::string> vornagentPath() const;
    // Defaults to <agent directory>/data (also when set to the empty string).
    std::optional<std::string> vornagentDataDictPath() const;
    // Defaults to the host name (gethostname; also when set to the empty string).
    std::optional<std::string> localComputerName() const;
    std::optional<std::string> currentLocalNamespace() const;
    std::optional<std::string> encodedLocalNameSpace() const;
    std::optional<std::string> vornCustomerID() const;
    std::optional<std::string> vornCustomerName() const;
    std::optional<std::string> vornMSPName() const;
    std::optional<std::string> vornAgentResourceID() const;
    // Defaults to the canonical host name (getaddrinfo AI_CANONNAME, else the host name), looked
    // up on each call.
    std::optional<std::string> fqdnName() const;
    std::optional<std::string> serialNumber() const;
    std::optional<std::string> vornRemoteOffID() const;

    // Base URL of the management server (settings key ServerURL).
    std::optional<std::string> serverURL() const;
    // Absolute paths of the management agent's executable (TrustedParentPath: string or array);
    // entries that are not absolute-path strings are left out.
    const std::vector<std::string>& trustedParentPaths() const;

    struct Settings;  // defined in the implementation
    explicit GlobVars(std::shared_ptr<const Settings> settings);

  private:
    std::shared_ptr<const Settings> settings_;
};

// Empty (null) until VornUtilMac::initializeVornGlobal has run.
extern GlobVars* gv_globvars;
