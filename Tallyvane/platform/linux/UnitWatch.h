#pragma once
// Tells when a systemd unit has no process left: the kernel marks a cgroup's cgroup.events
// modified whenever its "populated" line changes, which inotify reports.
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "posix/UniqueFd.h"

namespace tallyvane::linux_platform {

// Whether a cgroup.events text says processes are left; nothing for another text.
std::optional<bool> populatedOf(std::string_view events);

class UnitWatch {
  public:
    // Cgroups are named below mount, the unified hierarchy's; without one nothing is watched.
    explicit UnitWatch(std::optional<std::string> mount);

    // To poll for readability; -1 when nothing can be watched.
    int fd() const { return inotify_ ? inotify_.get() : -1; }
    // Watches exactly these cgroups from now on; gives those newly watched that are empty
    // already, which no event will tell.
    std::vector<std::string> watch(const std::set<std::string>& cgroups);
    // The watched cgroups found empty or removed since the last call.
    std::vector<std::string> emptied();

  private:
    bool isEmpty(const std::string& cgroup) const;

    std::string mount_;
    UniqueFd inotify_;
    std::map<int, std::string> byWatch_;
    std::map<std::string, int> watches_;
};

}  // namespace tallyvane::linux_platform
