#pragma once
// tallyvanectl's commands and what they share: the agent folder and the metering folder, reached
// as this user or, for root, through folders no other user can change.
#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>

#include "posix/UniqueFd.h"
#include "plist/Value.h"

namespace tallyvane::ctl {

struct Context {
    std::string agentFolder;
    std::string dataFolder;
    uid_t owner = 0;  // of the metering folder: the console user, or root
    UniqueFd agent;   // for root: the agent folder, reached through folders of root's only
    std::string meteringFile(const std::string& name) const {
        return dataFolder + "/SoftwareMetering/" + name;
    }
};

// For root every metering file is then read through descriptors of folders no other user can
// change, down to the metering folder, which must be the console user's or root's. Nothing, with
// the reason on standard error, when that cannot be had.
std::optional<Context> context(const std::string& agentFolder);

// The whole file at path; empty when it cannot be read.
std::string slurp(const std::filesystem::path& path);
// The program's log; for root only a regular file of the console user's or root's.
std::string readLog(const Context& c);
// The launch-data records by app definition id; empty when the file cannot be read.
plist::Dict records(const Context& c);
// The value under key as text: a string, an integer or a real; empty for anything else.
std::string text(const plist::Dict& record, const char* key);

// The commands, each giving the process's exit status.
int status(const Context& c);                    // status
int exportFigures(const Context& c, bool json);  // export --json / --csv
int dryRun(const Context& c, bool verbose);      // report --dry-run
// records import FILE (removeId empty) / records remove ID
int changeRecords(const Context& c, const std::string& file, const std::string& removeId);

}  // namespace tallyvane::ctl
