#pragma once
#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/WorkspaceNotificationCenter.h"

namespace tallyvane {

// The running applications of the user and their launches and terminations.
class Workspace {
  public:
    virtual ~Workspace() = default;
    // The running applications, in the platform's order. Main thread.
    virtual std::vector<RunningApplication> runningApplications() = 0;
    // Where launch and termination notifications are delivered, on the main thread.
    virtual WorkspaceNotificationCenter& notificationCenter() = 0;
    // The application names the monitor meters: a program of such a name is an application even
    // where the platform would not take it for one (a command-line program). Main thread.
    virtual void meterApplicationsNamed(const std::vector<std::string>& names) = 0;
};

// The names of the named applications, in order, each once.
inline std::vector<std::string> namesOf(const std::vector<RunningApplication>& applications) {
    std::vector<std::string> names;
    for (const RunningApplication& application : applications)
        if (application.localizedName) names.push_back(*application.localizedName);
    std::sort(names.begin(), names.end());
    names.erase(std::unique(names.begin(), names.end()), names.end());
    return names;
}

// The kernel's process table.
class ProcessTable {
  public:
    virtual ~ProcessTable() = default;
    // When the process started, in seconds since 1970 with the fraction; nothing when the
    // process cannot be queried. Thread-safe.
    virtual std::optional<double> startTime(std::int32_t pid) const = 0;
};

}  // namespace tallyvane
