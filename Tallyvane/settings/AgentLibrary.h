#pragma once
// The program's links to the agent library besides its settings (agentLibrarySettings): its log,
// its uploads, its start-up, its parent check and its property-list reader. Only the adapter files
// beside this one include the library's headers.
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "base/LogSink.h"
#include "base/Uploader.h"

namespace tallyvane {

// The agent's log (VornLog): standard error and memory until the log file opens, then the file.
LogSink& agentLibraryLog();

// The agent's HTTP transport to the management server its globals name (HttpHandlermac).
Uploader& agentLibraryUploader();

// Lines on standard output, each flushed at once (VornPrint).
LogSink& agentLibraryPrinter();

// Async-signal-safe records for a signal handler: a log record, and a line on standard output.
void logFromSignal(const char* message, std::size_t length) noexcept;
void printFromSignal(const char* line, std::size_t length) noexcept;

// Sets up the library's globals from the agent settings, so that agentLibrarySettings() answers.
void loadAgentLibrarySettings();

// The metering program's start-up: the globals, the agent parameters, the log file
// logs/AppMonitor.log and the three data dictionaries, in that order.
void startAgentLibrary();

// Whether the parent process is the trusted management agent (ProcessInfo::CheckIfTrueParent).
bool startedByTrustedParent();

// The strings consoleuser.plist holds, as the agent library reads the file; each absent when the
// file cannot be read or holds no string under its key.
struct ConsoleUserPlist {
    std::optional<std::string> logType;
    std::optional<std::string> currentConsoleUser;
};
ConsoleUserPlist readConsoleUserPlist(const std::string& path);

}  // namespace tallyvane
