#include "UserSession.h"

#include <fcntl.h>
#include <grp.h>
#include <plist/plist.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "AgentLog.h"
#include "platform/linux/Beneath.h"

namespace tallyvane::agent {
namespace {

std::string lastError() {
    return std::strerror(errno);
}

using Fd = tallyvane::UniqueFd;

bool writeAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

struct Account {
    uid_t uid;
    gid_t gid;
    std::string name, home, shell;
    std::vector<gid_t> groups;
};

std::optional<Account> account(const ConsoleUser& user) {
    struct passwd entry {};
    struct passwd* found = nullptr;
    std::vector<char> buffer(16384);
    if (::getpwuid_r(user.uid, &entry, buffer.data(), buffer.size(), &found) != 0 || !found) {
        log("no account for user id " + std::to_string(user.uid) + " (" + user.name + ")");
        return std::nullopt;
    }
    Account a{found->pw_uid,
              found->pw_gid,
              found->pw_name,
              found->pw_dir ? found->pw_dir : "/",
              found->pw_shell ? found->pw_shell : "/bin/sh",
              {}};
    int count = 64;
    for (int attempt = 0; attempt < 4; ++attempt) {
        a.groups.resize(static_cast<std::size_t>(count));
        if (::getgrouplist(a.name.c_str(), a.gid, a.groups.data(), &count) >= 0) {
            a.groups.resize(static_cast<std::size_t>(count));
            return a;
        }
    }
    log("cannot list the groups of " + a.name);
    return std::nullopt;
}

}  // namespace

bool writeConsoleUserFile(const std::string& agentFolder, const std::string& logType,
                          const std::string& user) {
    plist_t dict = plist_new_dict();
    plist_dict_set_item(dict, "logType", plist_new_string(logType.c_str()));
    plist_dict_set_item(dict, "CurrentConsoleUser", plist_new_string(user.c_str()));
    char* xml = nullptr;
    uint32_t length = 0;
    plist_to_xml(dict, &xml, &length);
    plist_free(dict);
    if (xml == nullptr) return false;
    const std::unique_ptr<char, void (*)(void*)> owned(xml, std::free);

    // Readers poll the file: they must see the old document or the new one, never a part.
    const std::string path = agentFolder + "/consoleuser.plist";
    const char *name = "consoleuser.plist", *partial = "consoleuser.plist.new";
    std::string why;
    const Fd agent = openRootFolder(agentFolder, why);
    if (!agent) {
        log(path + ": " + why);
        return false;
    }
    ::unlinkat(agent.get(), partial, 0);
    bool written = false;
    {
        Fd fd = openBeneath(agent.get(), partial, O_WRONLY | O_CREAT | O_EXCL);
        written = fd.get() >= 0 && ::fchmod(fd.get(), 0644) == 0 && writeAll(fd.get(), xml, length);
    }
    if (!written || ::renameat(agent.get(), partial, agent.get(), name) != 0) {
        log(path + ": " + lastError());
        ::unlinkat(agent.get(), partial, 0);
        return false;
    }
    return true;
}

std::optional<ConsoleUserFile> readConsoleUserFile(const std::string& agentFolder) {
    std::string why;
    const Fd agent = openRootFolder(agentFolder, why);
    Fd fd = agent ? openBeneath(agent.get(), "consoleuser.plist", O_RDONLY) : Fd();
    if (agent && !fd && errno == ENOENT) return std::nullopt;
    if (agent) why = fd ? refusalOf(fd.get(), 0) : lastError();
    const auto bytes = why.empty() ? readAll(fd.get(), 1 << 20) : std::nullopt;
    if (!bytes) {
        log(agentFolder + "/consoleuser.plist: refused (" + (why.empty() ? "unreadable" : why) +
            ")");
        return std::nullopt;
    }
    plist_t root = nullptr;
    plist_from_memory(bytes->data(), static_cast<uint32_t>(bytes->size()), &root);
    const std::unique_ptr<void, void (*)(plist_t)> owned(root, plist_free);
    auto text = [root](const char* key) {
        plist_t node =
            plist_get_node_type(root) == PLIST_DICT ? plist_dict_get_item(root, key) : nullptr;
        char* value = nullptr;
        if (plist_get_node_type(node) == PLIST_STRING) plist_get_string_val(node, &value);
        std::string result = value ? value : "";
        std::free(value);
        return result;
    };
    return ConsoleUserFile{text("logType"), text("CurrentConsoleUser")};
}

std::optional<pid_t> startProgram(const Installation& installation, const ConsoleUser& user,
                                  const std::string& argument) {
    const auto who = account(user);
    if (!who) return std::nullopt;
    const bool root = ::geteuid() == 0;
    if (!root && who->uid != ::getuid()) {
        log("not root: cannot start the program as " + who->name);
        return std::nullopt;
    }
    // Everything the child needs is made here: between fork and exec of a process with threads
    // only async-signal-safe calls may run.
    const std::string runtime = "/run/user/" + std::to_string(who->uid);
    std::vector<std::string> environment{
        "HOME=" + who->home,
        "USER=" + who->name,
        "LOGNAME=" + who->name,
        "SHELL=" + who->shell,
        "PATH=/usr/local/bin:/usr/bin:/bin",
        "XDG_RUNTIME_DIR=" + runtime,
        "DBUS_SESSION_BUS_ADDRESS=unix:path=" + runtime + "/bus",
        "VORNAGENT_PATH=" + installation.agentFolder,
    };
    for (const auto& name : installation.passEnvironment)
        if (const char* value = std::getenv(name.c_str()))
            environment.push_back(name + "=" + value);
    std::vector<char*> envp, argv{const_cast<char*>(installation.program.c_str()),
                                  const_cast<char*>(argument.c_str()), nullptr};
    for (auto& entry : environment) envp.push_back(entry.data());
    envp.push_back(nullptr);
    const std::string home = who->home;

    const pid_t pid = ::fork();
    if (pid < 0) {
        log("fork: " + lastError());
        return std::nullopt;
    }
    if (pid == 0) {
        // A session of its own: the agent's terminal or process group signals do not reach it.
        ::setsid();
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::signal(SIGPIPE, SIG_DFL);
        ::signal(SIGHUP, SIG_DFL);
        if (root && (::setgroups(who->groups.size(), who->groups.data()) != 0 ||
                     ::setgid(who->gid) != 0 || ::setuid(who->uid) != 0))
            ::_exit(126);
        if (::chdir(home.c_str()) != 0 && ::chdir("/") != 0) ::_exit(126);
        ::closefrom(3);
        ::execve(argv[0], argv.data(), envp.data());
        ::_exit(127);
    }
    return pid;
}

void killProgram(pid_t pid) {
    if (pid <= 0) return;
    ::kill(pid, SIGKILL);
    while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
}

}  // namespace tallyvane::agent
