#pragma once
// Building the usage report from the launch-data file and posting it to the management server.
#include <string>

#include "platform/Clock.h"
#include "settings/AgentSettings.h"
#include "store/MeteringFiles.h"

namespace tallyvane::report {

// Reads the launch-data file, builds the usage report and sends it through the agent's HTTP
// transport. When the server accepts it, stamps AddedTime in the post-data file with clock's
// time and clears the usage keys of the launch-data file at resetPath. Returns the document
// whether or not it was sent, or "nil" when the launch-data file cannot be read (then nothing
// is sent or changed). Logs each step; never throws.
std::string buildAndPostReport(store::MeteringFiles& files, const AgentSettings& settings,
                               const std::string& launchDataPath, const std::string& postDataPath,
                               const std::string& resetPath, const Clock& clock);

}  // namespace tallyvane::report
