// Which application a process of the user is: by its Flatpak sandbox, its bundle, its snap, the
// desktop's unit or entry that started it, an AppImage, or a metered name; and which programs a
// run may take in as its own.
#include <algorithm>

#include "base/Unicode.h"
#include "platform/linux/ProcessTracker.h"

namespace tallyvane::linux_platform {
namespace {

std::string folderOf(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

// The snap of /snap/NAME/REVISION/...; the base snaps hold snapd's own launchers.
std::optional<std::string> snapOf(const std::string& program) {
    if (!program.starts_with("/snap/")) return std::nullopt;
    const auto end = program.find('/', 6);
    if (end == std::string::npos) return std::nullopt;
    std::string name = program.substr(6, end - 6);
    if (name.starts_with("core") || name == "snapd" || name == "bare") return std::nullopt;
    return name;
}

bool isAppImage(const std::string& program) {
    if (program.size() <= 9) return false;
    std::string suffix = program.substr(program.size() - 9);
    std::transform(suffix.begin(), suffix.end(), suffix.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return suffix == ".appimage";
}

}  // namespace

std::optional<ProcessTracker::Classified> ProcessTracker::classify(
    pid_t pid, const Tracked& tracked, const std::optional<FlatpakSandbox>& sandbox) const {
    Classified as;
    as.application = describeApplication(pid, tracked.program);
    as.application.executableURL = tracked.program;
    if (sandbox) {
        as.key = "flatpak:" + sandbox->id;
        return as;
    }
    if (as.application.bundleURL) {
        as.key = *as.application.bundleURL;
        return as;
    }
    if (const auto snap = snapOf(tracked.program)) {
        as.key = "snap:" + *snap;
        return as;
    }
    // Started by the desktop in a unit of the application's own, or as a program it leads to.
    const std::string cgroup = proc_.cgroup(pid);
    auto name = catalog_.applicationOfEntry(unitDesktopIds(fileNameOf(cgroup)));
    if (name) as.unit = cgroup;
    if (!name) name = catalog_.applicationOf(tracked.program);
    if (name) {
        as.application.localizedName = canonicalName(*name);
    } else if (isAppImage(tracked.program)) {
        as.key = tracked.program;
        return as;
    } else if (!as.application.localizedName ||
               !catalog_.isMetered(*as.application.localizedName)) {
        return std::nullopt;
    }
    as.key = "name:" + *as.application.localizedName;
    return as;
}

bool ProcessTracker::owns(const Run& run, const std::string& program) {
    if (run.programs.count(program)) return true;
    if (isInterpreter(fileNameOf(program))) return false;
    const std::string folder = folderOf(program);
    if (!catalog_.isSharedFolder(folder))
        for (const std::string& own : run.programs)
            if (folderOf(own) == folder) return true;
    const auto package = dpkg_.owner(program);
    if (!package) return false;
    for (const std::string& own : run.programs)
        if (dpkg_.owner(own) == package) return true;
    return false;
}

}  // namespace tallyvane::linux_platform
