#pragma once
// Which of the user's processes are applications: a bundle's executable, a program that a
// desktop entry starts, a Flatpak or Snap application, an AppImage, or a program whose
// application name is metered. The rest (shells, tools, compilers) are no application. The
// desktop entries are watched, so an application installed meanwhile is known at its launch.
// One thread at a time.
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/WorkspaceNotificationCenter.h"
#include "platform/posix/UniqueFd.h"

namespace tallyvane::linux_platform {

// The Exec value of a desktop entry split into its arguments: unescaped, unquoted, field codes
// dropped. Nothing when it is malformed.
std::optional<std::vector<std::string>> execArguments(std::string_view exec);

// The program a desktop entry's command starts, as written there (a name or a path), looking
// through env and "sh -c"; nothing when it starts one through a sandbox launcher (Flatpak, Snap:
// those are known by their sandbox) or hands a file to an interpreter.
std::optional<std::string> launchedProgram(std::vector<std::string> arguments);

// The programs a desktop entry's text names (its command's and TryExec), as written there;
// none for an entry that is hidden or no application.
std::vector<std::string> entryPrograms(std::string_view text);

// The application folders of the XDG data directories of this process's environment, the
// user's own first.
std::vector<std::string> xdgApplicationFolders();

class ApplicationCatalog {
  public:
    // The folders of desktop entries, whose changes can be followed; none, nothing to follow.
    explicit ApplicationCatalog(std::vector<std::string> folders);

    // Whether a process is an application: program is its executable or script (the real path),
    // sandboxed whether it runs in a Flatpak sandbox.
    bool isApplication(const std::string& program, const RunningApplication& application,
                       bool sandboxed) const;
    // Programs of these application names are applications wherever they live.
    void meter(const std::vector<std::string>& names);

    // Readable when a folder changed; -1 when nothing is watched.
    int changes() const { return inotify_ ? inotify_.get() : -1; }
    // Takes in what the folders hold now if they changed; true when they did.
    bool refresh();
    // How many programs the desktop entries name.
    std::size_t programs() const { return programs_.size(); }

  private:
    void load();
    // Lists the desktop entries under folder with their ids, watching each folder it reads.
    void readFolder(const std::string& folder, const std::string& idPrefix, int depth,
                    std::vector<std::pair<std::string, std::string>>& found);
    void addProgram(const std::string& program);

    std::vector<std::string> folders_;
    std::vector<std::string> searchPath_;  // where a program named without a path is looked for
    UniqueFd inotify_;
    std::set<std::string> programs_;  // real paths
    std::set<std::string> metered_;
    std::size_t files_ = 0;
};

}  // namespace tallyvane::linux_platform
