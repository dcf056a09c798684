// What tallyvanectl reads of the metering files, and the dry run: the report run's own settle and
// build steps over a copy of the files in memory, with a log that keeps nothing.
#include "ReportPreview.h"

#include <iostream>

#include "AppMonitor.h"
#include "platform/Clock.h"
#include "platform/FileSystem.h"
#include "platform/linux/Beneath.h"
#include "platform/linux/LinuxPlatform.h"
#include "platform/memory/MemoryFileSystem.h"
#include "report/ReportRun.h"
#include "settings/AgentLibrary.h"
#include "settings/AgentSettings.h"
#include "store/DurableFile.h"
#include "store/MeteringFiles.h"

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
            if (!quiet_) std::cerr << "tallyvanectl: " << path << " refused: " << why << "\n";
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

    // Whether refusals go unsaid on standard error.
    void quiet(bool quiet) { quiet_ = quiet; }

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
    bool quiet_ = false;
};

// The metering code's log lines on standard error, for --verbose.
class StandardErrorLog final : public LogSink {
  protected:
    void record(std::string_view message, std::string_view more) override {
        std::cerr << message << more << '\n';
    }
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

std::optional<std::string> previewReport(const std::string& dataFolder, bool verbose) {
    // Whatever the steps write or lock stays in memory: a report run waits on nothing here.
    const std::string folder = dataFolder + "/SoftwareMetering";
    readOnly().quiet(!verbose);
    MemoryFileSystem copy;
    (void)copy.createDirectory(folder, 755);
    for (const char* name : {"AppLaunchData.plist", "AppRuleData.plist", "AppPostData.plist"}) {
        const std::string path = folder + "/" + name;
        for (const std::string& file : {path, store::DurableFile::sidecarOf(path)}) {
            if (!readOnly().exists(file)) continue;
            if (auto bytes = readOnly().readFile(file)) copy.put(file, std::move(*bytes));
        }
    }
    DroppingLogSink nowhere;
    StandardErrorLog standardError;
    LogSink& log = verbose ? static_cast<LogSink&>(standardError) : nowhere;
    struct NoUpload final : Uploader {
        int send(std::string_view, std::string_view) override { return -1; }
    } noUpload;
    auto mainLoop = linux_platform::makeMainLoop(log);
    auto workspace = linux_platform::makeWorkspace(
        *mainLoop, {.events = linux_platform::ProcessEvents::None, .log = &log});
    auto processes = linux_platform::makeProcessTable();
    const Platform platform{systemClock(), *mainLoop, *workspace, *processes, copy,
                            nullptr,       log,       nullptr,    noUpload,   nowhere};
    // The agent's settings, the metering files found in the folder given.
    struct InFolder final : AgentSettings {
        InFolder(const AgentSettings& a, std::string f) : agent(a), folder(std::move(f)) {}
        std::optional<std::string> get(Setting setting) const override {
            return setting == Setting::vornagentDataDictPath ? folder : agent.get(setting);
        }
        const AgentSettings& agent;
        std::string folder;
    } settings(agentLibrarySettings(), dataFolder);

    AppMonitor monitor(platform, settings, AppMonitor::UsageTableScope::RunningApplications);
    monitor.checkAlreadyRunningAppsAndUpdatePlist();
    auto report = report::ReportRun(
                      {monitor.meteringFiles(), settings, platform.clock, log, noUpload, nowhere},
                      monitor.appLaunchDataPlistURL, monitor.swmPostDataURL)
                      .build();
    if (!report) return std::nullopt;
    return std::move(report->document);
}

}  // namespace tallyvane::ctl
