#include "AgentLog.h"

#include <unistd.h>

namespace tallyvane::agent {

void log(const std::string& message) {
    const std::string line = "tallyvane-agent: " + message + "\n";
    [[maybe_unused]] auto written = ::write(2, line.data(), line.size());
}

}  // namespace tallyvane::agent
