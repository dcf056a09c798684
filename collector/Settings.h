#pragma once
// The collector's settings file: "key = value" lines; '#' starts a comment line.
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace tallyvane::collector {

inline constexpr const char* kDefaultSettingsPath = "/etc/tallyvane/collector.conf";

struct Settings {
    std::string listenHost = "127.0.0.1";
    int listenPort = 8080;  // 0: any free port, printed at start
    std::string database = "/var/lib/tallyvane-collector/collector.db";
    std::string certificate;  // with key: HTTPS; both empty: HTTP
    std::string key;
    std::size_t maxBodyBytes = 4 * 1024 * 1024;
    std::set<std::string> customerIds;  // empty: every customer id is refused
    bool anyCustomerId = false;         // customer_ids = *
    std::string timeZone = "UTC";
    std::string pageToken;  // empty: no pages are served
};

// The settings in text; every problem found is added to errors, each naming its line.
Settings parseSettings(std::string_view text, std::vector<std::string>& errors);

// What parseSettings cannot see from the text alone: the time zone is known, the certificate
// and key load.
void checkSettings(const Settings& settings, std::vector<std::string>& errors);

}  // namespace tallyvane::collector
