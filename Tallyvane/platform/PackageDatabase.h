#pragma once
#include <cstdint>
#include <optional>
#include <string>

namespace tallyvane {

// What the system's packages know of the program a process runs. Main thread.
class PackageDatabase {
  public:
    virtual ~PackageDatabase() = default;
    // The version of the package (or sandboxed application) the process's executable belongs
    // to; nothing when the process is gone or no package knows it.
    virtual std::optional<std::string> versionOf(std::int32_t pid) = 0;
};

}  // namespace tallyvane
