// Plays systemd-logind for tests on a private bus: owns org.freedesktop.login1 on the bus of
// DBUS_SYSTEM_BUS_ADDRESS and answers what the agent asks (ListSessions, seat0's ActiveSession,
// a session's Class) with the signals logind sends. Tests log users in and out through
// org.tallyvane.FakeLogind on /org/freedesktop/login1:
//   Login(s id, u uid, s user, s class)  a session on seat0 (not yet active)
//   Activate(s id)                       seat0 switches to it
//   Logout(s id)                         the session ends (seat0 has none active if it was)
// Prints "ready" once the name is owned; SIGTERM or SIGINT stops it.
#include <sdbus-c++/sdbus-c++.h>
#include <signal.h>

#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace {

constexpr const char* kManager = "org.freedesktop.login1.Manager";
constexpr const char* kSeat = "org.freedesktop.login1.Seat";
constexpr const char* kSession = "org.freedesktop.login1.Session";
constexpr const char* kControl = "org.tallyvane.FakeLogind";
constexpr const char* kManagerPath = "/org/freedesktop/login1";
constexpr const char* kSeatPath = "/org/freedesktop/login1/seat/seat0";

using SessionRow =
    sdbus::Struct<std::string, uint32_t, std::string, std::string, sdbus::ObjectPath>;

struct Session {
    uint32_t uid;
    std::string user, kind;
    std::unique_ptr<sdbus::IObject> object;
};

class FakeLogind {
  public:
    explicit FakeLogind(sdbus::IConnection& bus) : bus_(bus) {
        manager_ = sdbus::createObject(bus_, kManagerPath);
        manager_->registerMethod("ListSessions").onInterface(kManager).implementedAs([this] {
            std::lock_guard lock(mutex_);
            std::vector<SessionRow> rows;
            for (const auto& [id, s] : sessions_)
                rows.emplace_back(id, s.uid, s.user, "seat0", pathOf(id));
            return rows;
        });
        manager_->registerSignal("SessionNew")
            .onInterface(kManager)
            .withParameters<std::string, sdbus::ObjectPath>();
        manager_->registerSignal("SessionRemoved")
            .onInterface(kManager)
            .withParameters<std::string, sdbus::ObjectPath>();
        manager_->registerMethod("Login").onInterface(kControl).implementedAs(
            [this](const std::string& id, uint32_t uid, const std::string& user,
                   const std::string& kind) { login(id, uid, user, kind); });
        manager_->registerMethod("Activate")
            .onInterface(kControl)
            .implementedAs([this](const std::string& id) { activate(id); });
        manager_->registerMethod("Logout").onInterface(kControl).implementedAs(
            [this](const std::string& id) { logout(id); });
        manager_->finishRegistration();

        seat_ = sdbus::createObject(bus_, kSeatPath);
        seat_->registerProperty("ActiveSession").onInterface(kSeat).withGetter([this] {
            std::lock_guard lock(mutex_);
            return sdbus::Struct<std::string, sdbus::ObjectPath>(
                active_, active_.empty() ? sdbus::ObjectPath("/") : pathOf(active_));
        });
        seat_->finishRegistration();
    }

  private:
    static sdbus::ObjectPath pathOf(const std::string& id) {
        return sdbus::ObjectPath("/org/freedesktop/login1/session/" + id);
    }

    void login(const std::string& id, uint32_t uid, const std::string& user,
               const std::string& kind) {
        if (id.empty() ||
            id.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789") != std::string::npos)
            throw sdbus::Error("org.freedesktop.DBus.Error.InvalidArgs",
                               "session ids are [a-z0-9]+");
        auto object = sdbus::createObject(bus_, pathOf(id));
        object->registerProperty("Id").onInterface(kSession).withGetter([id] { return id; });
        object->registerProperty("Name").onInterface(kSession).withGetter([user] { return user; });
        object->registerProperty("Class").onInterface(kSession).withGetter([kind] { return kind; });
        object->finishRegistration();
        {
            std::lock_guard lock(mutex_);
            sessions_[id] = Session{uid, user, kind, std::move(object)};
        }
        manager_->emitSignal("SessionNew").onInterface(kManager).withArguments(id, pathOf(id));
    }

    void activate(const std::string& id) {
        {
            std::lock_guard lock(mutex_);
            if (!sessions_.count(id))
                throw sdbus::Error("org.freedesktop.login1.NoSuchSession", "no session " + id);
            active_ = id;
        }
        seat_->emitPropertiesChangedSignal(kSeat, {"ActiveSession"});
    }

    void logout(const std::string& id) {
        bool wasActive = false;
        {
            std::lock_guard lock(mutex_);
            if (!sessions_.erase(id))
                throw sdbus::Error("org.freedesktop.login1.NoSuchSession", "no session " + id);
            wasActive = active_ == id;
            if (wasActive) active_.clear();
        }
        manager_->emitSignal("SessionRemoved").onInterface(kManager).withArguments(id, pathOf(id));
        if (wasActive) seat_->emitPropertiesChangedSignal(kSeat, {"ActiveSession"});
    }

    sdbus::IConnection& bus_;
    std::unique_ptr<sdbus::IObject> manager_, seat_;
    std::mutex mutex_;
    std::map<std::string, Session> sessions_;
    std::string active_;
};

}  // namespace

int main() {
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);  // before the bus thread starts
    try {
        auto bus = sdbus::createSystemBusConnection("org.freedesktop.login1");
        FakeLogind logind(*bus);
        bus->enterEventLoopAsync();
        std::printf("ready\n");
        std::fflush(stdout);
        int signalNumber = 0;
        sigwait(&stop, &signalNumber);
        bus->leaveEventLoop();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "fake_logind: %s\n", e.what());
        return 1;
    }
    return 0;
}
