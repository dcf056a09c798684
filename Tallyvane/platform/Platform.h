#pragma once
#include "platform/Clock.h"
#include "platform/FileSystem.h"
#include "platform/MainLoop.h"
#include "platform/PackageDatabase.h"
#include "platform/Workspace.h"

namespace tallyvane {

// The operating-system services the monitor uses, all owned elsewhere.
struct Platform {
    Clock& clock;
    MainLoop& mainLoop;
    Workspace& workspace;
    ProcessTable& processes;
    FileSystem& files;
    PackageDatabase* packages = nullptr;  // none: applications outside bundles stay "Unknown"
};

}  // namespace tallyvane
