#pragma once
// The agent's log: one record per call, `YYYY-MM-DD HH:MM:SS.mmm tallyvane[PID:TID] MESSAGE`
// in local time. Messages are written as they stand, never used as a format.
#include <cstddef>
#include <string_view>

// Writes one log record. Before startLoggingTo has run, records go to standard error.
// Thread-safe.
void VornLog(std::string_view message);

// Prints one line to standard output and flushes it at once (also when it is a pipe or file).
// Thread-safe.
void VornPrint(std::string_view line);

// Async-signal-safe variants for use inside a signal handler: no allocation, no locks, only
// write(2) and clock_gettime(2). The record's local time uses the offset from UTC that the
// logger last saw.
void VornLogFromSignal(const char* message, std::size_t length);
void VornPrintFromSignal(const char* line, std::size_t length);
