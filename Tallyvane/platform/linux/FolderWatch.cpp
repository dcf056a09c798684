#include "platform/linux/FolderWatch.h"

#include <filesystem>

#include "platform/linux/Inotify.h"

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
    eachInotifyEvent(inotify_.get(), [&](const inotify_event& event, std::string_view name) {
        changed = changed || countsAsChange(event, std::string(name));
    });
    return changed;
}

bool FolderWatch::countsAsChange(const inotify_event& event, const std::string& name) const {
    if ((event.mask & IN_Q_OVERFLOW) || read_.count(event.wd)) return true;
    const auto awaited = awaited_.find(event.wd);
    return awaited != awaited_.end() && awaited->second.count(name);
}

}  // namespace tallyvane::linux_platform
