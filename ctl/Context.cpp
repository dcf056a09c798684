// What tallyvanectl's commands share: the context of the agent and metering folders, the log and
// the launch-data records read through it.
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>

#include "Commands.h"
#include "ReportPreview.h"
#include "UserSession.h"
#include "platform/linux/Beneath.h"
#include "plist/Plist.h"
#include "settings/AgentLibrary.h"
#include "settings/AgentSettings.h"

namespace tallyvane::ctl {
namespace {

// The user consoleuser.plist names at the console, or root when nobody is.
uid_t consoleUid(const std::string& agentFolder) {
    const auto file = tallyvane::agent::readConsoleUserFile(agentFolder);
    const passwd* entry = file && (file->logType == "Login" || file->logType == "Switch")
                              ? ::getpwnam(file->user.c_str())
                              : nullptr;
    return entry ? entry->pw_uid : 0;
}

}  // namespace

std::string slurp(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::optional<Context> context(const std::string& agentFolder) {
    ::setenv("VORNAGENT_PATH", agentFolder.c_str(), 1);
    loadAgentLibrarySettings();
    Context c;
    c.agentFolder = agentFolder;
    c.dataFolder =
        agentLibrarySettings().get(Setting::vornagentDataDictPath).value_or(agentFolder + "/data");
    if (::geteuid() != 0) {
        c.owner = ::geteuid();
        return c;
    }
    std::string why;
    c.agent = openRootFolder(agentFolder, why);
    const UniqueFd data = c.agent ? openRootFolder(c.dataFolder, why) : UniqueFd();
    UniqueFd metering =
        data ? openBeneath(data.get(), "SoftwareMetering", O_RDONLY | O_DIRECTORY) : UniqueFd();
    struct stat st {};
    if (data && (!metering || ::fstat(metering.get(), &st) != 0))
        why = c.dataFolder + "/SoftwareMetering: " + std::strerror(errno);
    const uid_t console = consoleUid(agentFolder);
    if (metering && st.st_uid != 0 && st.st_uid != console)
        why = c.dataFolder + "/SoftwareMetering: owned by user id " + std::to_string(st.st_uid) +
              ", who is not at the console";
    if (!why.empty()) {
        std::cerr << "tallyvanectl: refused: " << why << "\n";
        return std::nullopt;
    }
    c.owner = st.st_uid;
    ctl::readOnlyBeneath(std::move(metering), c.dataFolder + "/SoftwareMetering", c.owner);
    return c;
}

std::string readLog(const Context& c) {
    const std::string path = c.agentFolder + "/logs/AppMonitor.log";
    if (!c.agent) return slurp(path);
    const UniqueFd fd = openBeneath(c.agent.get(), "logs/AppMonitor.log", O_RDONLY);
    const std::string why = fd ? refusalOf(fd.get(), c.owner) : "";
    if (!why.empty()) std::cerr << "tallyvanectl: " << path << " refused: " << why << "\n";
    return fd && why.empty() ? readAll(fd.get(), 64u << 20).value_or("") : "";
}

plist::Dict records(const Context& c) {
    auto root = ctl::readMeteringFile(c.meteringFile("AppLaunchData.plist"));
    const plist::Dict* dict = root ? plist::asDict(*root) : nullptr;
    return dict ? *dict : plist::Dict{};
}

std::string text(const plist::Dict& record, const char* key) {
    if (const auto* s = plist::stringFor(record, key)) return s->str();
    if (const auto i = plist::integerFor(record, key)) return std::to_string(*i);
    if (const auto r = plist::realFor(record, key)) {
        std::ostringstream out;
        out << *r;
        return out.str();
    }
    return "";
}

}  // namespace tallyvane::ctl
