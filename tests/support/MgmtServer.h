#pragma once
// Runs tools/mgmt_server (the project's own management server) as a child process on
// 127.0.0.1 for the length of a test, and reads back the requests it stored.
//
//   tallyvane::test::MgmtServer server;              // answers every POST with 200
//   tallyvane::test::MgmtServer notFound(404);
//   ... settings "ServerURL" = server.url() ...
//   ASSERT_TRUE(server.waitForRequests(1));
//   auto requests = server.requests();              // target, body and headers of each POST
#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace tallyvane::test {

class MgmtServer {
  public:
    struct Options {
        int status = 200;  // the answer to every POST
        // Where the server stores the requests; by default a fresh temporary folder that the
        // helper removes afterwards.
        std::optional<std::filesystem::path> storeDir = std::nullopt;
    };

    // One POST the server received.
    struct Request {
        std::string target;   // path with its raw query string, as sent (still percent-encoded)
        std::string body;     // byte for byte
        std::string headers;  // "Name: value\n" lines
        // The value of the first header of that name (compared without regard to case).
        std::optional<std::string> header(const std::string& name) const;
    };

    // Starts the server and waits (up to 10 s) for its "listening on" line. Throws
    // std::runtime_error when it cannot be started.
    MgmtServer() : MgmtServer(Options{}) {}
    explicit MgmtServer(int status) : MgmtServer(Options{status, std::nullopt}) {}
    explicit MgmtServer(Options options);
    ~MgmtServer();  // stop(), and removes the temporary store folder
    MgmtServer(const MgmtServer&) = delete;
    MgmtServer& operator=(const MgmtServer&) = delete;

    int port() const { return port_; }
    std::string url() const;  // "http://127.0.0.1:PORT", no trailing slash
    const std::filesystem::path& storeDir() const { return storeDir_; }
    pid_t pid() const { return pid_; }

    // The requests stored so far, in the order received.
    std::vector<Request> requests() const;
    // Waits until at least count requests are stored; false on time-out.
    bool waitForRequests(std::size_t count,
                         std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;

    // Sends SIGTERM and waits for the server to end (SIGKILL after 5 s). Idempotent.
    void stop();

    // TALLYVANE_BIN_DIR/mgmt_server.
    static std::filesystem::path executable();

  private:
    pid_t pid_ = -1;
    int port_ = 0;
    std::filesystem::path storeDir_;
    bool ownStoreDir_ = false;
};

// A TCP port on 127.0.0.1 on which nothing listens (bound once by the kernel's choice, then
// released), for "connection refused" cases.
int unusedLocalPort();

}  // namespace tallyvane::test
