#include "platform/Bundle.h"

#include "plist/PlistFile.h"

namespace tallyvane {

std::optional<plist::Dict> bundleInfoDictionary(const std::string& bundleURL) {
    auto info = plist::readFile(bundleURL + "/Contents/Info.plist");
    if (!info) return std::nullopt;
    if (const plist::Dict* dict = plist::asDict(*info)) return *dict;
    return std::nullopt;
}

}  // namespace tallyvane
