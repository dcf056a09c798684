#pragma once
// The collector's HTTP(S) front: reports in, answers out, one log line per request.
#include <cstdint>
#include <memory>
#include <string>

#include "Settings.h"
#include "Store.h"

namespace httplib {
class Server;
}

namespace tallyvane::collector {

struct Answer {
    int status = 500;
    std::string reason;  // for the log line and the answer's body
};

// Reads, checks and stores one report request; never throws.
Answer acceptReport(Store& store, const Settings& settings, const std::string& target,
                    const std::string& body, std::int64_t now);

// A server for settings that hands reports to store (which must outlive it); nothing, with
// why in error, when the certificate or key do not load.
std::unique_ptr<httplib::Server> makeServer(const Settings& settings, Store& store,
                                            std::string& error);

// The text with every control byte shown as '?', fit for one log line.
std::string printable(std::string_view text);

}  // namespace tallyvane::collector
