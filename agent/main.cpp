// tallyvane-agent: the package's management agent. Runs as root, follows the console through
// systemd-logind, keeps consoleuser.plist, runs the monitor as the console user and, with
// "report", one report run as that user.
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <thread>

#include "AgentLog.h"
#include "HandOver.h"
#include "Logind.h"
#include "UserSession.h"
#include "lvornutils/GlobVars.h"
#include "lvornutils/ProcessInfo.h"
#include "lvornutils/VornUtilMac.h"

namespace tallyvane::agent {

namespace {

using Clock = std::chrono::steady_clock;

// The metering program's data folder, as its settings say (the agent reads the same ones).
std::string dataFolder(const Installation& installation) {
    ::setenv("VORNAGENT_PATH", installation.agentFolder.c_str(), 1);
    VornUtilMac().initializeVornGlobal();
    return gv_globvars->vornagentDataDictPath().value_or(installation.agentFolder + "/data");
}

class Agent {
  public:
    explicit Agent(Installation installation)
        : installation_(std::move(installation)), data_(dataFolder(installation_)) {}

    int run() {
        sigset_t handled;
        sigemptyset(&handled);
        for (int s : {SIGCHLD, SIGTERM, SIGINT, SIGHUP}) sigaddset(&handled, s);
        ::sigprocmask(SIG_BLOCK, &handled, nullptr);  // before the bus threads start
        const int signals = ::signalfd(-1, &handled, SFD_CLOEXEC);
        const int changes = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (signals < 0 || changes < 0) {
            log(std::string("signalfd/eventfd: ") + std::strerror(errno));
            return 1;
        }
        std::unique_ptr<Logind> logind;
        try {
            logind = std::make_unique<Logind>();
            logind->watch([changes] {
                const uint64_t one = 1;
                [[maybe_unused]] auto written = ::write(changes, &one, sizeof one);
            });
        } catch (const std::exception& e) {
            log(std::string("cannot follow logins on the system bus: ") + e.what());
            return 1;
        }
        log("following the console of seat0");
        for (;;) {
            reconcile(*logind);
            pollfd fds[2] = {{signals, POLLIN, 0}, {changes, POLLIN, 0}};
            // Also looked at every few seconds: a monitor that died is started again.
            if (::poll(fds, 2, 5000) < 0 && errno != EINTR) return 1;
            if (fds[1].revents & POLLIN) {
                uint64_t count = 0;
                [[maybe_unused]] auto n = ::read(changes, &count, sizeof count);
            }
            if (fds[0].revents & POLLIN) {
                signalfd_siginfo info{};
                const bool read = ::read(signals, &info, sizeof info) == sizeof info;
                if (read && info.ssi_signo != SIGCHLD && info.ssi_signo != SIGHUP) {
                    log("stopping on signal " + std::to_string(info.ssi_signo));
                    stopMonitor();
                    return 0;
                }
                reap();
                // tallyvanectl changed the metered list, which a monitor reads at its start.
                if (read && info.ssi_signo == SIGHUP && monitor_ > 0) {
                    log("SIGHUP: starting the monitor again");
                    stopMonitor();
                    started_ = {};
                }
            }
        }
    }

  private:
    void reconcile(Logind& logind) {
        const auto view = observeConsole(logind, console_);
        if (!view) return;  // logind did not answer: nothing is known to have changed
        const auto& next = view->user;
        if (next == console_) {
            if (next && monitor_ <= 0 && Clock::now() - started_ > std::chrono::seconds(10)) {
                log("the monitor of " + next->name + " is not running: starting it again");
                startMonitor(*next);
            }
            return;
        }
        const char* logType = !console_ ? "Login" : next ? "Switch" : "Logoff";
        stopMonitor();
        if (!next) handOverMeteringFolder(installation_.agentFolder, data_, Owner{});
        writeConsoleUserFile(installation_.agentFolder, logType,
                             next ? next->name : console_->name);
        log(std::string(logType) + ": " + (next ? next->name : console_->name));
        console_ = next;
        if (next) startMonitor(*next);
    }

    void startMonitor(const ConsoleUser& user) {
        started_ = Clock::now();
        // The previous monitor has ended and been reaped: nothing of the user's writes meanwhile.
        if (const struct passwd* entry = ::getpwuid(user.uid))
            handOverMeteringFolder(installation_.agentFolder, data_,
                                   Owner{entry->pw_uid, entry->pw_gid});
        const auto pid = startProgram(installation_, user, "startMonitoring");
        monitor_ = pid.value_or(-1);
        if (pid) log("monitor of " + user.name + " started, PID " + std::to_string(*pid));
    }

    void stopMonitor() {
        if (monitor_ <= 0) return;
        killProgram(monitor_);
        log("monitor PID " + std::to_string(monitor_) + " stopped");
        monitor_ = -1;
    }

    void reap() {
        int status = 0;
        for (pid_t pid; (pid = ::waitpid(-1, &status, WNOHANG)) > 0;) {
            if (pid != monitor_) continue;
            log("the monitor PID " + std::to_string(pid) + " ended with " +
                (WIFEXITED(status) ? "status " + std::to_string(WEXITSTATUS(status))
                                   : "signal " + std::to_string(WTERMSIG(status))));
            monitor_ = -1;
        }
    }

    Installation installation_;
    std::string data_;
    std::optional<ConsoleUser> console_;
    pid_t monitor_ = -1;
    Clock::time_point started_{};
};

// The console user for a report run: logind's, else the one the running agent last wrote.
std::optional<ConsoleUser> reportUser(Logind& logind, const std::string& agentFolder) {
    std::optional<ConsoleUser> previous;
    const auto file = readConsoleUserFile(agentFolder);
    if (file && (file->logType == "Login" || file->logType == "Switch") && !file->user.empty())
        if (const struct passwd* entry = ::getpwnam(file->user.c_str()))
            previous = ConsoleUser{entry->pw_uid, file->user};
    const auto view = observeConsole(logind, previous);
    return view ? view->user : std::nullopt;
}

// One report run as the console user. Report mode's own end is status 1.
int report(const Installation& installation) {
    std::unique_ptr<Logind> logind;
    try {
        logind = std::make_unique<Logind>();
    } catch (const std::exception& e) {
        log(std::string("cannot reach logind on the system bus: ") + e.what());
        return 1;
    }
    const auto user = reportUser(*logind, installation.agentFolder);
    if (!user) {
        log("no console user: no report run");
        return 0;
    }
    // The running agent handed the folder to this user; a hand-over here would pull it from
    // under that user's monitor.
    const auto pid = startProgram(installation, *user, "postxmldata");
    if (!pid) return 1;
    log("report run of " + user->name + " started, PID " + std::to_string(*pid));
    // The upload is bounded (60 s); a run far past that is stuck.
    const auto deadline = Clock::now() + std::chrono::minutes(10);
    int status = 0;
    pid_t done = 0;
    while ((done = ::waitpid(*pid, &status, WNOHANG)) == 0 && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (done == 0) {
        log("report run still going after 10 minutes: killed");
        killProgram(*pid);
        return 1;
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 1) {
        log("report run ended normally");
        return 0;
    }
    log("report run ended with " + (WIFEXITED(status)
                                        ? "status " + std::to_string(WEXITSTATUS(status))
                                        : "signal " + std::to_string(WTERMSIG(status))));
    return 1;
}

}  // namespace
}  // namespace tallyvane::agent

int main(int argc, char** argv) {
    using namespace tallyvane::agent;
    namespace fs = std::filesystem;
    CLI::App app{"Tallyvane's management agent: starts the metering program for the console user",
                 "tallyvane-agent"};
    app.set_version_flag("--version", std::string("tallyvane-agent ") + TALLYVANE_VERSION);
    Installation installation;
    installation.agentFolder = TALLYVANE_AGENT_FOLDER;
    std::error_code error;
    installation.program = (fs::read_symlink("/proc/self/exe", error).parent_path() / "tallyvane");
    installation.passEnvironment = {"TZ", "LANG"};
    app.add_option("--agent-folder", installation.agentFolder, "the program's agent folder")
        ->capture_default_str();
    app.add_option("--program", installation.program, "the metering program")
        ->capture_default_str();
    app.add_option("--pass-env", installation.passEnvironment,
                   "variables of the agent's own to hand on to the program")
        ->capture_default_str();
    auto* reportCommand =
        app.add_subcommand("report", "run report mode once as the console user, then exit");
    reportCommand->fallthrough();  // the options above may follow "report"
    CLI11_PARSE(app, argc, argv);

    ::signal(SIGPIPE, SIG_IGN);
    // The programs this agent starts check their parent: root's registration vouches for it.
    ParentRegistration registration(installation.program);
    if (!registration.registered())
        log("not registered as the programs' parent (" + registration.error() +
            "): they will refuse to run");
    if (*reportCommand) {
        ::signal(SIGHUP, SIG_IGN);  // meant for the running agent, which tallyvanectl also finds
        return report(installation);
    }
    return Agent(installation).run();
}
