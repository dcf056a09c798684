#include "Logind.h"

#include <sdbus-c++/sdbus-c++.h>

#include <map>

#include "AgentLog.h"

namespace tallyvane::agent {
namespace {

constexpr const char* kService = "org.freedesktop.login1";
constexpr const char* kManagerPath = "/org/freedesktop/login1";
constexpr const char* kManager = "org.freedesktop.login1.Manager";
constexpr const char* kSeat = "org.freedesktop.login1.Seat";
constexpr const char* kSession = "org.freedesktop.login1.Session";
constexpr const char* kProperties = "org.freedesktop.DBus.Properties";

void logFailure(const std::string& what, const std::exception& e) {
    if (const auto* error = dynamic_cast<const sdbus::Error*>(&e))
        log("logind: " + what + ": " + error->getName() + ": " + error->getMessage());
    else
        log("logind: " + what + ": " + e.what());
}

// sd-bus paths escape each byte of a name that is not alphanumeric as _XX.
std::string seatPath(const std::string& seat) {
    std::string path = "/org/freedesktop/login1/seat/";
    for (unsigned char c : seat) {
        if (std::isalnum(c)) {
            path += static_cast<char>(c);
        } else {
            static const char* hex = "0123456789abcdef";
            path += '_';
            path += hex[c >> 4];
            path += hex[c & 15];
        }
    }
    return path;
}

}  // namespace

struct Logind::Bus {
    // Calls go over one connection from the agent's thread; signals arrive on another, whose
    // event loop runs on a thread of its own.
    std::unique_ptr<sdbus::IConnection> calls = sdbus::createSystemBusConnection();
    std::unique_ptr<sdbus::IConnection> signals;
    std::unique_ptr<sdbus::IProxy> manager = sdbus::createProxy(*calls, kService, kManagerPath);
    std::vector<std::unique_ptr<sdbus::IProxy>> watchers;
};

Logind::Logind() : bus_(std::make_unique<Bus>()) {}

Logind::~Logind() {
    if (bus_->signals) bus_->signals->leaveEventLoop();
    bus_->watchers.clear();
}

std::optional<std::vector<LoginSession>> Logind::sessions() {
    try {
        std::vector<
            sdbus::Struct<std::string, uint32_t, std::string, std::string, sdbus::ObjectPath>>
            listed;
        bus_->manager->callMethod("ListSessions").onInterface(kManager).storeResultsTo(listed);
        std::vector<LoginSession> result;
        for (const auto& s : listed)
            result.push_back(
                {s.get<0>(), static_cast<uid_t>(s.get<1>()), s.get<2>(), s.get<3>(), s.get<4>()});
        return result;
    } catch (const std::exception& e) {
        logFailure("ListSessions", e);
        return std::nullopt;
    }
}

std::optional<std::string> Logind::activeSession(const std::string& seat) {
    try {
        auto proxy = sdbus::createProxy(*bus_->calls, kService, seatPath(seat));
        const sdbus::Struct<std::string, sdbus::ObjectPath> active =
            proxy->getProperty("ActiveSession").onInterface(kSeat);
        return active.get<0>();
    } catch (const std::exception& e) {
        logFailure(seat + " ActiveSession", e);
        return std::nullopt;
    }
}

std::optional<std::string> Logind::sessionClass(const LoginSession& session) {
    try {
        auto proxy = sdbus::createProxy(*bus_->calls, kService, session.path);
        const std::string kind = proxy->getProperty("Class").onInterface(kSession);
        return kind;
    } catch (const std::exception& e) {
        logFailure("session " + session.id + " Class", e);
        return std::nullopt;
    }
}

void Logind::watch(std::function<void()> onChange) {
    bus_->signals = sdbus::createSystemBusConnection();
    auto manager = sdbus::createProxy(*bus_->signals, kService, kManagerPath);
    for (const char* member : {"SessionNew", "SessionRemoved"}) {
        manager->uponSignal(member).onInterface(kManager).call(
            [onChange](const std::string&, const sdbus::ObjectPath&) { onChange(); });
    }
    manager->finishRegistration();
    // A switch changes the seat's ActiveSession, announced with PropertiesChanged.
    auto seat = sdbus::createProxy(*bus_->signals, kService, seatPath("seat0"));
    seat->uponSignal("PropertiesChanged")
        .onInterface(kProperties)
        .call([onChange](const std::string&, const std::map<std::string, sdbus::Variant>&,
                         const std::vector<std::string>&) { onChange(); });
    seat->finishRegistration();
    bus_->watchers.push_back(std::move(manager));
    bus_->watchers.push_back(std::move(seat));
    bus_->signals->enterEventLoopAsync();
}

std::optional<ConsoleView> observeConsole(Logind& logind,
                                          const std::optional<ConsoleUser>& previous) {
    const auto sessions = logind.sessions();
    const auto active = logind.activeSession("seat0");
    if (!sessions || !active) return std::nullopt;
    for (const auto& session : *sessions) {
        if (session.id != *active || session.seat != "seat0") continue;
        const auto kind = logind.sessionClass(session);
        if (!kind) return std::nullopt;
        if (*kind == "user") return ConsoleView{ConsoleUser{session.uid, session.user}};
    }
    if (previous) {
        for (const auto& session : *sessions)
            if (session.seat == "seat0" && session.uid == previous->uid)
                return ConsoleView{previous};
    }
    return ConsoleView{};
}

}  // namespace tallyvane::agent
