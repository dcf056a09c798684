#include "platform/linux/ApplicationCatalog.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <memory>

#include "platform/linux/ProcFs.h"
#include "platform/linux/ShellScripts.h"

namespace tallyvane::linux_platform {
namespace {

constexpr std::size_t kEntryLimit = 256 * 1024;
constexpr std::size_t kScriptLimit = 64 * 1024;
constexpr std::size_t kMaxEntries = 20000;
constexpr int kMaxDepth = 4;

// The absolute folders of a colon-separated list, each once, without a trailing slash.
void addFolders(std::string_view list, std::vector<std::string>& folders) {
    while (true) {
        const auto colon = list.find(':');
        std::string folder(list.substr(0, colon));
        while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
        if (folder.starts_with('/') &&
            std::find(folders.begin(), folders.end(), folder) == folders.end())
            folders.push_back(std::move(folder));
        if (colon == std::string_view::npos) return;
        list.remove_prefix(colon + 1);
    }
}

std::vector<std::string> searchPath() {
    std::vector<std::string> folders;
    if (const char* path = std::getenv("PATH")) addFolders(path, folders);
    addFolders("/usr/local/bin:/usr/bin:/bin:/usr/local/sbin:/usr/sbin:/sbin:/usr/games", folders);
    return folders;
}

}  // namespace

std::vector<std::string> xdgApplicationFolders() {
    std::vector<std::string> folders;
    const char* home = std::getenv("HOME");
    const char* dataHome = std::getenv("XDG_DATA_HOME");
    if (dataHome && dataHome[0] == '/')
        folders.push_back(std::string(dataHome) + "/applications");
    else if (home && home[0] == '/')
        folders.push_back(std::string(home) + "/.local/share/applications");
    const char* dataDirs = std::getenv("XDG_DATA_DIRS");
    std::vector<std::string> data;
    addFolders(dataDirs && *dataDirs ? dataDirs : "/usr/local/share:/usr/share", data);
    for (const std::string& folder : data) folders.push_back(folder + "/applications");
    return folders;
}

ApplicationCatalog::ApplicationCatalog(std::vector<std::string> folders)
    : folders_(std::move(folders)), searchPath_(searchPath()), watch_(!folders_.empty()) {
    load();
}

std::optional<std::string> ApplicationCatalog::applicationOf(const std::string& program) const {
    if (const auto it = programs_.find(program); it != programs_.end()) return it->second;
    // A splash or the real program beside an entry's own, in a folder only that one uses.
    const auto slash = program.rfind('/');
    if (slash != std::string::npos && slash > 0) {
        const auto it = inFolder_.find(program.substr(0, slash));
        if (it != inFolder_.end() && !it->second.empty()) return it->second;
    }
    const std::string name = fileNameOf(program);
    if (names_.count(name) && !isInterpreter(name)) return name;
    return std::nullopt;
}

std::optional<std::string> ApplicationCatalog::applicationOfEntry(
    const std::vector<std::string>& ids) const {
    for (const std::string& id : ids)
        if (const auto it = entries_.find(id); it != entries_.end()) return it->second;
    return std::nullopt;
}

bool ApplicationCatalog::isSharedFolder(const std::string& folder) const {
    if (std::find(searchPath_.begin(), searchPath_.end(), folder) != searchPath_.end()) return true;
    for (std::string_view shared : {"/usr/libexec", "/usr/lib", "/usr/local/libexec",
                                    "/usr/local/lib", "/lib", "/opt", "/tmp", "/"})
        if (folder == shared) return true;
    return false;
}

void ApplicationCatalog::meter(const std::vector<std::string>& names) {
    metered_ = std::set<std::string>(names.begin(), names.end());
}

bool ApplicationCatalog::refresh() {
    if (!watch_.changed()) return false;
    load();
    return true;
}

void ApplicationCatalog::load() {
    programs_.clear();
    entries_.clear();
    inFolder_.clear();
    names_.clear();
    files_ = 0;
    watch_.restart();
    std::set<std::string> ids;
    std::vector<std::pair<std::string, std::string>> services;  // bus name, application
    for (const std::string& folder : folders_) {
        std::vector<std::pair<std::string, std::string>> found;  // id, path
        readFolder(folder, "", 0, found);
        // Sorted, so that which entry names a program shared by two does not depend on the disk.
        std::sort(found.begin(), found.end());
        // An entry of the user's own folder hides the system's of the same id.
        for (const auto& [id, path] : found) {
            if (!ids.insert(id).second) continue;
            const auto text = readRegularFile(path, kEntryLimit, true);
            const std::string bare = id.substr(0, id.size() - 8);
            auto entry = text ? parseDesktopEntry(*text, bare) : std::nullopt;
            if (!entry) continue;
            entries_.emplace(bare, entry->name);
            names_.insert(entry->name);
            for (const std::string& program : entry->programs) addProgram(program, entry->name);
            if (!entry->busName.empty()) services.emplace_back(entry->busName, entry->name);
        }
        watch_.await(folder);
    }
    if (services.empty()) return;
    // The session bus starts an activatable application from its service file instead.
    for (const std::string& folder : folders_) {
        const std::string data = std::filesystem::path(folder).parent_path().string();
        const std::string serviceFolder = data + "/dbus-1/services";
        std::vector<std::pair<std::string, std::string>> found;
        readFolder(serviceFolder, "", kMaxDepth, found, ".service");
        for (const auto& [file, path] : found) {
            const auto text = readRegularFile(path, kEntryLimit, true);
            if (!text) continue;
            for (const auto& [bus, name] : services)
                if (auto program = serviceProgram(*text, bus)) addProgram(*program, name);
        }
        watch_.await(serviceFolder);
    }
}

void ApplicationCatalog::readFolder(const std::string& folder, const std::string& idPrefix,
                                    int depth,
                                    std::vector<std::pair<std::string, std::string>>& found,
                                    std::string_view suffix) {
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folder.c_str()), ::closedir);
    if (!dir) return;
    watch_.watchRead(folder);
    while (const dirent* item = ::readdir(dir.get())) {
        const std::string name = item->d_name;
        if (name == "." || name == "..") continue;
        const std::string path = folder + "/" + name;
        struct stat info {};
        if (::stat(path.c_str(), &info) != 0) continue;
        if (S_ISDIR(info.st_mode)) {
            if (depth >= kMaxDepth) continue;
            // The id of an entry in a subfolder joins the folders with '-'.
            readFolder(path, idPrefix + name + "-", depth + 1, found, suffix);
        } else if (name.ends_with(suffix) && S_ISREG(info.st_mode) && ++files_ <= kMaxEntries) {
            found.emplace_back(idPrefix + name, path);
        }
    }
}

void ApplicationCatalog::addProgram(const std::string& program, const std::string& name,
                                    int depth) {
    std::string path;
    if (program.find('/') != std::string::npos) {
        if (!program.starts_with('/')) return;
        path = program;
    } else {
        for (const std::string& folder : searchPath_) {
            const std::string candidate = folder + "/" + program;
            if (::access(candidate.c_str(), X_OK) == 0) {
                path = candidate;
                break;
            }
        }
    }
    if (path.empty()) return;
    std::error_code error;
    const auto real = std::filesystem::canonical(path, error);
    if (error) return;
    // A command that turns out to be an interpreter or a launcher under another name.
    const std::string file = real.filename().string();
    if (isInterpreter(file) || isLauncher(file)) return;
    // The first entry to name a program keeps it.
    if (!programs_.emplace(real.string(), name).second) return;
    // A wrapper script's real program, which may be all a listing finds of it.
    if (depth < 2)
        if (const auto text = readRegularFile(real.string(), kScriptLimit, true))
            for (const std::string& next : scriptExecs(*text)) addProgram(next, name, depth + 1);
    if (path != real.string()) programs_.emplace(path, name);
    const std::string folder = real.parent_path().string();
    if (isSharedFolder(folder)) return;
    const auto [it, added] = inFolder_.emplace(folder, name);
    if (!added && it->second != name) it->second.clear();
}

}  // namespace tallyvane::linux_platform
