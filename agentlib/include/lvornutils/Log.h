#pragma once
// The agent's log: one record per call, `YYYY-MM-DD HH:MM:SS.mmm tallyvane[PID:TID] MESSAGE`
// in local time. Messages are written as they stand, never used as a format; a line break inside
// a message (CR LF, LF, CR, VT, FF, NEL, U+2028, U+2029) continues on a new line that begins with
// a tab, so that no message can forge a record.
#include <cstddef>
#include <string_view>

// Writes one log record. Before startLoggingTo has run, records go to standard error and are
// also kept (up to 256 KiB) to open the log file with, so that start-up lines logged before the
// log was started are in the file too, in order. Each record reaches the file in one writev(2).
// Thread-safe; never raises.
void VornLog(std::string_view message);
// The record of message followed by more, without a joined copy made first: for a long message
// behind a short head.
void VornLog(std::string_view message, std::string_view more);

// Prints one line to standard output and flushes it at once (also when it is a pipe or file):
// line and line feed go out in one write(2), nothing is buffered. Thread-safe; never raises.
// Do not mix with stdio output to standard output (printf, std::cout), which is buffered.
void VornPrint(std::string_view line);

// Async-signal-safe variants for use inside a signal handler: no allocation, no locks, only
// write(2), clock_gettime(2), getpid(2) and gettid(2); errno is preserved. The record's local
// time uses the offset from UTC that the logger last saw. A record longer than 4 KiB is cut off
// (its line feed stays). Before startLoggingTo, the record goes to standard error only.
void VornLogFromSignal(const char* message, std::size_t length);
void VornPrintFromSignal(const char* line, std::size_t length);
