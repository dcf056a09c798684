// tallyvane-collector: receives the agents' usage reports and keeps them in a database.
//
//   tallyvane-collector [--config PATH] [--check | --move-to DATABASE]
//
// PATH defaults to /etc/tallyvane/collector.conf. --check validates the settings and exits
// (0 when they are usable). --move-to stores every report of the configured database again in
// DATABASE, as the agents sent it, and exits. Otherwise it serves until SIGTERM or SIGINT, printing
// "listening on HOST:PORT" once it accepts connections; the log goes to standard error.
#include <httplib.h>
#include <pthread.h>

#include <atomic>
#include <csignal>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>
#include <thread>

#include "Days.h"
#include "Server.h"
#include "Settings.h"
#include "Store.h"

using namespace tallyvane::collector;

namespace {

int usage() {
    std::cerr << "usage: tallyvane-collector [--config PATH] [--check | --move-to DATABASE]\n";
    return 2;
}

// Every report of from stored again in to, read as when it arrived.
int moveReports(Store& from, Store& to) {
    std::int64_t stored = 0, there = 0;
    bool failed = false;
    const bool read = from.forEachReport([&](const Received& r) {
        const auto query = parseReportTarget(r.target);
        const auto body = parseReportBody(r.body);
        if (!query || !body) {
            std::cerr << "tallyvane-collector: a stored report no longer reads: "
                      << printable(r.target) << "\n";
            return !(failed = true);
        }
        switch (to.add({r.target, r.body, *query, foldDays(body->rows), r.receivedAt})) {
            case AddResult::stored:
                return ++stored, true;
            case AddResult::duplicate:
                return ++there, true;
            case AddResult::failed:
                break;
        }
        std::cerr << "tallyvane-collector: cannot store: " << to.lastError() << "\n";
        return !(failed = true);
    });
    if (!read) std::cerr << "tallyvane-collector: cannot read: " << from.lastError() << "\n";
    std::cout << "moved " << stored << " reports (" << there << " were there already)\n";
    return read && !failed ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    std::string path = kDefaultSettingsPath;
    bool checkOnly = false;
    std::optional<std::string> moveTo;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "--check") {
            checkOnly = true;
        } else if (option == "--move-to" && i + 1 < argc) {
            moveTo = argv[++i];
        } else if (option == "--config" && i + 1 < argc) {
            path = argv[++i];
        } else {
            return usage();
        }
    }

    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::cerr << "tallyvane-collector: cannot read " << path << "\n";
        return 1;
    }
    std::stringstream text;
    text << in.rdbuf();
    std::vector<std::string> errors;
    const Settings settings = parseSettings(text.str(), errors);
    checkSettings(settings, errors);
    for (const auto& error : errors) std::cerr << path << ": " << error << "\n";
    if (!errors.empty()) return 1;
    if (checkOnly) {
        std::cout << path << ": the settings are usable\n";
        return 0;
    }

    useTimeZone(settings.timeZone);
    std::string error;
    auto store = openStore(settings.database, error);
    if (!store) {
        std::cerr << "tallyvane-collector: cannot open the database: " << error << "\n";
        return 1;
    }
    if (moveTo) {
        auto target = openStore(*moveTo, error);
        if (!target) {
            std::cerr << "tallyvane-collector: cannot open " << *moveTo << ": " << error << "\n";
            return 1;
        }
        return moveReports(*store, *target);
    }

    // SIGTERM and SIGINT are taken by one thread with sigwait; the server's threads inherit the
    // blocked mask.
    std::signal(SIGPIPE, SIG_IGN);
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    auto server = makeServer(settings, *store, error);
    if (!server) {
        std::cerr << "tallyvane-collector: " << error << "\n";
        return 1;
    }
    int port = settings.listenPort;
    if (port == 0) {
        port = server->bind_to_any_port(settings.listenHost.c_str());
    } else if (!server->bind_to_port(settings.listenHost.c_str(), port)) {
        port = -1;
    }
    if (port <= 0) {
        std::cerr << "tallyvane-collector: cannot listen on " << settings.listenHost << ":"
                  << settings.listenPort << "\n";
        return 1;
    }

    std::atomic<bool> listenDone{false};
    std::thread stopper([&server, &listenDone, stopSignals] {
        int signal = 0;
        sigwait(&stopSignals, &signal);
        // stop() acts only on a running server; a signal may come before listening starts.
        while (!listenDone.load() && !server->is_running()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        if (!listenDone.load()) server->stop();
    });
    std::cout << "listening on " << settings.listenHost << ":" << port << std::endl;
    std::cerr << "tallyvane-collector: " << (settings.certificate.empty() ? "HTTP" : "HTTPS")
              << " on " << settings.listenHost << ":" << port << "\n";
    const bool ok = server->listen_after_bind();
    listenDone.store(true);
    pthread_kill(stopper.native_handle(), SIGTERM);  // wakes the stopper if no signal came
    stopper.join();
    return ok ? 0 : 1;
}
