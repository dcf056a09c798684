#pragma once
#include <optional>
#include <string>

#include "plist/Value.h"

namespace tallyvane::plist {

// The value as an XML property list (version 1.0), written directly from the value. exact tells
// whether parsing the result gives the value back unchanged (a character XML cannot carry is
// replaced by U+FFFD, dates keep whole seconds only). Nothing when the value is nested too deeply
// or holds a date out of range.
std::optional<std::string> writeXml(const Value& value, bool* exact = nullptr);

}  // namespace tallyvane::plist
