#pragma once
// The Linux platform layer: the Asio main loop, the workspace over /proc, the process table
// and the distributed notification centre over the D-Bus session bus.
#include <chrono>
#include <memory>

#include "base/LogSink.h"
#include "platform/DistributedNotificationCenter.h"
#include "platform/MainLoop.h"
#include "platform/Workspace.h"

namespace tallyvane::linux_platform {

// One asio::io_context run on the thread that calls run(). A task that raises is logged to log,
// which must outlive the loop.
std::unique_ptr<MainLoop> makeMainLoop(LogSink& log);

// How the workspace learns of process starts and ends.
enum class ProcessEvents {
    Automatic,  // the kernel's process event connector when it can be opened, else the scan
    Connector,  // the connector only; without it there are no launch or termination events
    Scan,       // periodic scan of /proc
    None,       // no launch or termination events: only the running applications are listed
};

struct WorkspaceOptions {
    ProcessEvents events = ProcessEvents::Automatic;
    // 250 ms: a launch or termination waits 125 ms at the median, and a steady scan of 600
    // processes takes about 0.6 ms of CPU, so 0.25% of one core.
    std::chrono::milliseconds scanPeriod{250};
    LogSink* log = nullptr;  // none: the agent's log
};

// The running applications of the real user of this process. Launch and termination
// notifications are posted into its notification centre on the main loop, one at a time, in the
// order seen. The loop must outlive the workspace.
std::unique_ptr<Workspace> makeWorkspace(MainLoop& mainLoop, WorkspaceOptions options = {});

// Whether the workspace made with these options watches the connector (false: the scan).
// For tests and diagnostics.
bool workspaceUsesConnector(const Workspace& workspace);

std::unique_ptr<ProcessTable> makeProcessTable();

// Notifications over the D-Bus session bus; received ones are run on mainLoop, failures are
// logged to log; both must outlive the centre.
std::unique_ptr<DistributedNotificationCenter> makeDistributedNotificationCenter(MainLoop& mainLoop,
                                                                                 LogSink& log);

// Makes this process non-dumpable: its own user can no longer trace it, read or write its memory
// through /proc, or look at its descriptors. False when the kernel refused.
bool forbidTracing();

}  // namespace tallyvane::linux_platform
