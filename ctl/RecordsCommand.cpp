// tallyvanectl records import / remove: the launch-data file changed as the metering folder's
// owner.
#include <grp.h>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <iostream>

#include "Commands.h"
#include "plist/Plist.h"
#include "store/MeteringFiles.h"

namespace tallyvane::ctl {
namespace {

// Runs change as owner and gives its status: here when this process is that user, else (root) in
// a child that has become owner, so that the file stays the user's and nothing the user put in
// the folder meets root.
int asOwner(uid_t owner, const std::function<int()>& change) {
    if (owner == ::geteuid()) return change();
    if (::geteuid() != 0) {
        std::cerr << "tallyvanectl: the metering folder is user id " << owner << "'s\n";
        return 1;
    }
    std::cout.flush();
    const pid_t pid = ::fork();
    if (pid == 0) {
        const passwd* entry = ::getpwuid(owner);
        if (!entry || ::initgroups(entry->pw_name, entry->pw_gid) != 0 ||
            ::setgid(entry->pw_gid) != 0 || ::setuid(owner) != 0)
            ::_exit(1);
        ::closefrom(3);  // the descriptors of root's folders stay with root
        const int status = change();
        std::cout.flush();
        ::_exit(status);
    }
    int status = 0;
    while (pid > 0 && ::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return pid > 0 && WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

}  // namespace

// records import FILE / records remove ID: the launch-data file changed by the console user's
// own hand (or root's at no console), as the monitors change it.
int changeRecords(const Context& c, const std::string& file, const std::string& removeId) {
    plist::Dict given;
    if (removeId.empty()) {
        auto parsed = plist::parse(slurp(file));
        const std::string why = parsed ? store::importRefusal(*parsed) : "not a property list";
        if (!why.empty()) {
            std::cerr << "tallyvanectl: " << file << ": " << why << "; nothing imported\n";
            return 2;
        }
        given = std::move(*plist::asDict(*parsed));
    }
    constexpr int kListChanged = 3;
    const std::string path = c.meteringFile("AppLaunchData.plist");
    const int status = asOwner(c.owner, [&] {
        store::MeteringFiles files(posixFileSystem());
        auto changed = removeId.empty() ? files.importRecords(path, given)
                                        : files.removeRecord(path, removeId);
        if (!changed) std::cerr << "tallyvanectl: " << changed.status().description() << "\n";
        return !changed ? 1 : *changed ? kListChanged : 0;
    });
    if (status != 0 && status != kListChanged) return 1;
    std::cout << path << ": "
              << (removeId.empty()         ? std::to_string(given.size()) + " records merged"
                  : status == kListChanged ? "record " + removeId + " removed"
                                           : "no record " + removeId)
              << "\n";
    if (status != kListChanged) return 0;
    // A restart would lose the launches made while it lasts: the list counts from the next start.
    std::cout << "the monitor meters the new list from its next start (SIGHUP to tallyvane-agent "
                 "starts it again now)\n";
    return 0;
}

}  // namespace tallyvane::ctl
