#pragma once
#include <cstdint>
#include <optional>
#include <string>

#include "platform/WorkspaceNotificationCenter.h"

namespace tallyvane {

// What the system's packages know of the program a process runs. Main thread.
class PackageDatabase {
  public:
    virtual ~PackageDatabase() = default;
    // The version of the package (or sandboxed application) that the application's program
    // belongs to (its executableURL, else its process's executable); nothing when no package
    // knows it.
    virtual std::optional<std::string> versionOf(const RunningApplication& application) = 0;
};

}  // namespace tallyvane
