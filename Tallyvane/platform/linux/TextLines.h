#pragma once
// Small text files read line by line: package lists, INI files, desktop entries.
#include <optional>
#include <string>
#include <string_view>

namespace tallyvane::linux_platform {

// Without the blanks around it (and a line's carriage return).
std::string_view trimmed(std::string_view text);

// Each line of text in turn, without its line feed, until visit returns false.
template <typename Visit>
void eachLine(std::string_view text, Visit visit) {
    while (!text.empty()) {
        const auto end = text.find('\n');
        if (!visit(text.substr(0, end))) return;
        if (end == std::string_view::npos) return;
        text.remove_prefix(end + 1);
    }
}

// Each key = value line of one [group] of an INI file, trimmed, until visit returns false.
template <typename Visit>
void eachIniKey(std::string_view text, std::string_view group, Visit visit) {
    bool inGroup = false;
    eachLine(text, [&](std::string_view line) {
        line = trimmed(line);
        if (line.starts_with('[')) {
            inGroup = line.size() == group.size() + 2 && line.substr(1, group.size()) == group &&
                      line.back() == ']';
            return true;
        }
        const auto equals = line.find('=');
        if (!inGroup || equals == std::string_view::npos) return true;
        return visit(trimmed(line.substr(0, equals)), trimmed(line.substr(equals + 1)));
    });
}

// A short line of printable text (a version, a name), trimmed; nothing for anything else.
std::optional<std::string> oneLine(std::string_view text);

// A key of one section of an INI file.
std::optional<std::string> iniValue(std::string_view ini, std::string_view section,
                                    std::string_view key);

}  // namespace tallyvane::linux_platform
