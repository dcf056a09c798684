#include "support/MgmtServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <stdexcept>

namespace tallyvane::test {

std::optional<std::string> MgmtServer::Request::header(const std::string& name) const {
    for (const auto& line : linesOf(headers)) {
        if (line.size() > name.size() + 1 && line.compare(name.size(), 2, ": ") == 0 &&
            ::strncasecmp(line.c_str(), name.c_str(), name.size()) == 0)
            return line.substr(name.size() + 2);
    }
    return std::nullopt;
}

MgmtServer::MgmtServer(Options options) : store_(dir_.path() + "/store") {
    const std::string out = dir_.path() + "/server.out";
    process_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{std::string(TALLYVANE_BIN_DIR) + "/mgmt_server", "--port", "0",
                                 "--status", std::to_string(options.status), "--store", store_,
                                 "--delay", std::to_string(options.delayMs)},
        std::map<std::string, std::string>{}, out);
    // Its first line is "listening on 127.0.0.1:PORT".
    eventually([&] { return slurp(out).find('\n') != std::string::npos; });
    const std::string line = slurp(out);
    const std::string prefix = "listening on 127.0.0.1:";
    if (line.rfind(prefix, 0) == 0) port_ = std::atoi(line.c_str() + prefix.size());
    if (port_ <= 0) throw std::runtime_error("mgmt_server did not start: " + line);
}

std::vector<MgmtServer::Request> MgmtServer::requests() const {
    std::vector<Request> result;
    for (int n = 1;; ++n) {
        const std::string stem = store_ + "/report-" + std::to_string(n);
        // The target is written last: when it is there, the other files are complete.
        if (!std::filesystem::exists(stem + ".path")) return result;
        result.push_back({slurp(stem + ".path"), slurp(stem + ".xml"), slurp(stem + ".headers")});
    }
}

bool MgmtServer::waitForRequests(std::size_t count) const {
    return eventually([&] { return requests().size() >= count; });
}

int unusedLocalPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    const bool bound = fd >= 0 &&
                       ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                       ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0;
    if (fd >= 0) ::close(fd);  // bound but never listened on: connections are refused
    if (!bound) throw std::runtime_error("cannot bind a port on 127.0.0.1");
    return ntohs(address.sin_port);
}

}  // namespace tallyvane::test
