// Helpers shared by the agent library's sources.
#include "Internal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "lvornutils/GlobVars.h"
#include "posix/UniqueFd.h"

namespace lvornutils::detail {

using Fd = tallyvane::UniqueFd;

PlistPtr loadPlistFile(const std::string& path, std::size_t maxBytes) {
    if (path.empty() || path.find('\0') != std::string::npos) return nullptr;
    // O_NONBLOCK: a FIFO planted at the path must not hang the reader.
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (fd.get() < 0) return nullptr;
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return nullptr;
    if (st.st_size < 0 || static_cast<unsigned long long>(st.st_size) > maxBytes) return nullptr;
    // libplist takes a 32-bit length.
    if (maxBytes > UINT32_MAX - 1) maxBytes = UINT32_MAX - 1;

    std::vector<char> data;
    data.reserve(static_cast<std::size_t>(st.st_size) + 1);
    char chunk[65536];
    for (;;) {
        ssize_t n = ::read(fd.get(), chunk, sizeof chunk);
        if (n < 0) {
            if (errno == EINTR) continue;
            return nullptr;
        }
        if (n == 0) break;
        if (data.size() + static_cast<std::size_t>(n) > maxBytes) return nullptr;  // grew meanwhile
        data.insert(data.end(), chunk, chunk + n);
    }
    if (data.empty()) return nullptr;
    const auto length = static_cast<uint32_t>(data.size());
    data.push_back('\0');  // a terminator the parser is not told about, in case it reads one past
    plist_t root = nullptr;
    plist_from_memory(data.data(), length, &root);
    return PlistPtr(root);
}

std::optional<std::string> stringOf(plist_t node) {
    if (node == nullptr || plist_get_node_type(node) != PLIST_STRING) return std::nullopt;
    uint64_t length = 0;
    const char* text = plist_get_string_ptr(node, &length);
    if (text == nullptr) return std::string();
    return std::string(text, static_cast<std::size_t>(length));
}

std::optional<std::string> currentAgentDirectory() {
    if (const char* env = std::getenv("VORNAGENT_PATH"); env != nullptr && env[0] != '\0') {
        return std::string(env);
    }
    std::vector<char> buffer(PATH_MAX + 1);
    for (;;) {
        ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
        if (n < 0) return std::nullopt;
        if (static_cast<std::size_t>(n) < buffer.size()) {
            buffer.resize(static_cast<std::size_t>(n));
            break;
        }
        buffer.resize(buffer.size() * 2);
    }
    std::string exe(buffer.begin(), buffer.end());
    static constexpr std::string_view kDeleted = " (deleted)";
    if (exe.size() > kDeleted.size() && exe.ends_with(kDeleted))
        exe.resize(exe.size() - kDeleted.size());
    // exe is absolute: /a/b/bin/prog -> /a/b.
    auto slash = exe.rfind('/');
    if (slash == std::string::npos) return std::nullopt;
    std::string dir = exe.substr(0, slash);  // directory holding the executable
    // An installed program's parent folder is the system's (/usr/libexec), never an agent's.
    if (dir == TALLYVANE_PROGRAM_FOLDER) return std::string(TALLYVANE_AGENT_FOLDER);
    slash = dir.rfind('/');
    if (slash == std::string::npos) return std::nullopt;
    std::string parent = dir.substr(0, slash);
    return parent.empty() ? std::string("/") : parent;
}

std::optional<std::string> agentDirectory() {
    if (gv_globvars != nullptr) return gv_globvars->vornagentPath();
    return currentAgentDirectory();
}

bool isPlainFileName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
           name.find('\0') == std::string::npos;
}

bool writeAll(int fd, const char* data, std::size_t length) noexcept {
    while (length > 0) {
        ssize_t n = ::write(fd, data, length);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += n;
        length -= static_cast<std::size_t>(n);
    }
    return true;
}

namespace {

bool isDirectory(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Gives a directory this call has just created exactly mode. The directory is opened without
// following a symbolic link and changed through its descriptor, so that a link swapped in after
// mkdir cannot redirect the change.
bool applyMode(const std::string& path, unsigned mode) {
    Fd fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (fd.get() < 0) return false;
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid())
        return false;
    return ::fchmod(fd.get(), static_cast<mode_t>(mode)) == 0;
}

}  // namespace

bool makeDirectories(const std::string& path, unsigned mode) {
    if (path.empty() || path.find('\0') != std::string::npos) return false;
    std::size_t pos = 0;
    while (pos < path.size()) {
        std::size_t next = path.find('/', pos);
        if (next == std::string::npos) next = path.size();
        if (next == pos) {  // leading or repeated slash
            ++pos;
            continue;
        }
        const std::string prefix = path.substr(0, next);
        if (::mkdir(prefix.c_str(), static_cast<mode_t>(mode & 07777)) == 0) {
            if (!applyMode(prefix, mode)) return false;
        } else if (!isDirectory(prefix)) {  // EEXIST for a directory, or e.g. EROFS/EACCES over one
            return false;
        }
        pos = next + 1;
    }
    return isDirectory(path);
}

}  // namespace lvornutils::detail
