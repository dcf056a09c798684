#pragma once
// How failed expectations show the program's values.
#include <ostream>

#include "plist/Value.h"

namespace tallyvane {
namespace plist {
inline void PrintTo(const Value& value, std::ostream* out) {
    *out << describe(value);
}
}  // namespace plist
}  // namespace tallyvane
