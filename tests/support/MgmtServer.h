#pragma once
// Runs tools/mgmt_server on 127.0.0.1 for the length of a test and reads back the requests it
// stored.
//
//   tallyvane::test::MgmtServer server;               // answers every POST with 200
//   tallyvane::test::MgmtServer notFound({.status = 404});
//   ASSERT_TRUE(server.waitForRequests(1));
//   auto requests = server.requests();               // target, body and headers of each POST
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/ChildProcess.h"

namespace tallyvane::test {

class MgmtServer {
  public:
    struct Options {
        int status = 200;  // the answer to every POST
        int delayMs = 0;  // how long each answer takes
    };

    // One POST the server received.
    struct Request {
        std::string target;   // path with its raw query string, still percent-encoded
        std::string body;     // byte for byte
        std::string headers;  // "Name: value" lines
        // The value of the first header of that name, compared without regard to case.
        std::optional<std::string> header(const std::string& name) const;
    };

    // Starts the server and waits for it to report its port; throws when it does not.
    MgmtServer() : MgmtServer(Options{}) {}
    explicit MgmtServer(Options options);

    std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }
    // The requests stored so far, in the order received.
    std::vector<Request> requests() const;
    // Waits until at least count requests are stored; false when they do not come.
    bool waitForRequests(std::size_t count) const;

  private:
    ScratchDir dir_;
    std::string store_;
    std::unique_ptr<ChildProcess> process_;
    int port_ = 0;
};

// A port on 127.0.0.1 on which nothing listens, for "connection refused" cases.
int unusedLocalPort();

}  // namespace tallyvane::test
