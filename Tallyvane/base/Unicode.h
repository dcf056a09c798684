#pragma once
// Canonical equivalence: names that differ only in how their characters are composed (an "é" as
// one code point or as "e" and a combining accent) are the same name.
#include <string>
#include <string_view>

namespace tallyvane {

// The text in Normalization Form C. Text that is not UTF-8 is returned unchanged: nothing of it
// is lost, and it still equals itself.
std::string canonicalName(std::string_view text);

}  // namespace tallyvane
