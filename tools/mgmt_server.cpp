// mgmt_server: the project's own small management server for tests and the demo.
//
//   mgmt_server [--port N] [--status CODE] [--store DIR] [--delay MS]
//
// Listens on 127.0.0.1 only (port 0, the default, picks a free one) and prints
// "listening on 127.0.0.1:PORT" as its first line on standard output. Every POST, whatever its
// path, is answered with CODE (default 200). With --store, request N (counted from 1) is kept as
//   DIR/report-N.xml      the body, byte for byte
//   DIR/report-N.headers  the request headers, one "Name: value" line each
//   DIR/report-N.path     the request target as received (path and raw query string, still
//                         percent-encoded), without a line feed; written last, so once it is
//                         there the other two are complete.
// Each request is also noted on standard error. SIGTERM or SIGINT stops the server.
#include <httplib.h>

#include <pthread.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace {

void usage() {
    std::cerr << "usage: mgmt_server [--port N] [--status CODE] [--store DIR] [--delay MS]\n";
}

std::optional<long> parseNumber(const char* text, long low, long high) {
    if (text == nullptr || *text == '\0') return std::nullopt;
    char* end = nullptr;
    errno = 0;
    long value = std::strtol(text, &end, 10);
    if (errno != 0 || *end != '\0' || value < low || value > high) return std::nullopt;
    return value;
}

// Writes data to path through a temporary file and a rename, so a reader never sees half of it.
bool writeFile(const std::filesystem::path& path, const std::string& data) {
    const auto temporary = path.string() + ".tmp";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        if (!out) return false;
        out.write(data.data(), static_cast<std::streamsize>(data.size()));
        out.flush();
        if (!out) return false;
    }
    std::error_code error;
    std::filesystem::rename(temporary, path, error);
    return !error;
}

}  // namespace

int main(int argc, char** argv) {
    long port = 0;
    long status = 200;
    long delay = 0;  // milliseconds before each answer
    std::optional<std::filesystem::path> store;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (option == "--port") {
            auto parsed = parseNumber(value, 0, 65535);
            if (!parsed) return usage(), 2;
            port = *parsed;
            ++i;
        } else if (option == "--status") {
            auto parsed = parseNumber(value, 100, 999);
            if (!parsed) return usage(), 2;
            status = *parsed;
            ++i;
        } else if (option == "--delay") {
            auto parsed = parseNumber(value, 0, 600000);
            if (!parsed) return usage(), 2;
            delay = *parsed;
            ++i;
        } else if (option == "--store") {
            if (value == nullptr || *value == '\0') return usage(), 2;
            store = std::filesystem::path(value);
            ++i;
        } else {
            usage();
            return 2;
        }
    }
    if (store) {
        std::error_code error;
        std::filesystem::create_directories(*store, error);
        if (error) {
            std::cerr << "mgmt_server: cannot create " << *store << ": " << error.message() << "\n";
            return 1;
        }
    }

    // SIGTERM and SIGINT are taken by one thread with sigwait; every other thread (the server's
    // pool included) inherits the blocked mask.
    std::signal(SIGPIPE, SIG_IGN);
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    httplib::Server server;
    std::mutex storeMutex;
    long received = 0;
    server.Post(".*", [&](const httplib::Request& req, httplib::Response& res) {
        std::string target = req.target;
        if (target.empty()) target = req.path;  // older cpp-httplib: no raw target kept
        long number = 0;
        {
            std::lock_guard lock(storeMutex);
            number = ++received;
            if (store) {
                const std::string stem = "report-" + std::to_string(number);
                std::string headers;
                for (const auto& [name, value] : req.headers) {
                    // cpp-httplib adds these pseudo-headers itself; they were not sent.
                    if (name == "REMOTE_ADDR" || name == "REMOTE_PORT" || name == "LOCAL_ADDR" ||
                        name == "LOCAL_PORT") {
                        continue;
                    }
                    headers += name + ": " + value + "\n";
                }
                if (!writeFile(*store / (stem + ".xml"), req.body) ||
                    !writeFile(*store / (stem + ".headers"), headers) ||
                    !writeFile(*store / (stem + ".path"), target)) {
                    std::cerr << "mgmt_server: cannot store request " << number << "\n";
                }
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(delay));
        res.status = static_cast<int>(status);
        std::cerr << "mgmt_server: #" << number << " POST " << target << " (" << req.body.size()
                  << " bytes) -> " << status << std::endl;
    });

    int bound = 0;
    if (port == 0) {
        bound = server.bind_to_any_port("127.0.0.1");
    } else {
        bound =
            server.bind_to_port("127.0.0.1", static_cast<int>(port)) ? static_cast<int>(port) : -1;
    }
    if (bound <= 0) {
        std::cerr << "mgmt_server: cannot bind 127.0.0.1:" << port << "\n";
        return 1;
    }

    std::atomic<bool> listenDone{false};
    std::thread stopper([&server, &listenDone, stopSignals] {
        int signal = 0;
        sigwait(&stopSignals, &signal);
        // A signal may come before listen_after_bind has started; stop() only acts on a running
        // server.
        while (!listenDone.load() && !server.is_running()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        if (!listenDone.load()) server.stop();
    });

    std::printf("listening on 127.0.0.1:%d\n", bound);
    std::fflush(stdout);

    const bool ok = server.listen_after_bind();
    listenDone.store(true);
    pthread_kill(stopper.native_handle(), SIGTERM);  // wakes the stopper if no signal came
    stopper.join();
    return ok ? 0 : 1;
}
