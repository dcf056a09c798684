// The one place where tallyvanectl leans on the report's own steps: the settlement of running
// applications (as AppMonitor::checkAlreadyRunningAppsAndUpdatePlist does it) and the document
// (as report::buildAndPostReport builds it), over files that refuse every write.
#include "ReportPreview.h"

#include <algorithm>
#include <iostream>

#include "platform/Clock.h"
#include "platform/FileSystem.h"
#include "platform/linux/Beneath.h"
#include "platform/linux/LinuxPlatform.h"
#include "report/UsageReport.h"
#include "settings/AgentLibrary.h"
#include "settings/AgentSettings.h"
#include "store/MeteringFiles.h"
#include "usage/UsageRules.h"

namespace tallyvane::ctl {
namespace {

// The operating system's files for reading; every write fails and changes nothing. Once guarded,
// only names below the metering folder held open are read, and only after a check.
class ReadOnlyFiles final : public FileSystem {
  public:
    bool exists(const std::string& path) override {
        if (!folder_) return real().exists(path);
        struct stat st {};
        return ::fstatat(folder_.get(), nameOf(path).c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
    }
    bool isRegularFile(const std::string& path) override {
        if (!folder_) return real().isRegularFile(path);
        struct stat st {};
        return ::fstatat(folder_.get(), nameOf(path).c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
               S_ISREG(st.st_mode);
    }
    Result<std::string> readFile(const std::string& path) override {
        if (!folder_) return real().readFile(path);
        const std::string name = nameOf(path);
        UniqueFd fd = name.empty() ? UniqueFd() : openBeneath(folder_.get(), name, O_RDONLY);
        if (!fd && !name.empty() && errno == ENOENT)
            return Status::error("Cannot open \"" + path + "\": " + lastError());
        std::string why = name.empty()            ? "not in " + path_
                          : !fd && errno == ELOOP ? "a symbolic link"
                          : !fd                   ? lastError()
                                                  : refusalOf(fd.get(), owner_);
        auto bytes = why.empty() ? readAll(fd.get(), kMaxFileBytes) : std::nullopt;
        if (!bytes) {
            if (why.empty()) why = "unreadable or larger than 64 MiB";
            std::cerr << "tallyvanectl: " << path << " refused: " << why << "\n";
            return Status::error("Refused \"" + path + "\": " + why);
        }
        return std::move(*bytes);
    }
    Status readInPieces(const std::string& path,
                        const std::function<void(std::string_view)>& take) override {
        if (!folder_) return real().readInPieces(path, take);
        auto bytes = readFile(path);
        if (bytes) take(*bytes);
        return bytes.status();
    }
    Status overwrite(const std::string& path, std::string_view) override { return no(path); }
    Result<std::unique_ptr<Output>> create(const std::string& path, Creation) override {
        return no(path);
    }
    Status copyInto(const std::string& path, const std::string&) override { return no(path); }
    Status rename(const std::string&, const std::string& to) override { return no(to); }
    Status remove(const std::string& path) override { return no(path); }
    Status createDirectory(const std::string& path, int) override { return no(path); }
    std::unique_ptr<Lock> lockFolder(const std::string&) override { return nullptr; }
    std::unique_ptr<Lock> lockFolderIfFree(const std::string&) override { return nullptr; }

    void guard(UniqueFd folder, const std::string& path, uid_t owner) {
        folder_ = std::move(folder);
        path_ = path;
        owner_ = owner;
    }

  private:
    static FileSystem& real() { return posixFileSystem(); }
    static Status no(const std::string& path) {
        return Status::error("tallyvanectl changes nothing: \"" + path + "\" is left alone");
    }
    static std::string lastError() { return std::strerror(errno); }
    // The name of path in the guarded folder; empty when path is not directly in it.
    std::string nameOf(const std::string& path) const {
        if (!path.starts_with(path_ + "/")) return "";
        std::string name = path.substr(path_.size() + 1);
        return name.find('/') == std::string::npos ? name : "";
    }

    UniqueFd folder_;
    std::string path_;
    uid_t owner_ = 0;
};

ReadOnlyFiles& readOnly() {
    static ReadOnlyFiles files;
    return files;
}

store::MeteringFiles& files() {
    static store::MeteringFiles metering(readOnly());
    return metering;
}

}  // namespace

void readOnlyBeneath(UniqueFd folder, const std::string& path, uid_t owner) {
    readOnly().guard(std::move(folder), path, owner);
}

Result<plist::Value> readMeteringFile(const std::string& path) {
    return files().read(path);
}

std::optional<std::string> previewReport(const std::string& dataFolder) {
    const std::string launchDataPath = dataFolder + "/SoftwareMetering/AppLaunchData.plist";
    auto root = files().read(launchDataPath);
    plist::Dict* launchData = root ? plist::asDict(*root) : nullptr;
    if (launchData == nullptr) return std::nullopt;

    // What the report run's AppMonitor holds after its creation: the metered list, the rule
    // mapping it writes to AppRuleData.plist, and the usage table.
    const auto rules = files().readRuleData(launchDataPath);
    UsageRecords table = files().loadAppLaunchDataToUpdate(launchDataPath);
    if (rules) {
        auto mainLoop = linux_platform::makeMainLoop(agentLibraryLog());
        auto workspace = linux_platform::makeWorkspace(
            *mainLoop, {.events = linux_platform::ProcessEvents::None});
        for (const auto& application : workspace->runningApplications()) {
            if (!application.localizedName) continue;
            const std::string& name = *application.localizedName;
            if (std::ranges::find(rules->monitoredApps, name) == rules->monitoredApps.end())
                continue;
            const double now = systemClock().now();
            auto result = usage::settle(table[name], now, systemClock().now());
            if (result.outcome != usage::Settlement::Outcome::Settled) continue;
            table[name] = result.settled;
            // saveAppsData: the record under the name's app definition id, when the file has one.
            const auto rule = rules->appRuledata.find(name);
            const plist::Text* id =
                rule == rules->appRuledata.end() ? nullptr : plist::asString(rule->second);
            if (id != nullptr && launchData->count(*id))
                (*launchData)[*id] = plist::Value(result.settled.fields());
        }
    }
    const AgentSettings& settings = agentLibrarySettings();
    return report::usageReport(report::readAccountValues(settings), *launchData,
                               report::readAgentValues(settings));
}

}  // namespace tallyvane::ctl
