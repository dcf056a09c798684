// tallyvanectl: what the metering program is doing, from outside. Reads the agent folder and
// /proc; changes nothing.
#include <fcntl.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>

#include "ReportPreview.h"
#include "lvornutils/GlobVars.h"
#include "lvornutils/VornUtilMac.h"
#include "plist/Value.h"

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
    std::string meteringFile(const std::string& name) const {
        return dataFolder + "/SoftwareMetering/" + name;
    }
};

Context context(const std::string& agentFolder) {
    ::setenv("VORNAGENT_PATH", agentFolder.c_str(), 1);
    VornUtilMac().initializeVornGlobal();
    return {agentFolder, gv_globvars->vornagentDataDictPath().value_or(agentFolder + "/data")};
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
    const std::string log = slurp(c.agentFolder + "/logs/AppMonitor.log");
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

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"Shows what the Tallyvane metering program is doing; changes nothing.",
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
    for (auto* command : {statusCommand, reportCommand, exportCommand}) command->fallthrough();
    CLI11_PARSE(app, argc, argv);

    const Context c = context(agentFolder);
    if (*statusCommand) return status(c);
    if (*reportCommand) return dryRun(c, verbose);
    if (!json && !csv) {
        std::cerr << "tallyvanectl: export needs --json or --csv\n";
        return 2;
    }
    return exportFigures(c, json);
}
