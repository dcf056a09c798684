#pragma once
// The applications the desktop entries start, by the programs they lead to: the file an entry's
// command resolves to (a link, a script), and the program of the session bus service an entry is
// started through. The folders of entries and service files are watched, so an application
// installed meanwhile is known at its launch. One thread at a time.
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/linux/EntryParsers.h"
#include "platform/linux/FolderWatch.h"

namespace tallyvane::linux_platform {

// The application folders of the XDG data directories of this process's environment, the
// user's own first.
std::vector<std::string> xdgApplicationFolders();

class ApplicationCatalog {
  public:
    // The folders of desktop entries, whose changes can be followed; none, nothing to follow.
    explicit ApplicationCatalog(std::vector<std::string> folders);

    // The application a program (its real path) belongs to: one a desktop entry or a session bus
    // service of an entry starts, one in a folder of its own that holds such a program, or one
    // named as an entry's application. Nothing for any other program.
    std::optional<std::string> applicationOf(const std::string& program) const;
    // The application of a desktop id, as a unit names it.
    std::optional<std::string> applicationOfEntry(const std::vector<std::string>& ids) const;
    // Programs of these application names are applications wherever they live.
    void meter(const std::vector<std::string>& names);
    bool isMetered(const std::string& name) const { return metered_.count(name) != 0; }
    // A folder that many packages share: what lies in it says nothing of the application.
    bool isSharedFolder(const std::string& folder) const;

    // Readable when a folder changed; -1 when nothing is watched.
    int changes() const { return watch_.fd(); }
    // Takes in what the folders hold now if they changed; true when they did.
    bool refresh();
    // How many programs the desktop entries lead to.
    std::size_t programs() const { return programs_.size(); }

  private:
    void load();
    // Lists the desktop entries under folder with their ids, watching each folder it reads.
    void readFolder(const std::string& folder, const std::string& idPrefix, int depth,
                    std::vector<std::pair<std::string, std::string>>& found,
                    std::string_view suffix = ".desktop");
    void addProgram(const std::string& program, const std::string& name, int depth = 0);

    std::vector<std::string> folders_;
    std::vector<std::string> searchPath_;  // where a program named without a path is looked for
    FolderWatch watch_;
    std::map<std::string, std::string> programs_;  // real path -> application
    std::map<std::string, std::string> entries_;   // desktop id -> application
    std::map<std::string, std::string> inFolder_;  // private folder -> application, "" for many
    std::set<std::string> names_;
    std::set<std::string> metered_;
    std::size_t files_ = 0;
};

}  // namespace tallyvane::linux_platform
