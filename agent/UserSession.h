#pragma once
// Starting the metering program as the console user, in that user's session, and handing the
// machine's metering files over to that user.
#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "Logind.h"

namespace tallyvane::agent {

struct Installation {
    std::string agentFolder;                   // VORNAGENT_PATH of the program
    std::string program;                       // the metering program
    std::vector<std::string> passEnvironment;  // variables of the agent's handed to the program
};

// Writes <agent folder>/consoleuser.plist with logType and CurrentConsoleUser, replacing the
// file at once. False (after a log line) when it cannot.
bool writeConsoleUserFile(const std::string& agentFolder, const std::string& logType,
                          const std::string& user);

// What consoleuser.plist says, read from a root-owned file through descriptors of root's
// folders; nothing (after a log line unless it is missing) otherwise.
struct ConsoleUserFile {
    std::string logType, user;
};
std::optional<ConsoleUserFile> readConsoleUserFile(const std::string& agentFolder);

// Starts the program with argument as user: the user's groups and ids, the user's home as its
// folder, and an environment of its own (HOME, USER, LOGNAME, PATH, XDG_RUNTIME_DIR,
// DBUS_SESSION_BUS_ADDRESS of the user's session bus, VORNAGENT_PATH, and the variables passed
// on). An agent that is not root can start it only for its own user. The PID, or nothing.
std::optional<pid_t> startProgram(const Installation& installation, const ConsoleUser& user,
                                  const std::string& argument);

// Ends a program started above: SIGKILL, since it ignores SIGTERM, and reaps it.
void killProgram(pid_t pid);

}  // namespace tallyvane::agent
