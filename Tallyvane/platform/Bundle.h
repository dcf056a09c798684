#pragma once
#include <optional>
#include <string>

#include "plist/Value.h"

namespace tallyvane {

// The information dictionary of the application bundle at bundleURL (its Contents/Info.plist,
// in any property-list format); nothing when it is missing, unreadable or not a dictionary.
std::optional<plist::Dict> bundleInfoDictionary(const std::string& bundleURL);

}  // namespace tallyvane
