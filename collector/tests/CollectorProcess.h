#pragma once
// A real tallyvane-collector process on 127.0.0.1 with settings of the test's own.
#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <regex>

#include "support/ChildProcess.h"

namespace tallyvane::collector {

inline std::string goldenReport() {
    return test::slurp(std::string(TALLYVANE_SOURCE_DIR) + "/tests/golden/records.xml");
}

inline std::string reportTarget(const std::string& computer, const std::string& customer = "7") {
    return "/invswmetering?computer=" + computer + "&domain=WORKGROUP&customerId=" + customer +
           "&resourceid=0&remoffId=3&actionToCall=1";
}

// A certificate for 127.0.0.1 signing itself, in dir/cert.pem and dir/key.pem; false on failure.
inline bool makeCertificate(const std::string& dir) {
    return std::system(("openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=127.0.0.1"
                        " -addext subjectAltName=IP:127.0.0.1 -keyout " +
                        dir + "/key.pem -out " + dir + "/cert.pem 2>/dev/null")
                           .c_str()) == 0;
}

class CollectorProcess {
  public:
    // Writes settings (listen and database are added) and starts the collector on them.
    CollectorProcess(const std::string& dir, const std::string& database,
                     const std::string& settings)
        : log_(dir + "/collector.log"), config_(dir + "/collector.conf") {
        std::ofstream(config_) << "listen = 127.0.0.1:0\ndatabase = " << database << "\n"
                               << settings;
        process_ = std::make_unique<test::ChildProcess>(
            std::vector<std::string>{COLLECTOR_BIN, "--config", config_},
            std::map<std::string, std::string>{}, log_);
        const std::regex listening("listening on 127\\.0\\.0\\.1:([0-9]+)");
        test::eventually([&] {
            std::smatch match;
            const std::string text = log();
            return std::regex_search(text, match, listening) && (port_ = std::stoi(match[1]));
        });
    }
    int port() const { return port_; }
    std::string log() const { return test::slurp(log_); }
    const std::string& config() const { return config_; }
    test::ChildProcess& process() { return *process_; }

  private:
    std::string log_, config_;
    std::unique_ptr<test::ChildProcess> process_;
    int port_ = 0;
};

}  // namespace tallyvane::collector
