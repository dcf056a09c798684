#pragma once
// Readers of /proc. Every one survives a process that vanishes between open and read, and a
// file that is empty, truncated or odd: it then gives nothing.
#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/WorkspaceNotificationCenter.h"
#include "posix/ProcStat.h"
#include "posix/UniqueFd.h"

namespace tallyvane::linux_platform {

// The whole of a small file (at most limit bytes); nothing when it cannot be read.
std::optional<std::string> readSmallFile(const std::string& path, std::size_t limit = 64 * 1024);
// A regular file of at most limit bytes, read without waiting on a FIFO or a device and, unless
// followLink, without following a last link: for files that belong to whoever made them.
std::optional<std::string> readRegularFile(const std::string& path, std::size_t limit,
                                           bool followLink = false);

// PID/stat through an open descriptor; nothing once that process is gone (also when its PID
// has been reused since the open).
std::optional<ProcStat> readStat(const UniqueFd& fd);

// The Flatpak application a sandbox runs, by its id, and the commit it runs.
struct FlatpakSandbox {
    std::string id;
    std::string commit;
};

// The process table under a /proc tree: the real one, or a made-up one in tests.
class ProcFs {
  public:
    explicit ProcFs(std::string root = "/proc") : root_(std::move(root)) {}

    std::optional<ProcStat> stat(pid_t pid) const;
    // The resolved PID/exe, as the kernel gives it (a deleted file ends in " (deleted)").
    std::optional<std::string> exe(pid_t pid) const;
    // The link target of PID/cwd.
    std::optional<std::string> cwd(pid_t pid) const;
    // The arguments from PID/cmdline (empty when unreadable). It can block on a process in
    // uninterruptible sleep: read it only when a process gives reason to.
    std::vector<std::string> arguments(pid_t pid) const;
    // The real user id from PID/status.
    std::optional<uid_t> realUid(pid_t pid) const;
    UniqueFd openStat(pid_t pid) const;
    // The Flatpak sandbox the process runs in.
    std::optional<FlatpakSandbox> flatpakSandbox(pid_t pid) const;
    // The process's cgroup in the unified hierarchy, below its mount ("" when unknown); the
    // last component is its systemd unit.
    std::string cgroup(pid_t pid) const;
    // Where the unified hierarchy is mounted, as this process sees it.
    std::optional<std::string> cgroup2Mount() const;
    // Where the process's own root is, as this process can reach it.
    std::string rootOf(pid_t pid) const { return path(pid, "root"); }
    // The process ids in the tree, ascending.
    std::vector<pid_t> pids() const;
    // The PID the kernel handed out last in our PID namespace (the fifth field of loadavg).
    // While it stays the same no process has been started.
    std::optional<pid_t> lastStartedPid() const;

  private:
    std::string path(pid_t pid, const char* file) const {
        return root_ + "/" + std::to_string(pid) + "/" + file;
    }
    std::string root_;
};

// The path of /proc/PID/cgroup's "0::" line ("" without one).
std::string cgroupOf(std::string_view text);
// The mount point of the first cgroup2 file system in a mountinfo text.
std::optional<std::string> cgroup2MountOf(std::string_view mountinfo);

// The last component of a path.
std::string fileNameOf(std::string_view path);

// An executable's path without the " (deleted)" the kernel appends once the file is replaced.
std::string withoutDeleted(std::string path);

// The script a process runs through its #! interpreter: the kernel then names the process (comm)
// after the script and passes the script's path among the interpreter's arguments. Nothing for
// any other process. A process named otherwise than its executable but without arguments may be
// halfway through its exec (named, arguments not yet set up): halfway is then set.
std::optional<std::string> scriptOf(const ProcFs& proc, pid_t pid, const ProcStat& stat,
                                    const std::string& exePath, bool& halfway);

// What the workspace reports for a process running the executable at exePath.
RunningApplication describeApplication(pid_t pid, const std::string& exePath);

}  // namespace tallyvane::linux_platform
