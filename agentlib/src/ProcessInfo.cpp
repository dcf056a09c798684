// The parent check: is the parent process the genuine management agent?
#include "lvornutils/ProcessInfo.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "lvornutils/GlobVars.h"
#include "posix/ProcStat.h"
#include "posix/ReadAll.h"
#include "posix/UniqueFd.h"

namespace {

// A file under /proc, or a registration, is a few hundred bytes; more is not ours to parse.
constexpr std::size_t kMostBytes = 64 * 1024;

using Fd = tallyvane::UniqueFd;

std::optional<std::string> readFile(const std::string& path) {
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    if (fd.get() < 0) return std::nullopt;
    return tallyvane::readAll(fd.get(), kMostBytes);
}

std::optional<unsigned long long> decimal(const std::string& text) {
    if (text.empty() || text.size() > 20 || text.find_first_not_of("0123456789") != text.npos)
        return std::nullopt;
    errno = 0;
    const unsigned long long value = std::strtoull(text.c_str(), nullptr, 10);
    if (errno != 0) return std::nullopt;
    return value;
}

// Field 22 of /proc/PID/stat: the start time in clock ticks after boot.
std::optional<unsigned long long> startTime(pid_t pid) {
    const auto text = readFile("/proc/" + std::to_string(pid) + "/stat");
    const auto stat = text ? tallyvane::parseStat(*text) : std::nullopt;
    if (!stat) return std::nullopt;
    return stat->startTicks;
}

// The "Uid:" line of /proc/PID/status holds the real, effective, saved and file-system user ids.
// A setuid program started by a user has a real id that is not 0 and is refused here.
bool runsAsRoot(pid_t pid) {
    const auto status = readFile("/proc/" + std::to_string(pid) + "/status");
    if (!status) return false;
    std::istringstream lines(*status);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("Uid:", 0) != 0) continue;
        std::istringstream ids(line.substr(4));
        std::string id;
        int count = 0;
        while (ids >> id) {
            if (id != "0") return false;
            ++count;
        }
        return count == 4;
    }
    return false;
}

std::optional<std::string> resolved(const std::string& path) {
    struct FreeDeleter {
        void operator()(char* p) const noexcept { std::free(p); }
    };
    std::unique_ptr<char, FreeDeleter> real(::realpath(path.c_str(), nullptr));
    if (!real) return std::nullopt;
    return std::string(real.get());
}

bool isTrusted(const std::string& executable, const std::vector<std::string>& trusted) {
    for (const auto& path : trusted) {
        const auto candidate = resolved(path);
        if ((candidate ? *candidate : path) == executable) return true;
    }
    return false;
}

// Root-owned and writable by root only: nobody else can have written or replaced it.
bool rootOnly(const struct stat& st) {
    return st.st_uid == 0 && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

struct Registration {
    std::string executable;  // the agent's own
    std::string program;     // the one program it starts
};

// What root's registration says of pid started at ticks, if there is one.
std::optional<Registration> registration(pid_t pid, unsigned long long ticks) {
    Fd dir(::open(ProcessInfo::kRegistrationDirectory,
                  O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st {};
    if (dir.get() < 0 || ::fstat(dir.get(), &st) != 0 || !rootOnly(st)) return std::nullopt;
    const std::string name = "agent." + std::to_string(pid);
    Fd file(::openat(dir.get(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (file.get() < 0 || ::fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode) || !rootOnly(st))
        return std::nullopt;
    const auto text = tallyvane::readAll(file.get(), kMostBytes);
    if (!text) return std::nullopt;
    std::istringstream lines(*text);
    std::string when;
    Registration found;
    if (!std::getline(lines, when) || !std::getline(lines, found.executable) ||
        !std::getline(lines, found.program))
        return std::nullopt;
    // A registration left by an agent whose PID was taken over by another process says another
    // start time.
    if (decimal(when) != ticks || found.executable.empty() || found.executable[0] != '/' ||
        found.program.empty() || found.program[0] != '/')
        return std::nullopt;
    return found;
}

}  // namespace

bool ProcessInfo::CheckIfTrueParent() {
    if (gv_globvars == nullptr) return false;
    const auto& trusted = gv_globvars->trustedParentPaths();
    if (trusted.empty()) return false;  // no setting: fail closed

    const pid_t parent = ::getppid();
    if (parent <= 1) return false;  // orphaned: the agent that started this process is gone
    const auto ticks = startTime(parent);
    if (!ticks || !runsAsRoot(parent)) return false;

    const std::string exeLink = "/proc/" + std::to_string(parent) + "/exe";
    const auto registered = registration(parent, *ticks);
    std::optional<std::string> executable;
    if (char target[PATH_MAX]; ::readlink(exeLink.c_str(), target, sizeof target) >= 0) {
        // Readable (this process is root): its resolution, or nothing for a deleted file.
        executable = resolved(exeLink);
    } else if (errno == EACCES && registered) {
        executable = registered->executable;
    }
    if (!executable || !isTrusted(*executable, trusted)) return false;
    // A registered agent starts one program: any other image its child was made to exec is not it.
    if (registered && resolved("/proc/self/exe") != registered->program) return false;
    // The same process from start to end: not replaced by another under the same PID meanwhile.
    return ::getppid() == parent && startTime(parent) == ticks && runsAsRoot(parent);
}

ParentRegistration::ParentRegistration(const std::string& program) {
    if (::geteuid() != 0) {
        error_ = "only root registers";
        return;
    }
    const auto ticks = startTime(::getpid());
    const auto executable = resolved("/proc/self/exe");
    const auto started = resolved(program);
    if (!ticks || !executable || !started) {
        error_ = "cannot read this process's start time or executable, or find " + program;
        return;
    }
    const std::string directory = ProcessInfo::kRegistrationDirectory;
    if (::mkdir(directory.c_str(), 0755) != 0 && errno != EEXIST) {
        error_ = directory + ": " + std::strerror(errno);
        return;
    }
    Fd dir(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st {};
    if (dir.get() < 0 || ::fstat(dir.get(), &st) != 0 || !rootOnly(st)) {
        error_ = directory + " is not a directory writable by root only";
        return;
    }
    // Written beside its final name and renamed: a reader sees the whole registration or none.
    const std::string name = "agent." + std::to_string(::getpid());
    const std::string partial = "." + name + ".new";
    const std::string text = std::to_string(*ticks) + "\n" + *executable + "\n" + *started + "\n";
    ::unlinkat(dir.get(), partial.c_str(), 0);
    {
        Fd file(::openat(dir.get(), partial.c_str(),
                         O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
        if (file.get() < 0 || ::fchmod(file.get(), 0644) != 0 ||
            ::write(file.get(), text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
            error_ = directory + "/" + partial + ": " + std::strerror(errno);
            ::unlinkat(dir.get(), partial.c_str(), 0);
            return;
        }
    }
    if (::renameat(dir.get(), partial.c_str(), dir.get(), name.c_str()) != 0) {
        error_ = directory + "/" + name + ": " + std::strerror(errno);
        ::unlinkat(dir.get(), partial.c_str(), 0);
        return;
    }
    path_ = directory + "/" + name;
}

ParentRegistration::~ParentRegistration() {
    if (!path_.empty()) ::unlink(path_.c_str());
}
