// The agent's process-wide settings (gv_globvars) and their set-up (VornUtilMac).
#include "lvornutils/GlobVars.h"

#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>
#include <climits>
#include <cstring>
#include <map>
#include <mutex>

#include "Internal.h"
#include "lvornutils/VornUtilMac.h"

struct GlobVars::Settings {
    std::optional<std::string> agentDirectory;
    std::map<std::string, std::string, std::less<>> strings;  // gv_globvars properties by name
    std::optional<std::string> serverURL;
    std::vector<std::string> trustedParentPaths;
};

GlobVars* gv_globvars = nullptr;

namespace {

using lvornutils::detail::NoDestructor;

// The settings file is small; anything larger is not ours to parse.
constexpr std::size_t kMaxSettingsBytes = 1 << 20;

constexpr const char* kStringProperties[] = {
    "vornagentDataDictPath", "localComputerName",   "currentLocalNamespace",
    "encodedLocalNameSpace", "vornCustomerID",      "vornCustomerName",
    "vornMSPName",           "vornAgentResourceID", "fqdnName",
    "serialNumber",          "vornRemoteOffID",
};

std::optional<std::string> hostName() {
    char name[HOST_NAME_MAX + 1] = {};
    if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return std::nullopt;
    return std::string(name);
}

std::optional<std::string> canonicalHostName() {
    auto host = hostName();
    if (!host) return std::nullopt;
    struct addrinfo hints {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_CANONNAME;
    struct addrinfo* result = nullptr;
    std::optional<std::string> canonical;
    if (::getaddrinfo(host->c_str(), nullptr, &hints, &result) == 0 && result != nullptr) {
        if (result->ai_canonname != nullptr && result->ai_canonname[0] != '\0') {
            canonical = std::string(result->ai_canonname);
        }
        ::freeaddrinfo(result);
    }
    return canonical ? canonical : host;
}

// Reads <agent directory>/config/agent.plist into settings. False when there is no readable
// property list with a dictionary at its root.
bool readSettings(GlobVars::Settings& settings) {
    if (!settings.agentDirectory) return false;
    auto root = lvornutils::detail::loadPlistFile(*settings.agentDirectory + "/config/agent.plist",
                                                  kMaxSettingsBytes);
    if (!root || plist_get_node_type(root.get()) != PLIST_DICT) return false;
    for (const char* key : kStringProperties) {
        if (auto text = lvornutils::detail::stringOf(plist_dict_get_item(root.get(), key))) {
            settings.strings.emplace(key, std::move(*text));
        }
    }
    settings.serverURL = lvornutils::detail::stringOf(plist_dict_get_item(root.get(), "ServerURL"));
    // TrustedParentPath: one absolute path or an array of them; anything else is ignored.
    auto addTrusted = [&settings](plist_t node) {
        auto text = lvornutils::detail::stringOf(node);
        if (text && !text->empty() && (*text)[0] == '/' && text->find('\0') == std::string::npos) {
            settings.trustedParentPaths.push_back(std::move(*text));
        }
    };
    plist_t trusted = plist_dict_get_item(root.get(), "TrustedParentPath");
    if (trusted != nullptr && plist_get_node_type(trusted) == PLIST_ARRAY) {
        const uint32_t count = plist_array_get_size(trusted);
        for (uint32_t i = 0; i < count; ++i) addTrusted(plist_array_get_item(trusted, i));
    } else {
        addTrusted(trusted);
    }
    return true;
}

// Owner of the current globals and of those replaced by a later initializeVornGlobal (kept so
// that a reader still holding an old pointer never meets a destroyed object). Never destroyed.
struct GlobalsOwner {
    std::mutex mutex;
    std::unique_ptr<GlobVars> current;
    std::vector<std::unique_ptr<GlobVars>> retired;
};

GlobalsOwner& owner() {
    static NoDestructor<GlobalsOwner> instance;
    return *instance;
}

}  // namespace

GlobVars::GlobVars(std::shared_ptr<const Settings> settings)
    : settings_(settings ? std::move(settings) : std::make_shared<const Settings>()) {}

namespace {
std::optional<std::string> lookUp(const GlobVars::Settings& settings, std::string_view key) {
    auto it = settings.strings.find(key);
    if (it == settings.strings.end()) return std::nullopt;
    return it->second;
}
}  // namespace

std::optional<std::string> GlobVars::vornagentPath() const {
    return settings_->agentDirectory;
}

std::optional<std::string> GlobVars::vornagentDataDictPath() const {
    if (auto value = lookUp(*settings_, "vornagentDataDictPath"); value && !value->empty())
        return value;
    if (!settings_->agentDirectory) return std::nullopt;
    return *settings_->agentDirectory + "/data";
}

std::optional<std::string> GlobVars::localComputerName() const {
    if (auto value = lookUp(*settings_, "localComputerName"); value && !value->empty())
        return value;
    return hostName();
}

std::optional<std::string> GlobVars::currentLocalNamespace() const {
    return lookUp(*settings_, "currentLocalNamespace");
}
std::optional<std::string> GlobVars::encodedLocalNameSpace() const {
    return lookUp(*settings_, "encodedLocalNameSpace");
}
std::optional<std::string> GlobVars::vornCustomerID() const {
    return lookUp(*settings_, "vornCustomerID");
}
std::optional<std::string> GlobVars::vornCustomerName() const {
    return lookUp(*settings_, "vornCustomerName");
}
std::optional<std::string> GlobVars::vornMSPName() const {
    return lookUp(*settings_, "vornMSPName");
}
std::optional<std::string> GlobVars::vornAgentResourceID() const {
    return lookUp(*settings_, "vornAgentResourceID");
}

std::optional<std::string> GlobVars::fqdnName() const {
    if (auto value = lookUp(*settings_, "fqdnName"); value && !value->empty()) return value;
    return canonicalHostName();
}

std::optional<std::string> GlobVars::serialNumber() const {
    return lookUp(*settings_, "serialNumber");
}
std::optional<std::string> GlobVars::vornRemoteOffID() const {
    return lookUp(*settings_, "vornRemoteOffID");
}

std::optional<std::string> GlobVars::serverURL() const {
    return settings_->serverURL;
}

const std::vector<std::string>& GlobVars::trustedParentPaths() const {
    return settings_->trustedParentPaths;
}

bool VornUtilMac::initializeVornGlobal() {
    auto settings = std::make_shared<GlobVars::Settings>();
    settings->agentDirectory = lvornutils::detail::currentAgentDirectory();
    const bool read = readSettings(*settings);
    auto globals = std::make_unique<GlobVars>(std::move(settings));

    auto& o = owner();
    std::lock_guard lock(o.mutex);
    if (o.current) o.retired.push_back(std::move(o.current));
    o.current = std::move(globals);
    gv_globvars = o.current.get();
    return read;
}

bool VornUtilMac::initializeAgentParams() {
    return gv_globvars != nullptr;
}
