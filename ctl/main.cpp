// tallyvanectl: what the metering program is doing, from outside. Reads the agent folder and
// /proc; changes nothing but the records the management system hands it.
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>

#include "ReportPreview.h"
#include "UserSession.h"
#include "lvornutils/GlobVars.h"
#include "lvornutils/VornUtilMac.h"
#include "platform/linux/Beneath.h"
#include "plist/Plist.h"
#include "plist/Value.h"
#include "store/MeteringFiles.h"

namespace {

namespace fs = std::filesystem;
using namespace tallyvane;

std::string slurp(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string localTime(std::int64_t seconds) {
    const std::time_t t = static_cast<std::time_t>(seconds);
    std::tm tm{};
    char text[64] = "?";
    if (::localtime_r(&t, &tm)) std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S %z", &tm);
    return text;
}

struct Monitor {
    pid_t pid;
    uid_t uid;
    bool netAdmin;  // CAP_NET_ADMIN in its effective set: it may open the process event connector
};

// The monitor-mode processes of user (every user's for root), told by their command line.
std::vector<Monitor> monitors() {
    std::vector<Monitor> found;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator("/proc", error)) {
        const std::string name = entry.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        const std::string cmdline = slurp(entry.path() / "cmdline");
        const auto end = cmdline.find('\0');
        if (end == std::string::npos ||
            fs::path(cmdline.substr(0, end)).filename() != "tallyvane" ||
            cmdline.compare(end + 1, std::string::npos, std::string("startMonitoring") + '\0') != 0)
            continue;
        Monitor m{std::stoi(name), 0, false};
        std::istringstream status(slurp(entry.path() / "status"));
        for (std::string line; std::getline(status, line);) {
            if (line.rfind("Uid:", 0) == 0) m.uid = static_cast<uid_t>(std::stoul(line.substr(4)));
            if (line.rfind("CapEff:", 0) == 0)
                m.netAdmin = (std::stoull(line.substr(7), nullptr, 16) >> 12) & 1;
        }
        if (::getuid() == 0 || m.uid == ::getuid()) found.push_back(m);
    }
    return found;
}

struct Context {
    std::string agentFolder;
    std::string dataFolder;
    uid_t owner = 0;  // of the metering folder: the console user, or root
    UniqueFd agent;   // for root: the agent folder, reached through folders of root's only
    std::string meteringFile(const std::string& name) const {
        return dataFolder + "/SoftwareMetering/" + name;
    }
};

// The user consoleuser.plist names at the console, or root when nobody is.
uid_t consoleUid(const std::string& agentFolder) {
    const auto file = tallyvane::agent::readConsoleUserFile(agentFolder);
    const passwd* entry = file && (file->logType == "Login" || file->logType == "Switch")
                              ? ::getpwnam(file->user.c_str())
                              : nullptr;
    return entry ? entry->pw_uid : 0;
}

// For root every metering file is then read through descriptors of folders no other user can
// change, down to the metering folder, which must be the console user's or root's.
std::optional<Context> context(const std::string& agentFolder) {
    ::setenv("VORNAGENT_PATH", agentFolder.c_str(), 1);
    VornUtilMac().initializeVornGlobal();
    Context c;
    c.agentFolder = agentFolder;
    c.dataFolder = gv_globvars->vornagentDataDictPath().value_or(agentFolder + "/data");
    if (::geteuid() != 0) {
        c.owner = ::geteuid();
        return c;
    }
    std::string why;
    c.agent = openRootFolder(agentFolder, why);
    const UniqueFd data = c.agent ? openRootFolder(c.dataFolder, why) : UniqueFd();
    UniqueFd metering =
        data ? openBeneath(data.get(), "SoftwareMetering", O_RDONLY | O_DIRECTORY) : UniqueFd();
    struct stat st {};
    if (data && (!metering || ::fstat(metering.get(), &st) != 0))
        why = c.dataFolder + "/SoftwareMetering: " + std::strerror(errno);
    const uid_t console = consoleUid(agentFolder);
    if (metering && st.st_uid != 0 && st.st_uid != console)
        why = c.dataFolder + "/SoftwareMetering: owned by user id " + std::to_string(st.st_uid) +
              ", who is not at the console";
    if (!why.empty()) {
        std::cerr << "tallyvanectl: refused: " << why << "\n";
        return std::nullopt;
    }
    c.owner = st.st_uid;
    ctl::readOnlyBeneath(std::move(metering), c.dataFolder + "/SoftwareMetering", c.owner);
    return c;
}

// The program's log; for root only a regular file of the console user's or root's.
std::string readLog(const Context& c) {
    const std::string path = c.agentFolder + "/logs/AppMonitor.log";
    if (!c.agent) return slurp(path);
    const UniqueFd fd = openBeneath(c.agent.get(), "logs/AppMonitor.log", O_RDONLY);
    const std::string why = fd ? refusalOf(fd.get(), c.owner) : "";
    if (!why.empty()) std::cerr << "tallyvanectl: " << path << " refused: " << why << "\n";
    return fd && why.empty() ? readAll(fd.get(), 64u << 20).value_or("") : "";
}

// The launch-data records by app definition id; empty when the file cannot be read.
plist::Dict records(const Context& c) {
    auto root = ctl::readMeteringFile(c.meteringFile("AppLaunchData.plist"));
    const plist::Dict* dict = root ? plist::asDict(*root) : nullptr;
    return dict ? *dict : plist::Dict{};
}

std::string text(const plist::Dict& record, const char* key) {
    if (const auto* s = plist::stringFor(record, key)) return s->str();
    if (const auto i = plist::integerFor(record, key)) return std::to_string(*i);
    if (const auto r = plist::realFor(record, key)) {
        std::ostringstream out;
        out << *r;
        return out.str();
    }
    return "";
}

constexpr const char* kColumns[] = {"FileName",        "PRODUCT_NAME",      "PRODUCT_VERSION",
                                    "TOTAL_RUN_COUNT", "TOTAL_RUN_TIME",    "LAUNCH_TIME",
                                    "LAST_USED",       "RUNNING_NO_OF_DAYS"};

int status(const Context& c) {
    const auto running = monitors();
    if (running.empty()) std::cout << "monitor: not running for this user\n";
    const std::string log = readLog(c);
    for (const auto& m : running) {
        std::cout << "monitor: running, PID " << m.pid << ", user id " << m.uid << "\n";
        std::cout << "  event source: "
                  << (m.netAdmin ? "the kernel's process event connector where it could be "
                                   "opened (the process holds CAP_NET_ADMIN)"
                                 : "a scan of /proc every 250 ms (the process lacks "
                                   "CAP_NET_ADMIN for the process event connector)");
        if (log.find("process events were lost") != std::string::npos)
            std::cout << "; its log shows the connector in use";
        std::cout << "\n";
    }
    std::cout << "agent folder: " << c.agentFolder << "\n";
    std::cout << "log: " << c.agentFolder << "/logs/AppMonitor.log\n";
    const auto server = gv_globvars->serverURL();
    std::cout << "server: "
              << (server && !server->empty() ? *server
                                             : "none (ServerURL unset): reports are not sent")
              << "\n";
    auto post = ctl::readMeteringFile(c.meteringFile("AppPostData.plist"));
    const plist::Dict* postData = post ? plist::asDict(*post) : nullptr;
    const std::string added = postData ? text(*postData, "AddedTime") : "";
    std::cout << "AddedTime: ";
    if (added.empty()) {
        std::cout << "none (no report accepted yet, and no monitor has started)\n";
    } else {
        char* end = nullptr;
        const long long seconds = std::strtoll(added.c_str(), &end, 10);
        std::cout << added;
        if (end && *end == '\0') std::cout << " (" << localTime(seconds) << ")";
        std::cout << ": when the server last accepted a report; set to the first start of the "
                     "monitor before any\n";
    }
    const plist::Dict all = records(c);
    std::cout << "metered applications: " << all.size() << "\n";
    for (const auto& [id, value] : all) {
        const plist::Dict* record = plist::asDict(value);
        if (!record) continue;
        std::cout << "  " << id << " " << text(*record, "FileName") << ": launches "
                  << text(*record, "TOTAL_RUN_COUNT") << ", run time "
                  << text(*record, "TOTAL_RUN_TIME") << " s";
        if (const auto last = plist::integerFor(*record, "LAST_USED"))
            std::cout << ", last used " << localTime(*last);
        if (const auto launch = plist::integerFor(*record, "LAUNCH_TIME"))
            std::cout << ", current run counted from " << localTime(*launch);
        std::cout << "\n";
    }
    return 0;
}

std::string csvField(std::string_view s) {
    if (s.find_first_of(",\"\r\n") == std::string_view::npos) return std::string(s);
    std::string quoted = "\"";
    for (char ch : s) quoted += ch == '"' ? std::string("\"\"") : std::string(1, ch);
    return quoted + "\"";
}

std::string jsonString(std::string_view s) {
    std::string out = "\"";
    for (unsigned char ch : s) {
        if (ch == '"' || ch == '\\') {
            out += '\\';
            out += static_cast<char>(ch);
        } else if (ch < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", ch);
            out += escaped;
        } else {
            out += static_cast<char>(ch);
        }
    }
    return out + "\"";
}

std::string jsonValue(const plist::Dict& record, const char* key) {
    const auto found = record.find(key);
    if (found == record.end()) return "null";
    if (const auto* s = plist::asString(found->second)) return jsonString(*s);
    if (const auto i = plist::asInteger(found->second)) return std::to_string(*i);
    if (const auto r = plist::asReal(found->second)) {
        std::ostringstream out;
        out.precision(17);
        out << *r;
        return out.str();
    }
    return "null";
}

int exportFigures(const Context& c, bool json) {
    const plist::Dict all = records(c);
    if (json)
        std::cout << "[";
    else {
        std::cout << "AppDefinitionId";
        for (const char* column : kColumns) std::cout << "," << column;
        std::cout << "\n";
    }
    bool first = true;
    for (const auto& [id, value] : all) {
        const plist::Dict* record = plist::asDict(value);
        if (!record) continue;
        if (json) {
            std::cout << (first ? "\n" : ",\n") << "  {\"AppDefinitionId\": " << jsonString(id);
            for (const char* column : kColumns)
                std::cout << ", " << jsonString(column) << ": " << jsonValue(*record, column);
            std::cout << "}";
        } else {
            std::cout << csvField(id);
            for (const char* column : kColumns) std::cout << "," << csvField(text(*record, column));
            std::cout << "\n";
        }
        first = false;
    }
    if (json) std::cout << (first ? "]\n" : "\n]\n");
    return 0;
}

int dryRun(const Context& c, bool verbose) {
    // The metering code logs and prints as it goes; only the document belongs on standard output.
    std::cout.flush();
    const int out = ::dup(1), err = ::dup(2), null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    ::dup2(null, 1);
    if (!verbose) ::dup2(null, 2);
    const auto document = ctl::previewReport(c.dataFolder);
    ::dup2(out, 1);
    ::dup2(err, 2);
    for (int fd : {out, err, null}) ::close(fd);
    if (!document) {
        std::cerr << "tallyvanectl: " << c.meteringFile("AppLaunchData.plist")
                  << " cannot be read: a report run would send nothing\n";
        return 1;
    }
    std::cout << *document;
    std::cout.flush();
    return 0;
}

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

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"Shows what the Tallyvane metering program is doing; changes only the records.",
                 "tallyvanectl"};
    app.set_version_flag("--version", std::string("tallyvanectl ") + TALLYVANE_VERSION);
    const char* env = std::getenv("VORNAGENT_PATH");
    std::string agentFolder = env && *env ? env : TALLYVANE_AGENT_FOLDER;
    app.add_option("--agent-folder", agentFolder, "the agent folder (VORNAGENT_PATH)")
        ->capture_default_str();
    app.require_subcommand(1);

    auto* statusCommand = app.add_subcommand(
        "status", "the monitor, its event source, the metered figures, AddedTime, the server");
    auto* reportCommand = app.add_subcommand("report", "what the next report would hold");
    bool dry = false, verbose = false;
    reportCommand->add_flag("--dry-run", dry, "print the document a report run would post now")
        ->required();
    reportCommand->add_flag("--verbose", verbose, "show the metering code's log lines on stderr");
    auto* exportCommand = app.add_subcommand("export", "the local figures, one row per record");
    bool json = false, csv = false;
    auto* jsonFlag = exportCommand->add_flag("--json", json, "as a JSON array");
    exportCommand->add_flag("--csv", csv, "as CSV with a header line")->excludes(jsonFlag);
    auto* recordsCommand = app.add_subcommand(
        "records", "change the metering records (as root: as the metering folder's owner)");
    recordsCommand->require_subcommand(1);
    std::string importFile, removeId;
    recordsCommand
        ->add_subcommand("import",
                         "merge the records of FILE (by AppDefinitionId), keeping the "
                         "figures already there")
        ->add_option("FILE", importFile, "a property list: AppDefinitionId to record")
        ->required();
    recordsCommand->add_subcommand("remove", "remove the record of an app definition")
        ->add_option("ID", removeId, "the AppDefinitionId")
        ->required();
    for (auto* command : {statusCommand, reportCommand, exportCommand, recordsCommand})
        command->fallthrough();
    CLI11_PARSE(app, argc, argv);

    const auto c = context(agentFolder);
    if (!c) return 1;
    if (*recordsCommand) return changeRecords(*c, importFile, removeId);
    if (*statusCommand) return status(*c);
    if (*reportCommand) return dryRun(*c, verbose);
    if (!json && !csv) {
        std::cerr << "tallyvanectl: export needs --json or --csv\n";
        return 2;
    }
    return exportFigures(*c, json);
}
