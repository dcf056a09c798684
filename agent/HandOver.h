#pragma once
// Handing the metering folder and the program's log from one console user to the next (or to
// root at a logoff), so that nothing the previous user kept reaches the next one's files.
#include <sys/types.h>

#include <string>

namespace tallyvane::agent {

struct Owner {
    uid_t uid = 0;
    gid_t gid = 0;
};

// Call with no metering program running. Under the report-run lock (the data folder) and the
// folder lock (the metering folder), both waited for at most 90 seconds, it freezes the old
// <dataFolder>/SoftwareMetering (root's, 0700), builds a new one beside it from scratch
// (owner's, 0700) holding copies (owner's, 0600) of the known metering files that are regular
// files with one name and at most 64 MiB, swaps it in with RENAME_EXCHANGE and removes the old
// tree without following anything. Refused files go to <dataFolder>/refused (root's, 0700) with a
// log line. The log <agentFolder>/logs/AppMonitor.log is copied to logs/previous/ (root:adm,
// 0640) and replaced by a fresh one of owner's. False (after log lines) when it could not.
bool handOverMeteringFolder(const std::string& agentFolder, const std::string& dataFolder,
                            Owner owner);

}  // namespace tallyvane::agent
