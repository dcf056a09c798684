#pragma once
// Tells when the catalog's folders change: inotify on each folder that was read, and on the
// nearest parent of a folder not there yet, for that folder's coming. One thread at a time.
#include <map>
#include <set>
#include <string>

#include "posix/UniqueFd.h"

struct inotify_event;

namespace tallyvane::linux_platform {

class FolderWatch {
  public:
    // Watches nothing when off.
    explicit FolderWatch(bool on);

    // Readable when a folder changed; -1 when nothing is watched.
    int fd() const { return inotify_ ? inotify_.get() : -1; }
    // Drops every watch: the old ones may name folders that are gone or replaced.
    void restart();
    // Every change in folder counts.
    void watchRead(const std::string& folder);
    // Only folder's coming counts, which its nearest existing parent tells.
    void await(const std::string& folder);
    // Takes in the events that wait; true when one of them counts.
    bool changed();

  private:
    bool countsAsChange(const inotify_event& event, const std::string& name) const;

    UniqueFd inotify_;
    // Watches on the nearest parent of a folder not there yet, with the names that would lead
    // to it: anything else created there (files in a home folder) changes nothing.
    std::map<int, std::set<std::string>> awaited_;
    std::set<int> read_;  // watches on folders that were read: every change there counts
};

}  // namespace tallyvane::linux_platform
