#pragma once
// The version of an application that has no bundle: that of the Debian package its executable
// comes from, or of the Snap or Flatpak application it runs in. Looked up once per executable and
// kept until the package database changes. Main thread.
#include <sys/types.h>

#include <map>
#include <optional>
#include <string>

#include "platform/PackageDatabase.h"
#include "platform/linux/DpkgFiles.h"
#include "platform/linux/ProcFs.h"

namespace tallyvane::linux_platform {

class PackageVersions final : public PackageDatabase {
  public:
    // Where the system's files are ("" is /) and the /proc tree: other ones in tests.
    struct Roots {
        std::string system;
        std::string proc = "/proc";
    };
    PackageVersions() : PackageVersions(Roots{}) {}
    explicit PackageVersions(Roots roots)
        : roots_(std::move(roots)), procFs_(roots_.proc), dpkg_(roots_.system) {}

    // Nothing when no package knows the program (or, without one, the process is gone).
    std::optional<std::string> versionOf(const RunningApplication& application) override;

  private:
    struct Known {
        std::string stamp;  // what the answer was looked up against
        std::optional<std::string> version;
    };
    std::optional<std::string> flatpakVersion(const std::string& root, const std::string& id);
    std::optional<std::string> snapVersion(const std::string& exe);
    std::optional<std::string> debianVersion(const std::string& exe);

    Roots roots_;
    ProcFs procFs_;
    DpkgFiles dpkg_;
    std::map<std::string, Known> known_;
};

// The version in a Debian status database for a package ("name" or "name:arch"), installed.
std::optional<std::string> installedVersion(std::string_view status, std::string_view package);
// The version: line of a snap.yaml.
std::optional<std::string> snapYamlVersion(std::string_view yaml);
// The version of the first release in an AppStream metainfo document.
std::optional<std::string> metainfoVersion(std::string_view xml);

}  // namespace tallyvane::linux_platform
