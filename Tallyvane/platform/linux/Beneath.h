#pragma once
// What root opens in a folder a user may change: only through a descriptor of a folder root
// holds, never through a symbolic link or "..", never waiting on a FIFO, and checked on the
// descriptor before use. Header only: the agent and tallyvanectl share it.
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

#include "posix/ReadAll.h"
#include "posix/UniqueFd.h"

namespace tallyvane {

// name (one or more components) below the folder at, opened with flags (mode 0600 when made):
// a symbolic link anywhere on the way, or a way out of at, fails with ELOOP or EXDEV.
inline UniqueFd openBeneath(int at, const std::string& name, int flags) {
    open_how how{};
    how.flags = static_cast<__u64>(flags | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    how.mode = (flags & O_CREAT) ? 0600 : 0;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
    return UniqueFd(static_cast<int>(::syscall(SYS_openat2, at, name.c_str(), &how, sizeof how)));
}

// Why root must not use the file open at fd: empty for a regular file with one name owned by
// owner or root.
inline std::string refusalOf(int fd, uid_t owner) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return std::strerror(errno);
    if (!S_ISREG(st.st_mode)) return "not a regular file";
    if (st.st_nlink != 1) return "a file with " + std::to_string(st.st_nlink) + " names";
    if (st.st_uid != 0 && st.st_uid != owner)
        return "owned by user id " + std::to_string(st.st_uid);
    return "";
}

// Whether a user other than root may change the names in a folder; on the way to another, a
// sticky folder of root's (as /tmp) will do: others may add names there but not move root's.
inline bool othersMayRename(const struct stat& st, bool onTheWay) {
    const bool writable = (st.st_mode & (S_IWGRP | S_IWOTH)) != 0;
    return !S_ISDIR(st.st_mode) || st.st_uid != 0 ||
           (writable && !(onTheWay && (st.st_mode & S_ISVTX)));
}

// The folder at the absolute path, when no user but root can change what that path names: no
// link on the way, and every folder root's and writable by root only. Otherwise nothing, and why.
inline UniqueFd openRootFolder(const std::string& path, std::string& why) {
    UniqueFd at(path.starts_with('/') ? ::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1);
    std::string walked = "/";
    for (std::size_t from = 0;;) {
        from = path.find_first_not_of('/', from);
        const bool last = from == std::string::npos;
        struct stat st {};
        if (!at || ::fstat(at.get(), &st) != 0 || othersMayRename(st, !last)) {
            why = (at ? walked : path) + ": not a folder only root can change";
            return {};
        }
        if (last) return at;
        const std::size_t to = std::min(path.find('/', from), path.size());
        const std::string part = path.substr(from, to - from);
        walked = (walked == "/" ? "" : walked) + "/" + part;
        if (part == "." || part == "..") {
            why = path + ": not a plain path";
            return {};
        }
        at = UniqueFd(
            ::openat(at.get(), part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!at) {
            why = walked + ": " + std::strerror(errno);
            return {};
        }
        from = to;
    }
}

}  // namespace tallyvane
