#pragma once
// A direct reader for the plain XML property lists that the management agent and this program
// write: dictionaries, arrays, keys, strings, decimal integers and booleans, the five named
// entities, no comments. It builds the values without an intermediate tree; a document that
// holds anything else is left to the general reader.
#include <optional>
#include <string_view>

#include "plist/Value.h"

namespace tallyvane::plist {

// The document's value; nothing when it is not plain XML as above (not necessarily malformed).
std::optional<Value> readPlainXml(std::string_view bytes);

}  // namespace tallyvane::plist
