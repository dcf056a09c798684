#pragma once
#include <string_view>

// Start-up services of the agent library. One instance lives for the life of the process.
class VornUtilMac {
public:
    // Sets up gv_globvars from the agent settings. Returns false when the settings could not be
    // read (the globals are still set up, with their defaults).
    bool initializeVornGlobal();
    // Fills the agent parameters the globals return; nothing further on this platform.
    bool initializeAgentParams();
    // Opens <agent directory>/logs/<fileName> for appending, creating the folder.
    bool startLoggingTo(std::string_view fileName, bool userLog);
};
