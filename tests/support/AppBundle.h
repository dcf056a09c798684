#pragma once
// Application bundles and processes for end-to-end tests.
#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "plist/Value.h"

namespace tallyvane::test_support {

struct BundleInfo {
    std::optional<std::string> displayName{};    // CFBundleDisplayName
    std::optional<std::string> bundleName{};     // CFBundleName
    std::optional<plist::Value> shortVersion{};  // CFBundleShortVersionString, any type
    bool writeInfoPlist = true;                  // false: no Contents/Info.plist at all
};

// Makes dir/NAME.app/Contents/MacOS/NAME, a copy of /bin/sleep, and Contents/Info.plist (XML)
// with the given entries; returns the executable's path. Fails the test on error.
std::string makeBundle(const std::string& dir, const std::string& name,
                       const BundleInfo& info = {});

// A fresh directory under the temporary folder, removed with everything in it at destruction.
class ScratchDir {
  public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

// A child process running program with arguments; killed and reaped at destruction.
class ChildProcess {
  public:
    ChildProcess(const std::string& program, const std::vector<std::string>& arguments);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    pid_t pid() const { return pid_; }
    // Sends SIGKILL and reaps the process.
    void kill();
    // Waits for the process to end by itself.
    void wait();

  private:
    pid_t pid_ = -1;
};

}  // namespace tallyvane::test_support
