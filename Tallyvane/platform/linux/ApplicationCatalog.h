#pragma once
// The applications the desktop entries start, by the programs they lead to: the file an entry's
// command resolves to (a link, a script), and the program of the session bus service an entry is
// started through. The entries and service files are watched, so an application installed
// meanwhile is known at its launch. One thread at a time.
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/WorkspaceNotificationCenter.h"
#include "platform/posix/UniqueFd.h"

struct inotify_event;

namespace tallyvane::linux_platform {

// The Exec value of a desktop entry split into its arguments: unescaped, unquoted, field codes
// dropped. Nothing when it is malformed.
std::optional<std::vector<std::string>> execArguments(std::string_view exec);

// The program a desktop entry's command starts, as written there (a name or a path), looking
// through env and "sh -c"; nothing when it starts one through a sandbox launcher (Flatpak, Snap:
// those are known by their sandbox) or hands a file to an interpreter.
std::optional<std::string> launchedProgram(std::vector<std::string> arguments);

// A program that runs what it is handed (a shell, python3, perl5.36, env): never an application's
// own program.
bool isInterpreter(std::string_view name);

// What a desktop entry says of the application it starts.
struct DesktopEntry {
    // The file name of the program its command starts, as written there (a link's own name).
    std::string name;
    // Its command's program and TryExec, as written there.
    std::vector<std::string> programs;
    // The session bus name that starts it: an activatable or reverse-DNS entry's id, or the one
    // it names.
    std::string busName;
};
// Nothing for an entry that is hidden, no application, or starts no program of its own; id is
// the entry's desktop id without ".desktop" (an activatable entry's bus name).
std::optional<DesktopEntry> parseDesktopEntry(std::string_view text, std::string_view id);

// The programs a #! script execs by an absolute path written out (no variable in it): a wrapper's
// real program, which runs at once after the script and may be all a listing finds of it.
std::vector<std::string> scriptExecs(std::string_view text);

// The program a session bus service file starts, when it is the service of busName.
std::optional<std::string> serviceProgram(std::string_view text, std::string_view busName);

// The desktop id a systemd unit of an application names (app[-LAUNCHER]-ID-RANDOM.scope,
// app[-LAUNCHER]-ID[@RANDOM].service, escaped as systemd does), from the last component of a
// cgroup path; nothing for any other unit. The launcher part cannot be told from an id holding
// '-', so the id is every reading and the caller takes the one it knows.
std::vector<std::string> unitDesktopIds(std::string_view unit);

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
    int changes() const { return inotify_ ? inotify_.get() : -1; }
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
    void watch(const std::string& folder);
    bool countsAsChange(const inotify_event& event, const std::string& name) const;

    std::vector<std::string> folders_;
    std::vector<std::string> searchPath_;  // where a program named without a path is looked for
    UniqueFd inotify_;
    // Watches on the nearest parent of a folder not there yet, with the names that would lead
    // to it: anything else created there (files in a home folder) changes nothing.
    std::map<int, std::set<std::string>> awaited_;
    std::set<int> read_;  // watches on folders that were read: every change there counts
    std::map<std::string, std::string> programs_;  // real path -> application
    std::map<std::string, std::string> entries_;   // desktop id -> application
    std::map<std::string, std::string> inFolder_;  // private folder -> application, "" for many
    std::set<std::string> names_;
    std::set<std::string> metered_;
    std::size_t files_ = 0;
};

}  // namespace tallyvane::linux_platform
