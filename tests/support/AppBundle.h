#pragma once
// Application bundles for end-to-end tests.
#include <optional>
#include <string>

#include "plist/Value.h"

namespace tallyvane::test {

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

// Writes an executable /bin/sh script of the given body at path.
void writeScript(const std::string& path, const std::string& body);

}  // namespace tallyvane::test
