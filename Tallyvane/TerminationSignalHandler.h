#pragma once
#include "base/LogSink.h"

namespace tallyvane {

// Keeps SIGTERM from ending the process: every delivery prints and logs a line and returns.
class TerminationSignalHandler {
  public:
    // Installs termination_handler for SIGTERM (kept after each delivery, interrupted calls
    // restarted) and logs to log whether that worked. The handler's record goes to the agent's
    // log through the adapter's signal-safe path.
    void handleTerminationSignal(LogSink& log);
};

// The process-wide SIGTERM handler. Async-signal-safe: it only formats into a buffer on the
// stack and hands it to the adapter's signal path, which writes it with write(2).
extern "C" void termination_handler(int signalNumber);

}  // namespace tallyvane
