#pragma once
// How failed expectations show the program's values.
#include <ostream>

#include "plist/Value.h"
#include "usage/UsageRecord.h"

namespace tallyvane {
namespace plist {
inline void PrintTo(const Value& value, std::ostream* out) {
    *out << describe(value);
}
}  // namespace plist
inline void PrintTo(const UsageRecord& record, std::ostream* out) {
    *out << record.describe();
}
}  // namespace tallyvane
