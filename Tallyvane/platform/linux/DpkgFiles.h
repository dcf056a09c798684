#pragma once
// Which Debian package owns a file, from dpkg's file lists. An answer is kept until the package
// database changes. One thread at a time.
#include <map>
#include <optional>
#include <string>

namespace tallyvane::linux_platform {

class DpkgFiles {
  public:
    // Where the system's files are ("" is /): another root in tests.
    explicit DpkgFiles(std::string system = "") : system_(std::move(system)) {}

    // The package (as dpkg names its list: "name" or "name:arch") whose files hold path.
    std::optional<std::string> owner(const std::string& path);
    // What tells that the database changed: the status file's identity, size and time.
    std::string stamp() const;
    const std::string& system() const { return system_; }

  private:
    std::optional<std::string> search(const std::string& path) const;

    std::string system_;
    std::string stamp_;
    std::map<std::string, std::optional<std::string>> known_;
};

}  // namespace tallyvane::linux_platform
