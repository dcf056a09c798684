#pragma once
// Property lists as bytes: parsing any format through libplist, and writing XML.
#include <string>
#include <string_view>

#include "base/Status.h"
#include "plist/Value.h"

namespace tallyvane::plist {

// Parses bytes in any property-list format (XML or binary). A hostile, truncated or empty
// input gives a failure, never a crash.
// Plain XML, as the agent and this program write it, is read directly, everything else through
// libplist.
Result<Value> parse(std::string_view bytes);
// The same through libplist alone.
Result<Value> parseWithLibplist(std::string_view bytes);

// The value as an XML property list (version 1.0).
Result<std::string> toXml(const Value& value);

}  // namespace tallyvane::plist
