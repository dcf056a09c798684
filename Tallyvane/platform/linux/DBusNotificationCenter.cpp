#include <sdbus-c++/sdbus-c++.h>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/linux/LinuxPlatform.h"

namespace tallyvane::linux_platform {
namespace {

constexpr const char* kObjectPath = "/org/tallyvane/DistributedNotificationCenter";
constexpr const char* kInterface = "org.tallyvane.DistributedNotificationCenter";
constexpr const char* kMember = "Notification";

// The bus filters on the name, except one that cannot stand inside a quoted match value; the
// handler compares the name itself in any case.
std::string matchRule(const std::string& name) {
    std::string rule =
        std::string("type='signal',interface='") + kInterface + "',member='" + kMember + "'";
    if (name.find_first_of("'\\") == std::string::npos) rule += ",arg0='" + name + "'";
    return rule;
}

// A failed bus call in words, with the bus's own error name where it gave one.
std::string failure(const std::exception& e) {
    if (const auto* bus = dynamic_cast<const sdbus::Error*>(&e))
        return bus->getName() + ": " + bus->getMessage();
    return e.what();
}

class DBusNotificationCenter final : public DistributedNotificationCenter {
  public:
    DBusNotificationCenter(MainLoop& mainLoop, LogSink& log) : mainLoop_(mainLoop), log_(log) {}

    ~DBusNotificationCenter() override {
        // Each connection's destructor leaves its event loop and joins its thread.
        std::lock_guard lock(mutex_);
        observers_.clear();
    }

    bool post(const std::string& name) override {
        std::lock_guard lock(mutex_);
        try {
            if (!poster_) {
                poster_ = sdbus::createSessionBusConnection();
                object_ = sdbus::createObject(*poster_, kObjectPath);
                bus_ =
                    sdbus::createProxy(*poster_, "org.freedesktop.DBus", "/org/freedesktop/DBus");
            }
            auto signal = object_->createSignal(kInterface, kMember);
            signal << name;
            object_->emitSignal(signal);
            // The poster may exit right after posting: a round trip to the bus daemon returns
            // only after everything queued before it, the signal included, has been written.
            bus_->callMethod("Ping").onInterface("org.freedesktop.DBus.Peer");
            return true;
        } catch (const std::exception& e) {
            log_.write("DistributedNotificationCenter: cannot post \"" + name +
                       "\" on the session bus: " + failure(e));
        }
        bus_.reset();
        object_.reset();
        poster_.reset();
        return false;
    }

    bool addObserver(const std::string& name, std::function<void()> block) override {
        auto shared = std::make_shared<std::function<void()>>(std::move(block));
        const std::string rule = matchRule(name);
        try {
            // One connection per observer: the match is in place before its event-loop thread
            // starts, so no connection is ever used from two threads at once.
            auto observer = std::make_unique<Observer>();
            observer->connection = sdbus::createSessionBusConnection();
            MainLoop& loop = mainLoop_;
            observer->slot = observer->connection->addMatch(
                rule, [&loop, shared, name](sdbus::Message& message) {
                    std::string received;
                    try {
                        message >> received;
                    } catch (const sdbus::Error&) {
                        return;
                    }
                    if (received == name) loop.post([shared] { (*shared)(); });
                });
            observer->connection->enterEventLoopAsync();
            std::lock_guard lock(mutex_);
            observers_.push_back(std::move(observer));
            return true;
        } catch (const std::exception& e) {
            log_.write("DistributedNotificationCenter: cannot observe \"" + name +
                       "\" on the session bus: " + failure(e));
        }
        return false;
    }

  private:
    struct Observer {
        std::unique_ptr<sdbus::IConnection> connection;
        sdbus::Slot slot;
        ~Observer() {
            if (connection) connection->leaveEventLoop();
            slot.reset();
        }
    };

    MainLoop& mainLoop_;
    LogSink& log_;
    std::mutex mutex_;
    std::unique_ptr<sdbus::IConnection> poster_;
    std::unique_ptr<sdbus::IObject> object_;
    std::unique_ptr<sdbus::IProxy> bus_;
    std::vector<std::unique_ptr<Observer>> observers_;
};

}  // namespace

std::unique_ptr<DistributedNotificationCenter> makeDistributedNotificationCenter(MainLoop& mainLoop,
                                                                                 LogSink& log) {
    return std::make_unique<DBusNotificationCenter>(mainLoop, log);
}

}  // namespace tallyvane::linux_platform
