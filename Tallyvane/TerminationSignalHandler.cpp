#include "TerminationSignalHandler.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <string>

#include "settings/AgentLibrary.h"

namespace tallyvane {
namespace {

// Appends text to buf at len without allocating; returns the new length.
std::size_t append(char* buf, std::size_t len, std::size_t cap, const char* text) {
    while (*text && len < cap) buf[len++] = *text++;
    return len;
}

std::size_t appendDecimal(char* buf, std::size_t len, std::size_t cap, int value) {
    char digits[16];
    std::size_t n = 0;
    unsigned magnitude =
        value < 0 ? 0u - static_cast<unsigned>(value) : static_cast<unsigned>(value);
    do {
        digits[n++] = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude && n < sizeof digits);
    if (value < 0 && len < cap) buf[len++] = '-';
    while (n && len < cap) buf[len++] = digits[--n];
    return len;
}

}  // namespace

extern "C" void termination_handler(int signalNumber) {
    const int savedErrno = errno;
    char line[128];
    std::size_t len =
        append(line, 0, sizeof line,
               "termination_handler : process terminate signal received, ignore. -> ");
    len = appendDecimal(line, len, sizeof line, signalNumber);
    printFromSignal(line, len);

    len = append(line, 0, sizeof line,
                 "termination_handler : Recieved Termination signal ... ignoring termination -> ");
    len = appendDecimal(line, len, sizeof line, signalNumber);
    logFromSignal(line, len);
    errno = savedErrno;
}

void TerminationSignalHandler::handleTerminationSignal(LogSink& log) {
    struct sigaction action {};
    action.sa_handler = termination_handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;  // stays installed; interrupted calls carry on
    const std::string where = "-[TerminationSignalHandler handleTerminationSignal]";
    if (sigaction(SIGTERM, &action, nullptr) != 0)
        log.write(where + " : Disabled, error in signal handling");
    else
        log.write(where + " : Enabled");
}

}  // namespace tallyvane
