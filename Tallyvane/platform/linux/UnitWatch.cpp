#include "platform/linux/UnitWatch.h"

#include <algorithm>

#include "platform/linux/Inotify.h"
#include "platform/linux/ProcFs.h"
#include "platform/linux/TextLines.h"

namespace tallyvane::linux_platform {

std::optional<bool> populatedOf(std::string_view events) {
    std::optional<bool> populated;
    eachLine(events, [&](std::string_view line) {
        if (line == "populated 0" || line == "populated 1") populated = line.back() == '1';
        return !populated;
    });
    return populated;
}

UnitWatch::UnitWatch(std::optional<std::string> mount) : mount_(mount.value_or("")) {
    if (!mount_.empty()) inotify_.reset(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
}

bool UnitWatch::isEmpty(const std::string& cgroup) const {
    // A cgroup removed since reads nothing: it is as empty as it can be.
    const auto text = readSmallFile(mount_ + cgroup + "/cgroup.events", 4096);
    return !text || populatedOf(*text) != true;
}

std::vector<std::string> UnitWatch::watch(const std::set<std::string>& cgroups) {
    std::vector<std::string> empty;
    if (!inotify_) return empty;
    for (auto it = watches_.begin(); it != watches_.end();) {
        if (cgroups.count(it->first)) {
            ++it;
            continue;
        }
        ::inotify_rm_watch(inotify_.get(), it->second);
        byWatch_.erase(it->second);
        it = watches_.erase(it);
    }
    for (const std::string& cgroup : cgroups) {
        if (watches_.count(cgroup) || !cgroup.starts_with('/')) continue;
        const int wd = ::inotify_add_watch(inotify_.get(),
                                           (mount_ + cgroup + "/cgroup.events").c_str(), IN_MODIFY);
        if (wd < 0 || isEmpty(cgroup)) {
            if (wd >= 0) ::inotify_rm_watch(inotify_.get(), wd);
            empty.push_back(cgroup);
            continue;
        }
        watches_[cgroup] = wd;
        byWatch_[wd] = cgroup;
    }
    return empty;
}

std::vector<std::string> UnitWatch::emptied() {
    std::vector<std::string> found;
    if (!inotify_) return found;
    eachInotifyEvent(inotify_.get(), [&](const inotify_event& event, std::string_view) {
        const auto it = byWatch_.find(event.wd);
        if (it == byWatch_.end()) return;
        if (event.mask & IN_IGNORED) {
            // The cgroup was removed, and its watch with it.
            found.push_back(it->second);
            watches_.erase(it->second);
            byWatch_.erase(it);
        } else if (isEmpty(it->second)) {
            found.push_back(it->second);
        }
    });
    std::sort(found.begin(), found.end());
    found.erase(std::unique(found.begin(), found.end()), found.end());
    return found;
}

}  // namespace tallyvane::linux_platform
