#include "platform/linux/TextLines.h"

namespace tallyvane::linux_platform {

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r'))
        text.remove_suffix(1);
    return text;
}

std::optional<std::string> oneLine(std::string_view text) {
    text = trimmed(text);
    if (text.empty() || text.size() > 128) return std::nullopt;
    for (unsigned char c : text)
        if (c < 0x20 || c == 0x7f) return std::nullopt;
    return std::string(text);
}

std::optional<std::string> iniValue(std::string_view ini, std::string_view section,
                                    std::string_view key) {
    std::optional<std::string> found;
    eachIniKey(ini, section, [&](std::string_view name, std::string_view value) {
        if (name != key) return true;
        found = oneLine(value);
        return false;
    });
    return found;
}

}  // namespace tallyvane::linux_platform
