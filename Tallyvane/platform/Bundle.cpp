#include "platform/Bundle.h"

#include "plist/Plist.h"

namespace tallyvane {

std::optional<plist::Dict> bundleInfoDictionary(FileSystem& files, const std::string& bundleURL) {
    auto bytes = files.readFile(bundleURL + "/Contents/Info.plist");
    if (!bytes) return std::nullopt;
    auto info = plist::parse(*bytes);
    if (!info) return std::nullopt;
    if (plist::Dict* dict = plist::asDict(*info)) return std::move(*dict);
    return std::nullopt;
}

std::optional<std::string> bundleShortVersion(FileSystem& files, const std::string& bundleURL) {
    const auto info = bundleInfoDictionary(files, bundleURL);
    const plist::Text* version =
        info ? plist::stringFor(*info, "CFBundleShortVersionString") : nullptr;
    return version ? std::optional<std::string>(*version) : std::nullopt;
}

}  // namespace tallyvane
