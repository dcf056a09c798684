#pragma once

namespace tallyvane {

// Keeps SIGTERM from ending the process: every delivery prints and logs a line and returns.
class TerminationSignalHandler {
  public:
    // Installs termination_handler for SIGTERM (kept after each delivery, interrupted calls
    // restarted) and logs whether that worked.
    void handleTerminationSignal();
};

// The process-wide SIGTERM handler. Async-signal-safe.
extern "C" void termination_handler(int signalNumber);

}  // namespace tallyvane
