#include "HandOver.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include "AgentLog.h"
#include "platform/linux/Beneath.h"

namespace tallyvane::agent {
namespace {

using Fd = tallyvane::UniqueFd;

constexpr off_t kMostBytes = off_t{64} << 20;
constexpr int kMostDepth = 16;
constexpr int kMostEntries = 100000;
constexpr const char* kFolder = "SoftwareMetering";
constexpr const char* kBuilding = ".SoftwareMetering.handover";
constexpr const char* kKnown[] = {"AppLaunchData.plist",      "AppRuleData.plist",
                                  "AppPostData.plist",        "AppLaunchData.plist.saving",
                                  "AppRuleData.plist.saving", "AppPostData.plist.saving"};

std::string lastError() {
    return std::strerror(errno);
}

Fd openFolder(int at, const char* name) {
    return Fd(::openat(at, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

bool rootOnly(int fd) {
    struct stat st {};
    return ::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == 0 &&
           (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

// A folder of root's under at, made with mode when missing; nothing when it is anything else.
Fd rootFolder(int at, const char* name, mode_t mode, gid_t group = 0) {
    if (::mkdirat(at, name, mode) == 0) {
        Fd made = openFolder(at, name);
        if (made && ::fchown(made.get(), 0, group) == 0 && ::fchmod(made.get(), mode) == 0)
            return made;
        return {};
    }
    if (errno != EEXIST) return {};
    Fd fd = openFolder(at, name);
    return fd && rootOnly(fd.get()) ? std::move(fd) : Fd();
}

// A process of the user may hold the lock for ever: past the bound the hand-over goes on.
void lockBounded(int fd, const std::string& what) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(90);
    while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if ((errno != EWOULDBLOCK && errno != EINTR) ||
            std::chrono::steady_clock::now() > deadline) {
            log(what + ": not locked (" + lastError() + "); handing over without the lock");
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

bool writeAll(int fd, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// A time stamp unique enough for a name: UTC to the nanosecond.
std::string stamp() {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    std::tm utc{};
    ::gmtime_r(&now.tv_sec, &utc);
    char text[48];
    const std::size_t n = std::strftime(text, sizeof text, "%Y%m%d-%H%M%S", &utc);
    std::snprintf(text + n, sizeof text - n, ".%09ld", now.tv_nsec);
    return text;
}

// The bytes of name in dir, or why it is refused: a regular file with one name, at most 64 MiB.
struct Read {
    std::optional<std::string> bytes;
    std::string refusal;  // empty: absent
};

// The file must also be the previous owner's or root's: no other user can have put it there.
Read readKnownFile(int dir, const char* name, uid_t previous) {
    struct stat st {};
    if (::fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
        return {std::nullopt, errno == ENOENT ? "" : lastError()};
    // Looked at before the open too: opening a device or a FIFO may itself do something.
    if (!S_ISREG(st.st_mode)) return {std::nullopt, "not a regular file"};
    Fd fd = openBeneath(dir, name, O_RDONLY);
    struct stat opened {};
    if (!fd || ::fstat(fd.get(), &opened) != 0) return {std::nullopt, lastError()};
    if (opened.st_ino != st.st_ino || opened.st_dev != st.st_dev) return {std::nullopt, "replaced"};
    if (auto why = refusalOf(fd.get(), previous); !why.empty()) return {std::nullopt, why};
    if (opened.st_size > kMostBytes) return {std::nullopt, "larger than 64 MiB"};
    auto bytes = readAll(fd.get(), static_cast<std::size_t>(kMostBytes));
    if (!bytes) return {std::nullopt, "unreadable or grew past 64 MiB"};
    return {std::move(bytes), ""};
}

// A new file under dir holding bytes, with owner and mode set through its descriptor.
bool writeNewFile(int dir, const std::string& name, const std::string& bytes, uid_t uid, gid_t gid,
                  mode_t mode) {
    Fd fd(::openat(dir, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    return fd && ::fchown(fd.get(), uid, gid) == 0 && ::fchmod(fd.get(), mode) == 0 &&
           writeAll(fd.get(), bytes) && ::fsync(fd.get()) == 0;
}

// Moves name from dir into the root-only folder aside, under a name that says when.
void keepAside(int dir, const std::string& name, int aside, const std::string& asidePath,
               const std::string& why) {
    const std::string kept = stamp() + "-" + name;
    if (aside >= 0 && ::renameat(dir, name.c_str(), aside, kept.c_str()) == 0)
        log("hand-over: " + name + " refused (" + why + "), kept as " + asidePath + "/" + kept);
    else
        log("hand-over: " + name + " refused (" + why + ") and removed");
}

// Removes everything below dir without following a link, each folder first made root's 0700
// so that nobody holding it open can add to it. False when a bound or an error stopped it.
bool removeBelow(int dir, int depth, int& budget) {
    std::vector<std::string> names;
    {
        std::unique_ptr<DIR, int (*)(DIR*)> listing(::fdopendir(::dup(dir)), ::closedir);
        if (!listing) return false;
        while (const dirent* entry = ::readdir(listing.get())) {
            const std::string name = entry->d_name;
            if (name == "." || name == "..") continue;
            if (--budget < 0) return false;
            names.push_back(name);
        }
    }
    for (const auto& name : names) {
        if (::unlinkat(dir, name.c_str(), 0) == 0 || errno == ENOENT) continue;
        if (errno != EISDIR || depth == 0) return false;
        Fd sub = openFolder(dir, name.c_str());
        if (!sub || ::fchown(sub.get(), 0, 0) != 0 || ::fchmod(sub.get(), 0700) != 0 ||
            !removeBelow(sub.get(), depth - 1, budget) ||
            ::unlinkat(dir, name.c_str(), AT_REMOVEDIR) != 0)
            return false;
    }
    return true;
}

// Freezes and removes the tree at name in data; what cannot be removed is moved aside whole.
void removeTree(int data, const char* name, int aside, const std::string& asidePath) {
    Fd tree = openFolder(data, name);
    if (!tree) {
        if (::unlinkat(data, name, 0) != 0 && errno != ENOENT)
            log(std::string("hand-over: cannot remove ") + name + ": " + lastError());
        return;
    }
    int budget = kMostEntries;
    if (::fchown(tree.get(), 0, 0) == 0 && ::fchmod(tree.get(), 0700) == 0 &&
        removeBelow(tree.get(), kMostDepth, budget) && ::unlinkat(data, name, AT_REMOVEDIR) == 0)
        return;
    keepAside(data, name, aside, asidePath, "too deep, too large or not removable");
}

gid_t admGroup() {
    const group* adm = ::getgrnam("adm");
    return adm ? adm->gr_gid : 0;
}

// The old log goes to logs/previous (root:adm 0640) by copy, so that whoever still holds it
// open writes into a file nobody reads; a fresh one is made for owner.
bool handOverLog(const std::string& agentFolder, Owner owner, uid_t previous) {
    std::string why;
    Fd agent = openRootFolder(agentFolder, why);
    Fd logs = agent ? rootFolder(agent.get(), "logs", 0755) : Fd();
    if (!logs) {
        log("hand-over: " + agentFolder + "/logs is not a folder of root's only" +
            (agent ? "" : " (" + why + ")"));
        return false;
    }
    const std::string logsPath = agentFolder + "/logs";
    const char* name = "AppMonitor.log";
    Read old = readKnownFile(logs.get(), name, previous);
    if (old.bytes && !old.bytes->empty()) {
        Fd previous = rootFolder(logs.get(), "previous", 0750, admGroup());
        const std::string kept = "AppMonitor-" + stamp() + ".log";
        if (!previous || !writeNewFile(previous.get(), kept, *old.bytes, 0, admGroup(), 0640))
            log("hand-over: cannot keep the previous log in " + logsPath + "/previous");
    } else if (!old.refusal.empty()) {
        Fd aside = rootFolder(logs.get(), "refused", 0700);
        keepAside(logs.get(), name, aside.get(), logsPath + "/refused", old.refusal);
    }
    if (::unlinkat(logs.get(), name, 0) != 0 && errno != ENOENT) {
        log("hand-over: cannot remove " + logsPath + "/" + name + ": " + lastError());
        return false;
    }
    if (!writeNewFile(logs.get(), name, "", owner.uid, owner.gid, 0644)) {
        log("hand-over: cannot make " + logsPath + "/" + name + ": " + lastError());
        return false;
    }
    return true;
}

}  // namespace

bool handOverMeteringFolder(const std::string& agentFolder, const std::string& dataFolder,
                            Owner owner) {
    // Only the data folder itself is made: a missing parent is not the agent's to create.
    const auto slash = dataFolder.find_last_of('/');
    std::string why;
    Fd parent =
        slash == std::string::npos ? Fd() : openRootFolder(dataFolder.substr(0, slash), why);
    const char* base = dataFolder.c_str() + (slash == std::string::npos ? 0 : slash + 1);
    Fd data = parent ? rootFolder(parent.get(), base, 0755) : Fd();
    if (!data) {
        log("hand-over: " + dataFolder + " is not a folder of root's only" +
            (why.empty() ? "" : " (" + why + ")") + ": nothing handed over");
        return false;
    }
    const std::string asidePath = dataFolder + "/refused";
    lockBounded(data.get(), dataFolder);  // no report run is halfway
    Fd aside = rootFolder(data.get(), "refused", 0700);
    removeTree(data.get(), kBuilding, aside.get(), asidePath);  // left by a hand-over cut short

    Fd old = openFolder(data.get(), kFolder);
    if (!old && errno != ENOENT) removeTree(data.get(), kFolder, aside.get(), asidePath);
    struct stat oldStat {};
    const uid_t previous = old && ::fstat(old.get(), &oldStat) == 0 ? oldStat.st_uid : 0;
    if (old) {
        lockBounded(old.get(), dataFolder + "/" + kFolder);  // no save is halfway
        // Root's and closed from here on: its names can no longer change under us.
        if (::fchown(old.get(), 0, 0) != 0 || ::fchmod(old.get(), 0700) != 0) {
            log("hand-over: " + dataFolder + "/" + kFolder + ": " + lastError());
            return false;
        }
    }

    if (::mkdirat(data.get(), kBuilding, 0700) != 0) {
        log("hand-over: cannot make " + dataFolder + "/" + kBuilding + ": " + lastError());
        return false;
    }
    Fd fresh = openFolder(data.get(), kBuilding);
    bool ok = static_cast<bool>(fresh);
    for (const char* name : kKnown) {
        if (!ok || !old) break;
        Read file = readKnownFile(old.get(), name, previous);
        if (file.bytes)
            ok = writeNewFile(fresh.get(), name, *file.bytes, owner.uid, owner.gid, 0600);
        else if (!file.refusal.empty())
            keepAside(old.get(), name, aside.get(), asidePath, file.refusal);
    }
    ok = ok && ::fchown(fresh.get(), owner.uid, owner.gid) == 0 &&
         ::fchmod(fresh.get(), 0700) == 0 && ::fsync(fresh.get()) == 0;
    const unsigned how = old ? RENAME_EXCHANGE : RENAME_NOREPLACE;
    if (!ok || ::renameat2(data.get(), kBuilding, data.get(), kFolder, how) != 0) {
        log("hand-over: cannot build or swap in " + dataFolder + "/" + kFolder + ": " +
            lastError());
        removeTree(data.get(), kBuilding, aside.get(), asidePath);
        return false;
    }
    if (old) removeTree(data.get(), kBuilding, aside.get(), asidePath);
    ::fsync(data.get());
    return handOverLog(agentFolder, owner, previous);
}

}  // namespace tallyvane::agent
