#pragma once
// Report-time settlement of an application that is still running: its current run is charged up
// to the end of its launch day and restarted at the beginning of today.
#include <optional>
#include <string>

#include "platform/Clock.h"
#include "store/UsageTable.h"

namespace tallyvane::report {

// The settled copy of record, with RUNNING_NO_OF_DAYS, LAST_USED, TOTAL_RUN_TIME and LAUNCH_TIME
// replaced and every other key kept. now is the report's current instant; clock gives the fresh
// instant whose day becomes the new LAUNCH_TIME. Nothing (after a log line) when LAUNCH_TIME is
// missing or not a number, or when the calendar has no date or whole-second value for the launch
// day or today: then nothing is to be changed. Logs its steps; never throws.
std::optional<UsageRecord> settleRunningRecord(const UsageRecord& record, double now,
                                               const Clock& clock);
// The same with now taken from clock.
std::optional<UsageRecord> settleRunningRecord(const UsageRecord& record, const Clock& clock);

// A real number in its shortest decimal form that reads back exactly, with ".0" after a whole
// value: 50399.0, 0.5, -3.25, 1e+20.
std::string shortestDecimal(double value);

}  // namespace tallyvane::report
