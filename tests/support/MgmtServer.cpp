#include "support/MgmtServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace tallyvane::test {

namespace {

std::string readWholeFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

std::filesystem::path makeTemporaryDirectory(const char* stem) {
    const char* base = std::getenv("TMPDIR");
    std::string pattern =
        std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/" + stem + "-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp " + pattern + ": " + std::strerror(errno));
    }
    return pattern;
}

// Reads one line (without its line feed) from fd, waiting up to timeout in all.
std::optional<std::string> readLine(int fd, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::string line;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return std::nullopt;
        struct pollfd p {
            fd, POLLIN, 0
        };
        int ready = ::poll(&p, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return std::nullopt;
        char c;
        ssize_t n = ::read(fd, &c, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return std::nullopt;  // the server ended
        if (c == '\n') return line;
        line.push_back(c);
    }
}

}  // namespace

std::optional<std::string> MgmtServer::Request::header(const std::string& name) const {
    std::istringstream lines(headers);
    std::string line;
    while (std::getline(lines, line)) {
        const auto colon = line.find(": ");
        if (colon == std::string::npos || colon != name.size()) continue;
        if (::strncasecmp(line.c_str(), name.c_str(), name.size()) == 0)
            return line.substr(colon + 2);
    }
    return std::nullopt;
}

std::filesystem::path MgmtServer::executable() {
    return std::filesystem::path(TALLYVANE_BIN_DIR) / "mgmt_server";
}

MgmtServer::MgmtServer(Options options) {
    if (options.storeDir) {
        storeDir_ = *options.storeDir;
    } else {
        storeDir_ = makeTemporaryDirectory("tallyvane-mgmt");
        ownStoreDir_ = true;
    }

    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
    const std::string program = executable().string();
    const std::string status = std::to_string(options.status);
    const std::string store = storeDir_.string();
    std::vector<char*> argv = {const_cast<char*>(program.c_str()),
                               const_cast<char*>("--port"),
                               const_cast<char*>("0"),
                               const_cast<char*>("--status"),
                               const_cast<char*>(status.c_str()),
                               const_cast<char*>("--store"),
                               const_cast<char*>(store.c_str()),
                               nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    const int spawned =
        ::posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    if (spawned != 0) {
        ::close(out[0]);
        pid_ = -1;
        if (ownStoreDir_) std::filesystem::remove_all(storeDir_);
        throw std::runtime_error("cannot start " + program + ": " + std::strerror(spawned));
    }

    const auto line = readLine(out[0], std::chrono::seconds(10));
    ::close(out[0]);  // the server prints nothing more
    static const std::string kPrefix = "listening on 127.0.0.1:";
    if (line && line->rfind(kPrefix, 0) == 0) port_ = std::atoi(line->c_str() + kPrefix.size());
    if (port_ <= 0) {
        stop();
        if (ownStoreDir_) std::filesystem::remove_all(storeDir_);
        throw std::runtime_error(
            "mgmt_server did not report its port (line: " + line.value_or("<none>") + ")");
    }
}

MgmtServer::~MgmtServer() {
    stop();
    if (ownStoreDir_) {
        std::error_code ignored;
        std::filesystem::remove_all(storeDir_, ignored);
    }
}

std::string MgmtServer::url() const {
    return "http://127.0.0.1:" + std::to_string(port_);
}

std::vector<MgmtServer::Request> MgmtServer::requests() const {
    std::vector<Request> result;
    for (std::size_t n = 1;; ++n) {
        const auto stem = storeDir_ / ("report-" + std::to_string(n));
        auto pathFile = stem;
        pathFile += ".path";
        if (!std::filesystem::exists(pathFile)) break;  // written last: the others are complete
        auto bodyFile = stem;
        bodyFile += ".xml";
        auto headerFile = stem;
        headerFile += ".headers";
        result.push_back(
            Request{readWholeFile(pathFile), readWholeFile(bodyFile), readWholeFile(headerFile)});
    }
    return result;
}

bool MgmtServer::waitForRequests(std::size_t count, std::chrono::milliseconds timeout) const {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (requests().size() >= count) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

void MgmtServer::stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    for (;;) {
        int status = 0;
        const pid_t done = ::waitpid(pid_, &status, WNOHANG);
        if (done == pid_ || (done < 0 && errno != EINTR)) break;
        if (std::chrono::steady_clock::now() >= deadline) {
            ::kill(pid_, SIGKILL);
            while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
            }
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    pid_ = -1;
}

int unusedLocalPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) throw std::runtime_error("socket failed");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof address;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ::close(fd);
        throw std::runtime_error("bind failed");
    }
    ::close(fd);  // bound but never listened on: connections are refused
    return ntohs(address.sin_port);
}

}  // namespace tallyvane::test
