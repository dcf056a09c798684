#pragma once
// Application bundles: NAME.app/Contents/Info.plist.
#include <optional>
#include <string>

#include "platform/FileSystem.h"
#include "plist/Value.h"

namespace tallyvane {

// The information dictionary of the application bundle at bundleURL (its Contents/Info.plist,
// in any property-list format); nothing when it is missing, unreadable or not a dictionary.
std::optional<plist::Dict> bundleInfoDictionary(FileSystem& files, const std::string& bundleURL);

// The bundle's CFBundleShortVersionString when it is a string.
std::optional<std::string> bundleShortVersion(FileSystem& files, const std::string& bundleURL);

}  // namespace tallyvane
