// The metering program: started by the management agent with one argument, "startMonitoring"
// (monitor mode, runs until killed) or "postxmldata" (report mode, one shot).
#include <malloc.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "AppMonitor.h"
#include "PeriodicChecker.h"
#include "TerminationSignalHandler.h"
#include "platform/linux/LinuxPlatform.h"
#include "platform/linux/PackageVersions.h"
#include "settings/AgentLibrary.h"

namespace {

using namespace tallyvane;
using namespace tallyvane::linux_platform;

// Everything the monitor needs from the operating system, alive for the whole process.
struct PlatformServices {
    explicit PlatformServices(ProcessEvents events)
        : workspace(makeWorkspace(*mainLoop, {.events = events, .log = &log})) {}
    LogSink& log = agentLibraryLog();
    std::unique_ptr<MainLoop> mainLoop = makeMainLoop(log);
    std::unique_ptr<Workspace> workspace;
    std::unique_ptr<ProcessTable> processes = makeProcessTable();
    // Made here, it connects to the session bus only at its first post or observer.
    std::unique_ptr<DistributedNotificationCenter> notifications =
        makeDistributedNotificationCenter(*mainLoop, log);
    PackageVersions packages;
    Platform platform{systemClock(),     *mainLoop, *workspace, *processes,
                      posixFileSystem(), &packages, log,        notifications.get()};
};

// Ends the process at once: the objects of the run stay as they are, as they would at a kill,
// and no destructor runs while the platform's threads may still be working. Every log record
// and printed line has already been written through.
[[noreturn]] void endProcess(int status) {
    std::fflush(nullptr);
    std::_Exit(status);
}

[[noreturn]] void monitorMode(LogSink& log) {
    log.write("main: Load plist and start monitoring");
    PlatformServices services(ProcessEvents::Automatic);
    const Platform& platform = services.platform;
    auto monitor = std::make_shared<AppMonitor>(platform, agentLibrarySettings());
    monitor->monitorApps();
    startPeriodicChecker(monitor, platform, agentLibrarySettings());

    platform.notifications->addObserver("reset", [monitor, &log = platform.log] {
        log.write("main: Received 'reset' notification, resetting plist");
        monitor->resetPlist();
    });
    platform.mainLoop.run();
    endProcess(0);
}

[[noreturn]] void reportMode(LogSink& log) {
    log.write("main: Date has changed, Posting xml data");
    // The report settles what runs now; it never waits for launches or terminations.
    PlatformServices services(ProcessEvents::None);
    const Platform& platform = services.platform;
    auto monitor = std::make_shared<AppMonitor>(platform, agentLibrarySettings(),
                                                AppMonitor::UsageTableScope::RunningApplications);
    monitor->generateAndPostXML();

    platform.notifications->post("reset");
    platform.log.write("main: Sent 'reset' notification");
    endProcess(1);
}

// An administrator's question about the program itself, answered before any start-up: no log,
// no parent check, nothing created. False for every other argument.
bool answeredAboutItself(const std::string& argument) {
    if (argument == "--version") {
        std::fputs("tallyvane " TALLYVANE_VERSION "\n", stdout);
        return true;
    }
    if (argument == "--help") {
        std::fputs(
            "usage: tallyvane startMonitoring | postxmldata\n"
            "Started by the management agent, as the console user: startMonitoring meters\n"
            "application use, postxmldata posts the usage report. See tallyvane(8).\n",
            stdout);
        return true;
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && answeredAboutItself(argv[1])) endProcess(0);
    // Its user must not steer it (ptrace, /proc/PID/mem) past the parent check or into the files.
    forbidTracing();
    // A large launch-data file's bytes, its XML and the table's log text are megabytes each, made
    // and let go at every save: blocks of 1 MiB and more are mapped and given back when freed.
    // Left alone, glibc raises this threshold to the largest block freed so far and serves the
    // later ones from the heap, whose freed room stays resident between events (a monitor at
    // 10,000 records: 38 MB resident instead of 25).
    mallopt(M_MMAP_THRESHOLD, 1 << 20);
    LogSink& log = agentLibraryLog();
    TerminationSignalHandler().handleTerminationSignal(log);
    // A reader that closed our standard output must not end the monitor at its next line.
    std::signal(SIGPIPE, SIG_IGN);

    startAgentLibrary();

    log.write("main: Software Metering executable is launched.");
    if (!startedByTrustedParent()) {
        log.write("Parent Process Authentication Failed");
        endProcess(0);
    }

    // With no argument at all there is nothing to read past the program's own path.
    const std::string argument = argc > 1 ? argv[1] : "";
    log.write("main: arugument is " + argument);
    if (argument == "startMonitoring") monitorMode(log);
    if (argument == "postxmldata") reportMode(log);
    log.write("main: invalid argument");
    endProcess(1);
}
