#pragma once
// The agent's own messages: one line each on standard error (the journal, under systemd).
#include <string>

namespace tallyvane::agent {

void log(const std::string& message);

}  // namespace tallyvane::agent
