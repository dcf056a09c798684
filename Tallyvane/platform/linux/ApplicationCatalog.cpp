#include "platform/linux/ApplicationCatalog.h"

#include <dirent.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>

#include "platform/linux/ProcFs.h"
#include "platform/linux/TextLines.h"

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

bool isShell(std::string_view name) {
    for (std::string_view shell : {"sh", "bash", "dash", "zsh", "ksh", "mksh", "fish"})
        if (name == shell) return true;
    return false;
}

}  // namespace

bool isInterpreter(std::string_view name) {
    for (std::string_view interpreter : {"python", "perl", "ruby", "node", "nodejs", "lua", "php",
                                         "tclsh", "wish", "java", "mono", "gjs", "env"}) {
        if (!name.starts_with(interpreter)) continue;
        const auto version = name.substr(interpreter.size());
        if (version.find_first_not_of("0123456789.") == std::string_view::npos) return true;
    }
    return isShell(name);
}

namespace {

// Starts what it is given in a sandbox, another session or as another user: the application is
// the process it starts, known by its sandbox or not the user's at all.
bool isLauncher(std::string_view name) {
    for (std::string_view launcher : {"flatpak", "flatpak-spawn", "bwrap", "snap", "gtk-launch",
                                      "xdg-open", "gio", "pkexec", "sudo", "kdesu", "gksu"})
        if (name == launcher) return true;
    return false;
}

// A command line of "sh -c" split into words, up to its first operator; nothing when a quote is
// left open.
std::optional<std::vector<std::string>> shellWords(std::string_view command) {
    std::vector<std::string> words;
    std::string word;
    bool inWord = false;
    for (std::size_t i = 0; i < command.size(); ++i) {
        const char c = command[i];
        if (c == '\'' || c == '"') {
            const auto close = command.find(c, i + 1);
            if (close == std::string_view::npos) return std::nullopt;
            for (std::size_t j = i + 1; j < close; ++j) {
                if (c == '"' && command[j] == '\\' && j + 1 < close) ++j;
                word += command[j];
            }
            i = close;
            inWord = true;
        } else if (c == '\\' && i + 1 < command.size()) {
            word += command[++i];
            inWord = true;
        } else if (c == ' ' || c == '\t' || c == '\n' || c == ';' || c == '&' || c == '|' ||
                   c == '(' || c == ')' || c == '<' || c == '>') {
            if (inWord) words.push_back(std::exchange(word, {}));
            inWord = false;
            if (c != ' ' && c != '\t') break;
        } else {
            word += c;
            inWord = true;
        }
    }
    if (inWord) words.push_back(word);
    // Assignments before the command, and the shell's own words for running it.
    std::size_t first = 0;
    while (first < words.size() && (words[first] == "exec" || words[first] == "command" ||
                                    (words[first].find('=') != std::string::npos &&
                                     words[first].front() != '/' && words[first].front() != '=')))
        ++first;
    words.erase(words.begin(), words.begin() + static_cast<std::ptrdiff_t>(first));
    return words;
}

std::vector<std::string> searchPath() {
    std::vector<std::string> folders;
    if (const char* path = std::getenv("PATH")) addFolders(path, folders);
    addFolders("/usr/local/bin:/usr/bin:/bin:/usr/local/sbin:/usr/sbin:/sbin:/usr/games", folders);
    return folders;
}

struct Entry {
    bool application = false;
    bool hidden = false;
    bool activatable = false;
    std::string exec;
    std::string tryExec;
    std::string busName;
};

// The keys of the [Desktop Entry] group that say what an entry starts.
Entry readEntry(std::string_view text) {
    Entry entry;
    eachIniKey(text, "Desktop Entry", [&](std::string_view key, std::string_view value) {
        if (key == "Type") entry.application = value == "Application";
        if (key == "Hidden") entry.hidden = value == "true";
        if (key == "Exec") entry.exec = std::string(value);
        if (key == "TryExec") entry.tryExec = std::string(value);
        if (key == "DBusActivatable") entry.activatable = value == "true";
        if (key == "X-DBus-ServiceName") entry.busName = std::string(value);
        return true;
    });
    return entry;
}

// Reverses systemd's escaping of a unit name: "\x2d" is a '-' of the name itself.
std::string unescapedUnit(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 3 < text.size() && text[i + 1] == 'x') {
            const auto hex = [](char c) {
                return c >= '0' && c <= '9'   ? c - '0'
                       : c >= 'a' && c <= 'f' ? c - 'a' + 10
                       : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                              : -1;
            };
            const int high = hex(text[i + 2]), low = hex(text[i + 3]);
            if (high >= 0 && low >= 0) {
                out += static_cast<char>(high * 16 + low);
                i += 3;
                continue;
            }
        }
        out += text[i];
    }
    return out;
}

}  // namespace

std::optional<std::vector<std::string>> execArguments(std::string_view exec) {
    // The escapes of any string value first, then the quoting of the command line.
    std::string text;
    for (std::size_t i = 0; i < exec.size(); ++i) {
        if (exec[i] != '\\' || i + 1 == exec.size()) {
            text += exec[i];
            continue;
        }
        switch (exec[++i]) {
            case 's':
                text += ' ';
                break;
            case 'n':
                text += '\n';
                break;
            case 't':
                text += '\t';
                break;
            case 'r':
                text += '\r';
                break;
            case '\\':
                text += '\\';
                break;
            default:
                text += '\\', text += exec[i];
        }
    }
    std::vector<std::string> arguments;
    std::string argument;
    bool inArgument = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '"') {
            for (++i;; ++i) {
                if (i == text.size()) return std::nullopt;
                if (text[i] == '"') break;
                if (text[i] == '\\' && i + 1 < text.size()) ++i;
                argument += text[i];
            }
            inArgument = true;
        } else if (c == ' ' || c == '\t' || c == '\n') {
            if (inArgument) arguments.push_back(std::exchange(argument, {}));
            inArgument = false;
        } else {
            argument += c;
            inArgument = true;
        }
    }
    if (inArgument) arguments.push_back(argument);
    // Field codes stand for files, URLs and the entry's own name: none is the program.
    std::vector<std::string> result;
    for (const std::string& each : arguments) {
        if (each.size() == 2 && each[0] == '%' && each[1] != '%') continue;
        std::string kept;
        for (std::size_t i = 0; i < each.size(); ++i) {
            if (each[i] != '%') {
                kept += each[i];
            } else if (i + 1 < each.size() && each[i + 1] == '%') {
                kept += '%';
                ++i;
            } else {
                ++i;
            }
        }
        result.push_back(std::move(kept));
    }
    return result;
}

std::optional<std::string> launchedProgram(std::vector<std::string> arguments) {
    std::size_t i = 0;
    for (int hop = 0; hop < 8 && i < arguments.size(); ++hop) {
        const std::string name = fileNameOf(arguments[i]);
        if (name == "env") {
            // Its options and assignments, then the command.
            for (++i; i < arguments.size(); ++i) {
                const std::string& word = arguments[i];
                if (word == "-u" || word == "--unset" || word == "-C" || word == "--chdir")
                    ++i;
                else if (!word.starts_with('-') &&
                         (word.find('=') == std::string::npos || word.starts_with('/')))
                    break;
            }
            continue;
        }
        if (isShell(name)) {
            // "sh -c COMMAND" starts what COMMAND names; "sh FILE" interprets FILE.
            auto option = std::find_if(arguments.begin() + static_cast<std::ptrdiff_t>(i) + 1,
                                       arguments.end(), [](const std::string& word) {
                                           return word.size() > 1 && word[0] == '-' &&
                                                  word.find('c') != std::string::npos;
                                       });
            if (option == arguments.end() || option + 1 == arguments.end()) return std::nullopt;
            auto words = shellWords(*(option + 1));
            if (!words) return std::nullopt;
            arguments = std::move(*words);
            i = 0;
            continue;
        }
        if (isLauncher(name) || isInterpreter(name) || arguments[i].empty()) return std::nullopt;
        return arguments[i];
    }
    return std::nullopt;
}

std::optional<DesktopEntry> parseDesktopEntry(std::string_view text, std::string_view id) {
    const Entry entry = readEntry(text);
    if (!entry.application || entry.hidden) return std::nullopt;
    auto arguments = execArguments(entry.exec);
    auto program = arguments ? launchedProgram(std::move(*arguments)) : std::nullopt;
    if (!program) return std::nullopt;
    DesktopEntry result;
    result.name = fileNameOf(*program);
    result.programs.push_back(std::move(*program));
    if (!entry.tryExec.empty()) result.programs.push_back(entry.tryExec);
    // A reverse-DNS id is the bus name of the application's own service, activatable or not
    // (GNOME Terminal's entry is not, yet its client asks the bus for org.gnome.Terminal).
    const bool busLike = id.find('.') != std::string_view::npos && id.front() != '.';
    result.busName =
        entry.activatable || (entry.busName.empty() && busLike) ? std::string(id) : entry.busName;
    return result;
}

std::vector<std::string> scriptExecs(std::string_view text) {
    std::vector<std::string> programs;
    if (!text.starts_with("#!")) return programs;
    eachLine(text, [&](std::string_view line) {
        for (std::size_t at = line.find("exec "); at != std::string_view::npos;
             at = line.find("exec ", at + 5)) {
            // A command of its own: first on the line, or after an operator.
            std::size_t before = at;
            while (before > 0 && (line[before - 1] == ' ' || line[before - 1] == '\t')) --before;
            if (before > 0 &&
                std::string_view(";&|(").find(line[before - 1]) == std::string_view::npos)
                continue;
            auto words = shellWords(line.substr(at));
            if (!words || words->empty()) continue;
            const std::string& program = words->front();
            if (program.starts_with('/') && program.find('$') == std::string::npos &&
                programs.size() < 8)
                programs.push_back(program);
        }
        return true;
    });
    return programs;
}

std::optional<std::string> serviceProgram(std::string_view text, std::string_view busName) {
    bool named = false;
    std::string exec;
    eachIniKey(text, "D-BUS Service", [&](std::string_view key, std::string_view value) {
        if (key == "Name") named = value == busName;
        if (key == "Exec") exec = std::string(value);
        return true;
    });
    if (!named || busName.empty()) return std::nullopt;
    auto arguments = execArguments(exec);
    return arguments ? launchedProgram(std::move(*arguments)) : std::nullopt;
}

std::vector<std::string> unitDesktopIds(std::string_view unit) {
    std::vector<std::string> ids;
    std::string_view name;
    bool scope = false;
    if (unit.ends_with(".scope")) {
        name = unit.substr(0, unit.size() - 6), scope = true;
    } else if (unit.ends_with(".service")) {
        name = unit.substr(0, unit.size() - 8);
        if (const auto at = name.find('@'); at != std::string_view::npos) name = name.substr(0, at);
    } else {
        return ids;
    }
    if (!name.starts_with("app-")) return ids;
    name.remove_prefix(4);
    // A scope always ends in its random part; a service's is after '@', if any.
    if (scope) {
        const auto dash = name.rfind('-');
        if (dash == std::string_view::npos || dash == 0) return ids;
        name = name.substr(0, dash);
    }
    // With or without a launcher's part before the id.
    const auto dash = name.find('-');
    ids.push_back(unescapedUnit(name));
    if (dash != std::string_view::npos && dash + 1 < name.size())
        ids.push_back(unescapedUnit(name.substr(dash + 1)));
    return ids;
}

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
    : folders_(std::move(folders)), searchPath_(searchPath()) {
    if (!folders_.empty()) inotify_.reset(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
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
    if (!inotify_) return false;
    bool changed = false;
    alignas(inotify_event) std::array<char, 4096> buffer;
    for (;;) {
        const ssize_t n = ::read(inotify_.get(), buffer.data(), buffer.size());
        if (n > 0) {
            for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(inotify_event)) <= n;) {
                inotify_event event;
                std::memcpy(&event, buffer.data() + at, sizeof event);
                const char* name = buffer.data() + at + sizeof event;
                at += static_cast<ssize_t>(sizeof event + event.len);
                if (at > n) break;
                changed = changed || countsAsChange(event, event.len ? std::string(name) : "");
            }
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        break;
    }
    if (changed) load();
    return changed;
}

bool ApplicationCatalog::countsAsChange(const inotify_event& event, const std::string& name) const {
    if ((event.mask & IN_Q_OVERFLOW) || read_.count(event.wd)) return true;
    const auto awaited = awaited_.find(event.wd);
    return awaited != awaited_.end() && awaited->second.count(name);
}

void ApplicationCatalog::load() {
    programs_.clear();
    entries_.clear();
    inFolder_.clear();
    names_.clear();
    files_ = 0;
    if (inotify_) {
        // Afresh: the old watches may name folders that are gone or replaced.
        inotify_.reset(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
        awaited_.clear();
        read_.clear();
    }
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
        watch(folder);
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
        watch(serviceFolder);
    }
}

void ApplicationCatalog::watch(const std::string& folder) {
    if (!inotify_) return;
    // A folder not there yet: its nearest existing parent tells when it comes.
    std::filesystem::path parent = folder, child;
    for (int up = 0; up < 4 && ::access(parent.c_str(), F_OK) != 0; ++up) {
        child = parent.filename();
        parent = parent.parent_path();
    }
    if (child.empty()) return;
    // Added to whatever that folder is watched for already, not in its place.
    const int wd = ::inotify_add_watch(inotify_.get(), parent.c_str(),
                                       IN_CREATE | IN_MOVED_TO | IN_ONLYDIR | IN_MASK_ADD);
    if (wd >= 0) awaited_[wd].insert(child.string());
}

void ApplicationCatalog::readFolder(const std::string& folder, const std::string& idPrefix,
                                    int depth,
                                    std::vector<std::pair<std::string, std::string>>& found,
                                    std::string_view suffix) {
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folder.c_str()), ::closedir);
    if (!dir) return;
    if (inotify_) {
        const int wd = ::inotify_add_watch(inotify_.get(), folder.c_str(),
                                           IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO |
                                               IN_CLOSE_WRITE | IN_ATTRIB | IN_DELETE_SELF |
                                               IN_MOVE_SELF | IN_ONLYDIR | IN_MASK_ADD);
        if (wd >= 0) read_.insert(wd);
    }
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
