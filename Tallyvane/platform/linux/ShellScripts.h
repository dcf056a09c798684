#pragma once
// What a shell command line or a launcher script starts. Pure: text in, values out.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tallyvane::linux_platform {

// A command line of "sh -c" split into words, up to its first operator, without the assignments
// and the shell's own words before the command; nothing when a quote is left open.
std::optional<std::vector<std::string>> shellWords(std::string_view command);

// The programs a #! script execs by an absolute path, written out or built from names the script
// sets once, unindented, to a plain value: a wrapper's real program, which runs at once after the
// script and may be all a listing finds of it.
std::vector<std::string> scriptExecs(std::string_view text);

}  // namespace tallyvane::linux_platform
