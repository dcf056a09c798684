#include "platform/linux/FolderWatch.h"

#include <sys/inotify.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <filesystem>

namespace tallyvane::linux_platform {

FolderWatch::FolderWatch(bool on) {
    if (on) inotify_.reset(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
}

void FolderWatch::restart() {
    if (!inotify_) return;
    inotify_.reset(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    awaited_.clear();
    read_.clear();
}

void FolderWatch::watchRead(const std::string& folder) {
    if (!inotify_) return;
    const int wd = ::inotify_add_watch(inotify_.get(), folder.c_str(),
                                       IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO |
                                           IN_CLOSE_WRITE | IN_ATTRIB | IN_DELETE_SELF |
                                           IN_MOVE_SELF | IN_ONLYDIR | IN_MASK_ADD);
    if (wd >= 0) read_.insert(wd);
}

void FolderWatch::await(const std::string& folder) {
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

bool FolderWatch::changed() {
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
    return changed;
}

bool FolderWatch::countsAsChange(const inotify_event& event, const std::string& name) const {
    if ((event.mask & IN_Q_OVERFLOW) || read_.count(event.wd)) return true;
    const auto awaited = awaited_.find(event.wd);
    return awaited != awaited_.end() && awaited->second.count(name);
}

}  // namespace tallyvane::linux_platform
