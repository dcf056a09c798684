// Data dictionaries: read when present; nothing in this system uses their content.
#include "lvornutils/CBrindleWrapper.h"

#include <string>

#include "Internal.h"

namespace {
constexpr std::size_t kMaxDictionaryBytes = 16 << 20;
}

bool CBrindleWrapper::loadVornDataDictionary(std::string_view name) {
    const std::string fileName(name);
    if (!lvornutils::detail::isPlainFileName(fileName)) return false;  // stays inside config/
    const auto directory = lvornutils::detail::agentDirectory();
    if (!directory) return false;
    auto root =
        lvornutils::detail::loadPlistFile(*directory + "/config/" + fileName, kMaxDictionaryBytes);
    return static_cast<bool>(root);
}
