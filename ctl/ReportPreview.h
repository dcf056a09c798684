#pragma once
// What tallyvanectl reads of the metering files, and the document a report run would post now,
// built without sending, clearing or writing anything.
#include <optional>
#include <string>

#include "base/Status.h"
#include "plist/Value.h"
#include "posix/UniqueFd.h"

namespace tallyvane::ctl {

// From here on the metering files are read only as names in folder (open at path), each a
// regular file with one name owned by owner or root; anything else is refused on standard
// error. For root, whom a user's planted link, FIFO or hard link must not lead elsewhere.
void readOnlyBeneath(UniqueFd folder, const std::string& path, uid_t owner);

// The property list in a metering file, read without changing anything (an interrupted save is
// read from its sidecar, not completed).
Result<plist::Value> readMeteringFile(const std::string& path);

// Settles the metered applications running now (this user's, as a report run of this user
// would see them) in memory only, and builds the usage report from the launch-data file so
// settled. Nothing when the file cannot be read: a report run would then send nothing either.
// Lines the metering code prints are dropped; its log lines and the files refused go to standard
// error when verbose, and nowhere otherwise.
std::optional<std::string> previewReport(const std::string& dataFolder, bool verbose);

}  // namespace tallyvane::ctl
