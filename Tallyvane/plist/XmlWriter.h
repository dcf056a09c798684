#pragma once
#include <functional>
#include <optional>
#include <string>

#include "plist/Value.h"

namespace tallyvane::plist {

// The value as an XML property list (version 1.0), written directly from the value. exact tells
// whether parsing the result gives the value back unchanged (a character XML cannot carry is
// replaced by U+FFFD, dates keep whole seconds only). Nothing when the value is nested too deeply
// or holds a date out of range.
std::optional<std::string> writeXml(const Value& value, bool* exact = nullptr);
// The same text handed to put in pieces of about 64 KiB, in order, so that a large document is
// never whole in memory. False when the value cannot be written; some pieces may have gone.
bool writeXml(const Value& value, const std::function<void(std::string_view)>& put,
              bool* exact = nullptr);

}  // namespace tallyvane::plist
