#pragma once
// A usage change as a value: the monitor makes one, the store makes it on the table's record and,
// when another of our processes changed the file's record since it was read, on that record too.
// Each rule is written once, in the functions of UsageRules.h that apply() calls.
#include <cstdint>
#include <optional>
#include <string>
#include <variant>

#include "usage/UsageRecord.h"

namespace tallyvane::usage {

struct Change {
    // A launch counted at counted, its LAUNCH_TIME stamped first where stamped is given.
    struct Launch {
        std::optional<std::int64_t> stamped;
        std::string name;
        std::string version;
        std::int64_t counted = 0;
    };
    // A termination handled at ended (with its fraction), LAST_USED lastUsed.
    struct Termination {
        double ended = 0;
        std::int64_t lastUsed = 0;
    };
    // A running application found at now: a launch from yesterday moves to the start of today.
    // It does not apply to a record without a launch moment (cleared by a report meanwhile).
    struct Carry {
        double now = 0;
    };
    // A report at now settling a running application; fresh is the clock read again. It does not
    // apply to a record the calendar cannot settle.
    struct Settle {
        double now = 0;
        double fresh = 0;
    };
    // What a report took removed: the figures of reported, or every usage figure without it.
    struct Reset {
        const plist::Dict* reported = nullptr;
    };

    std::variant<Launch, Termination, Carry, Settle, Reset> what;

    // Makes the change on record; false when it does not apply, leaving record as it was.
    bool apply(UsageRecord& record) const;
};

}  // namespace tallyvane::usage
