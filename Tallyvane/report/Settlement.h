#pragma once
// What the log shows of a report settling one running application.
#include "base/LogSink.h"
#include "usage/UsageRules.h"

namespace tallyvane::report {

// Logs the settlement's figures, or why there are none.
void logSettlement(LogSink& log, const usage::Settlement& settlement);

}  // namespace tallyvane::report
