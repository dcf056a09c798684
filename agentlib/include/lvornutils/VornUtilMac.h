#pragma once
#include <string_view>

// Start-up services of the agent library. One instance lives for the life of the process.
class VornUtilMac {
  public:
    // Sets up gv_globvars from the agent settings. Returns false when the settings could not be
    // read (the globals are still set up, with their defaults). Call it before other threads
    // start. A later call (tests) replaces the globals with freshly read ones; the replaced
    // object stays alive, so a pointer read earlier never dangles.
    bool initializeVornGlobal();
    // Fills the agent parameters the globals return; nothing further on this platform.
    bool initializeAgentParams();
    // Opens <agent directory>/logs/<fileName> for appending, creating the folder. fileName must
    // be a plain file name (no '/', not "." or ".."). userLog is accepted and has no effect. A
    // later call moves the log to the new file. False when the file cannot be opened; the log
    // then stays where it was.
    bool startLoggingTo(std::string_view fileName, bool userLog);
};
