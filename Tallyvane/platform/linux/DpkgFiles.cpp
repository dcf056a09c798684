#include "platform/linux/DpkgFiles.h"

#include <dirent.h>
#include <sys/stat.h>

#include <memory>
#include <vector>

#include "platform/linux/ProcFs.h"

namespace tallyvane::linux_platform {
namespace {

constexpr std::size_t kListLimit = 16 << 20;
// Enough for every file a desktop's applications lead to; beyond it the oldest answers go.
constexpr std::size_t kMaxKnown = 512;

}  // namespace

std::string DpkgFiles::stamp() const {
    struct stat info {};
    const std::string status = system_ + "/var/lib/dpkg/status";
    if (::stat(status.c_str(), &info) != 0) return "none";
    return std::to_string(info.st_ino) + ":" + std::to_string(info.st_size) + ":" +
           std::to_string(info.st_mtim.tv_sec) + "." + std::to_string(info.st_mtim.tv_nsec);
}

std::optional<std::string> DpkgFiles::owner(const std::string& path) {
    if (auto now = stamp(); now != stamp_) {
        known_.clear();
        stamp_ = std::move(now);
    }
    if (const auto it = known_.find(path); it != known_.end()) return it->second;
    if (known_.size() >= kMaxKnown) known_.clear();
    return known_.emplace(path, search(path)).first->second;
}

std::optional<std::string> DpkgFiles::search(const std::string& path) const {
    // With merged /usr a package may list /bin/x for what runs as /usr/bin/x.
    std::vector<std::string> needles = {"\n" + path + "\n"};
    if (path.starts_with("/usr/")) needles.push_back("\n" + path.substr(4) + "\n");
    const std::string info = system_ + "/var/lib/dpkg/info";
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(info.c_str()), ::closedir);
    if (!dir) return std::nullopt;
    while (const dirent* entry = ::readdir(dir.get())) {
        const std::string_view file = entry->d_name;
        if (!file.ends_with(".list")) continue;
        auto list = readRegularFile(info + "/" + std::string(file), kListLimit);
        if (!list) continue;
        list->insert(list->begin(), '\n');
        if (list->back() != '\n') list->push_back('\n');
        for (const auto& needle : needles)
            if (list->find(needle) != std::string::npos)
                return std::string(file.substr(0, file.size() - 5));
    }
    return std::nullopt;
}

}  // namespace tallyvane::linux_platform
