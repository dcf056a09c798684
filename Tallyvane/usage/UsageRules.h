#pragma once
// How a usage record changes: at a launch, at a termination, when a running application is found
// at start-up or after a reset, and when a report settles one still running. Pure functions of
// the record, the time and the local calendar; the caller logs, stores and saves.
#include <cstdint>
#include <optional>
#include <string>

#include "usage/UsageRecord.h"

namespace tallyvane::usage {

// Whole seconds of an instant, cut toward zero; 0 where it leaves the signed 64-bit range.
std::int64_t secondsOf(double instant);

// A launch being handled at now: LAUNCH_TIME.
void stampLaunch(UsageRecord& record, std::int64_t now);

// A launch counted at now: TOTAL_RUN_COUNT one more (a count that would overflow stays), the
// product's name and version, LAST_USED.
void countLaunch(UsageRecord& record, const std::string& name, const std::string& version,
                 std::int64_t now);

// A termination handled at now (with its fraction): the run since LAUNCH_TIME is added to
// TOTAL_RUN_TIME (set to 0 without a launch moment; a sum that would overflow stays), LAST_USED
// becomes lastUsed. What the log shows of it:
struct Termination {
    std::int64_t launchTime;      // 0 without one
    std::int64_t sessionRunTime;  // may be negative when the clock went back
};
Termination terminate(UsageRecord& record, double now, std::int64_t lastUsed);

// A running application whose record holds its launch moment, found at now.
enum class CarriedLaunch { Today, Yesterday, Older };
// One launched yesterday moves to the start of today; the others stay.
CarriedLaunch carryIntoToday(UsageRecord& record, std::int64_t launchTime, double now);
// What the sweep prints of it.
const char* carriedText(CarriedLaunch carried);

// A running application whose record has no launch moment, its process started at start: the
// launch is the start when it lies on the day of now (Today), else the start of today (Older).
CarriedLaunch startRunning(UsageRecord& record, double start, double now);

// A report at now settling an application still running: its run is charged up to the end of
// its launch day and restarts at the start of the day of fresh (the clock read again).
struct Settlement {
    enum class Outcome {
        Settled,
        NoLaunchTime,  // LAUNCH_TIME missing or no number: nothing changes
        NoLaunchDay,   // the calendar cannot place the launch day's end
        NoToday,       // the calendar cannot place the start of the day of fresh
    } outcome = Outcome::NoLaunchTime;
    double launch = 0;          // LAUNCH_TIME as read
    std::int64_t lastUsed = 0;  // 23:59:59 of the launch day
    double runTime = 0;         // from the launch to lastUsed
    UsageRecord settled;        // the record after it, when Settled
};
Settlement settle(const UsageRecord& record, double now, double fresh);

// After a report was accepted: the figures it took from reported are removed from current, the
// same record as it stands now. What changed since the report read it stays: a count or run time
// that grew keeps what it grew by, and a moment, or a figure that was replaced, keeps its value.
// Equal records are simply cleared.
void removeReported(UsageRecord& current, const UsageRecordView& reported);

// A real number in its shortest decimal form that reads back exactly, with ".0" after a whole
// value: 50399.0, 0.5, -3.25, 1e+20.
std::string shortestDecimal(double value);

}  // namespace tallyvane::usage
