#pragma once
#include "base/LogSink.h"
#include "platform/Clock.h"
#include "platform/DistributedNotificationCenter.h"
#include "platform/FileSystem.h"
#include "platform/MainLoop.h"
#include "platform/PackageDatabase.h"
#include "platform/Workspace.h"
#include "settings/AgentLibrary.h"

namespace tallyvane {

// The operating-system services the monitor uses, all owned elsewhere.
struct Platform {
    Clock& clock;
    MainLoop& mainLoop;
    Workspace& workspace;
    ProcessTable& processes;
    FileSystem& files;
    PackageDatabase* packages = nullptr;  // none: applications outside bundles stay "Unknown"
    LogSink& log = agentLibraryLog();
    // None: no reset is posted or heard between the program's processes.
    DistributedNotificationCenter* notifications = nullptr;
    Uploader& uploader = agentLibraryUploader();
    // Lines for whoever started the program, on standard output.
    LogSink& printed = agentLibraryPrinter();
};

}  // namespace tallyvane
