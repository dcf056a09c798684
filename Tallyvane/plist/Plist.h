#pragma once
// Property lists as bytes: parsing any format through libplist, and writing XML.
#include <string>
#include <string_view>

#include "base/Status.h"
#include "plist/Value.h"

namespace tallyvane::plist {

// Parses bytes in any property-list format (XML or binary). A hostile, truncated or empty
// input gives a failure, never a crash.
Result<Value> parse(std::string_view bytes);

// The value as an XML property list (version 1.0).
Result<std::string> toXml(const Value& value);

}  // namespace tallyvane::plist
