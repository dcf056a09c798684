#pragma once
// The fields of Linux's /proc/PID/stat that the workspace and the parent check read, parsed once
// for both.
#include <sys/types.h>

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tallyvane {

struct ProcStat {
    std::uint64_t startTicks = 0;  // field 22: clock ticks after boot
    std::string comm;              // field 2, without its parentheses
    pid_t parent = 0;              // field 4
    bool zombie = false;           // field 3: ended, not yet reaped by its parent
};

// Parses the text of /proc/PID/stat; the command name may hold blanks and ')', so the fields are
// counted from the last ')'.
inline std::optional<ProcStat> parseStat(std::string_view text) {
    const auto open = text.find('(');
    const auto close = text.rfind(')');
    if (open == std::string_view::npos || close == std::string_view::npos || close < open)
        return std::nullopt;
    ProcStat stat;
    stat.comm = std::string(text.substr(open + 1, close - open - 1));
    // After ") " come fields 3, 4, ...; the start time is field 22.
    std::string_view rest = text.substr(close + 1);
    int field = 2;
    std::size_t pos = 0;
    while (pos < rest.size()) {
        while (pos < rest.size() && rest[pos] == ' ') ++pos;
        const std::size_t end = std::min(rest.find(' ', pos), rest.size());
        if (pos == end) break;
        if (++field == 3) {
            stat.zombie = rest[pos] == 'Z' || rest[pos] == 'X';
        } else if (field == 4) {
            const auto result = std::from_chars(rest.data() + pos, rest.data() + end, stat.parent);
            if (result.ec != std::errc() || result.ptr != rest.data() + end) return std::nullopt;
        } else if (field == 22) {
            const char* first = rest.data() + pos;
            const char* last = rest.data() + end;
            if (!rest.empty() && last > first && last[-1] == '\n') --last;
            const auto result = std::from_chars(first, last, stat.startTicks);
            if (result.ec != std::errc() || result.ptr != last) return std::nullopt;
            return stat;
        }
        pos = end;
    }
    return std::nullopt;
}

}  // namespace tallyvane
