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
    bool inSection = false;
    std::optional<std::string> found;
    eachLine(ini, [&](std::string_view line) {
        line = trimmed(line);
        if (line.starts_with('[')) {
            inSection =
                line.size() == section.size() + 2 && line.substr(1, section.size()) == section;
            return true;
        }
        const auto equals = line.find('=');
        if (inSection && equals != std::string_view::npos &&
            trimmed(line.substr(0, equals)) == key) {
            found = oneLine(line.substr(equals + 1));
            return false;
        }
        return true;
    });
    return found;
}

}  // namespace tallyvane::linux_platform
