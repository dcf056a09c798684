#include "platform/linux/ProcFs.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <filesystem>
#include <memory>

#include "base/Unicode.h"
#include "platform/Bundle.h"
#include "platform/linux/TextLines.h"
#include "posix/ReadAll.h"

namespace tallyvane::linux_platform {

std::optional<std::string> readSmallFile(const std::string& path, std::size_t limit) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) return std::nullopt;
    return readAll(fd.get(), limit, Beyond::Cut);
}

std::optional<std::string> readRegularFile(const std::string& path, std::size_t limit,
                                           bool followLink) {
    UniqueFd fd(
        ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | (followLink ? 0 : O_NOFOLLOW)));
    struct stat info {};
    if (!fd || ::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode) ||
        static_cast<std::size_t>(info.st_size) > limit)
        return std::nullopt;
    return readAll(fd.get(), limit, Beyond::Cut);
}

std::optional<ProcStat> ProcFs::stat(pid_t pid) const {
    const auto text = readSmallFile(path(pid, "stat"), 4096);
    if (!text) return std::nullopt;
    return parseStat(*text);
}

namespace {

std::optional<std::string> readLink(const std::string& link) {
    std::string target(256, '\0');
    for (;;) {
        const ssize_t n = ::readlink(link.c_str(), target.data(), target.size());
        if (n < 0) return std::nullopt;  // kernel thread, zombie, gone or not ours to see
        if (static_cast<std::size_t>(n) < target.size()) {
            target.resize(static_cast<std::size_t>(n));
            if (target.empty()) return std::nullopt;
            return target;
        }
        if (target.size() >= 65536) return std::nullopt;
        target.resize(target.size() * 2);
    }
}

}  // namespace

std::optional<std::string> ProcFs::exe(pid_t pid) const {
    return readLink(path(pid, "exe"));
}

std::optional<std::string> ProcFs::cwd(pid_t pid) const {
    return readLink(path(pid, "cwd"));
}

std::vector<std::string> ProcFs::arguments(pid_t pid) const {
    std::vector<std::string> arguments;
    const auto text = readSmallFile(path(pid, "cmdline"), 16 * 1024);
    if (!text) return arguments;
    std::size_t pos = 0;
    while (pos < text->size()) {
        const std::size_t end = std::min(text->find('\0', pos), text->size());
        arguments.push_back(text->substr(pos, end - pos));
        pos = end + 1;
    }
    return arguments;
}

std::optional<ProcStat> readStat(const UniqueFd& fd) {
    char buffer[1024];
    const ssize_t n = ::pread(fd.get(), buffer, sizeof buffer, 0);
    if (n <= 0) return std::nullopt;
    return parseStat(std::string_view(buffer, static_cast<std::size_t>(n)));
}

std::optional<uid_t> ProcFs::realUid(pid_t pid) const {
    const auto text = readSmallFile(path(pid, "status"));
    if (!text) return std::nullopt;
    const auto at = text->find("\nUid:");
    if (at == std::string::npos) return std::nullopt;
    std::size_t pos = at + 5;
    while (pos < text->size() && ((*text)[pos] == '\t' || (*text)[pos] == ' ')) ++pos;
    uid_t uid = 0;
    const char* first = text->data() + pos;
    const char* last = text->data() + text->size();
    const auto result = std::from_chars(first, last, uid);
    if (result.ec != std::errc() || result.ptr == first) return std::nullopt;
    return uid;
}

UniqueFd ProcFs::openStat(pid_t pid) const {
    return UniqueFd(::open(path(pid, "stat").c_str(), O_RDONLY | O_CLOEXEC));
}

std::optional<FlatpakSandbox> ProcFs::flatpakSandbox(pid_t pid) const {
    // The sandbox is the user's to make: its file may be anything (it is a few hundred bytes).
    const auto info = readRegularFile(path(pid, "root/.flatpak-info"), 64 << 10);
    if (!info) return std::nullopt;
    auto id = iniValue(*info, "Application", "name");
    if (!id || id->find('/') != std::string::npos || id->starts_with('.')) return std::nullopt;
    return FlatpakSandbox{std::move(*id), iniValue(*info, "Instance", "app-commit").value_or("")};
}

std::string cgroupOf(std::string_view text) {
    std::string path;
    eachLine(text, [&](std::string_view line) {
        if (!line.starts_with("0::")) return true;
        path = std::string(trimmed(line.substr(3)));
        return false;
    });
    return path;
}

std::optional<std::string> cgroup2MountOf(std::string_view mountinfo) {
    std::optional<std::string> mount;
    eachLine(mountinfo, [&](std::string_view line) {
        // ID PARENT MAJOR:MINOR ROOT MOUNT-POINT OPTIONS [TAGS...] - TYPE SOURCE OPTIONS
        const auto dash = line.find(" - ");
        if (dash == std::string_view::npos || !line.substr(dash + 3).starts_with("cgroup2 "))
            return true;
        std::string_view field = line.substr(0, dash);
        for (int skip = 0; skip < 4; ++skip) {
            const auto space = field.find(' ');
            if (space == std::string_view::npos) return true;
            field.remove_prefix(space + 1);
        }
        field = field.substr(0, field.find(' '));
        // The kernel writes a blank, a tab, a line feed and a backslash as three octal digits.
        std::string point;
        for (std::size_t i = 0; i < field.size(); ++i) {
            if (field[i] == '\\' && i + 3 < field.size()) {
                const auto digits = field.substr(i + 1, 3);
                if (std::all_of(digits.begin(), digits.end(),
                                [](char c) { return c >= '0' && c <= '7'; })) {
                    point += static_cast<char>((digits[0] - '0') * 64 + (digits[1] - '0') * 8 +
                                               (digits[2] - '0'));
                    i += 3;
                    continue;
                }
            }
            point += field[i];
        }
        if (point.starts_with('/')) mount = std::move(point);
        return !mount;
    });
    return mount;
}

std::string ProcFs::cgroup(pid_t pid) const {
    const auto text = readSmallFile(path(pid, "cgroup"), 16 << 10);
    return text ? cgroupOf(*text) : std::string();
}

std::optional<std::string> ProcFs::cgroup2Mount() const {
    const auto text = readSmallFile(root_ + "/self/mountinfo", 1 << 20);
    return text ? cgroup2MountOf(*text) : std::nullopt;
}

std::optional<pid_t> ProcFs::lastStartedPid() const {
    const auto text = readSmallFile(root_ + "/loadavg", 256);
    if (!text) return std::nullopt;
    const auto space = text->rfind(' ');
    if (space == std::string::npos) return std::nullopt;
    const char* first = text->data() + space + 1;
    const char* last = text->data() + text->size();
    while (last > first && (last[-1] == '\n' || last[-1] == ' ')) --last;
    pid_t pid = 0;
    const auto result = std::from_chars(first, last, pid);
    if (result.ec != std::errc() || result.ptr != last) return std::nullopt;
    return pid;
}

std::vector<pid_t> ProcFs::pids() const {
    std::vector<pid_t> pids;
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(root_.c_str()), ::closedir);
    if (!dir) return pids;
    while (const dirent* entry = ::readdir(dir.get())) {
        const char* name = entry->d_name;
        const char* end = name + std::char_traits<char>::length(name);
        pid_t pid = 0;
        const auto result = std::from_chars(name, end, pid);
        if (result.ec == std::errc() && result.ptr == end && pid > 0) pids.push_back(pid);
    }
    std::sort(pids.begin(), pids.end());
    return pids;
}

namespace {

std::string parentOf(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos || slash == 0 ? std::string() : path.substr(0, slash);
}

bool endsWith(const std::string& text, std::string_view suffix) {
    return text.size() >= suffix.size() &&
           text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

bool startsWithHashBang(const std::string& path) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    char head[2];
    return fd && ::pread(fd.get(), head, 2, 0) == 2 && head[0] == '#' && head[1] == '!';
}

}  // namespace

std::string fileNameOf(std::string_view path) {
    const auto slash = path.rfind('/');
    return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

std::string withoutDeleted(std::string path) {
    constexpr std::string_view kDeleted = " (deleted)";
    if (endsWith(path, kDeleted)) path.resize(path.size() - kDeleted.size());
    return path;
}

std::optional<std::string> scriptOf(const ProcFs& proc, pid_t pid, const ProcStat& stat,
                                    const std::string& exePath, bool& halfway) {
    // The kernel keeps 15 bytes of the name; a process running its own executable matches.
    constexpr std::size_t kCommLength = 15;
    halfway = false;
    if (stat.comm.empty() ||
        fileNameOf(withoutDeleted(exePath)).substr(0, kCommLength) == stat.comm)
        return std::nullopt;
    const auto arguments = proc.arguments(pid);
    halfway = arguments.empty();
    // The interpreter comes first, then maybe one option from the #! line, then the script.
    for (std::size_t i = 1; i < arguments.size() && i <= 2; ++i) {
        const std::string& argument = arguments[i];
        if (argument.empty() || fileNameOf(argument).substr(0, kCommLength) != stat.comm) continue;
        std::string path = argument;
        if (path.front() != '/') {
            const auto cwd = proc.cwd(pid);
            if (!cwd) return std::nullopt;
            path = *cwd + "/" + path;
        }
        std::error_code error;
        auto resolved = std::filesystem::weakly_canonical(path, error);
        if (error || !startsWithHashBang(resolved.string())) continue;
        return resolved.string();
    }
    return std::nullopt;
}

RunningApplication describeApplication(pid_t pid, const std::string& exePath) {
    RunningApplication app;
    app.processIdentifier = static_cast<std::int32_t>(pid);
    const std::string path = withoutDeleted(exePath);

    // NAME.app/Contents/MacOS/FILE belongs to the bundle NAME.app.
    const std::string macos = parentOf(path);
    const std::string contents = parentOf(macos);
    const std::string bundle = parentOf(contents);
    const std::string bundleName = fileNameOf(bundle);
    if (fileNameOf(macos) == "MacOS" && fileNameOf(contents) == "Contents" &&
        bundleName.size() > 4 && endsWith(bundleName, ".app")) {
        app.bundleURL = bundle;
        if (auto info = bundleInfoDictionary(posixFileSystem(), bundle)) {
            for (const char* key : {"CFBundleDisplayName", "CFBundleName"}) {
                const plist::Text* name = plist::stringFor(*info, key);
                if (name && !name->empty()) {
                    app.localizedName = canonicalName(*name);
                    return app;
                }
            }
        }
        app.localizedName = canonicalName(bundleName.substr(0, bundleName.size() - 4));
        return app;
    }
    const std::string file = fileNameOf(path);
    if (!file.empty()) app.localizedName = canonicalName(file);
    return app;
}

}  // namespace tallyvane::linux_platform
