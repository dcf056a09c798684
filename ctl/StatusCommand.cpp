// tallyvanectl status: the monitors running, their event source, the server, AddedTime and the
// metered figures.
#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <iostream>
#include <sstream>
#include <vector>

#include "Commands.h"
#include "ReportPreview.h"
#include "settings/AgentSettings.h"

namespace tallyvane::ctl {
namespace {

namespace fs = std::filesystem;

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

}  // namespace

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
    const auto server = agentLibrarySettings().get(Setting::serverURL);
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

}  // namespace tallyvane::ctl
