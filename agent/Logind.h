#pragma once
// What the agent asks systemd-logind over the system bus: who is logged in, and which session
// holds seat0, the machine's console.
#include <sys/types.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tallyvane::agent {

struct LoginSession {
    std::string id;
    uid_t uid = 0;
    std::string user;
    std::string seat;
    std::string path;  // its object path
};

struct ConsoleUser {
    uid_t uid = 0;
    std::string name;
    bool operator==(const ConsoleUser&) const = default;
};

class Logind {
  public:
    // Connects to the system bus (DBUS_SYSTEM_BUS_ADDRESS when set). Throws when it cannot.
    Logind();
    ~Logind();
    Logind(const Logind&) = delete;
    Logind& operator=(const Logind&) = delete;

    // Every session, or nothing (after a log line) when logind does not answer.
    std::optional<std::vector<LoginSession>> sessions();
    // The id of the seat's active session ("" for none), or nothing when logind does not answer.
    std::optional<std::string> activeSession(const std::string& seat);
    // The session's class ("user", "greeter", "lock-screen", ...), or nothing.
    std::optional<std::string> sessionClass(const LoginSession& session);

    // Calls onChange, on a thread of the bus's own, after each login, logout and change of a
    // seat's active session. Throws when the signals cannot be subscribed.
    void watch(std::function<void()> onChange);

  private:
    struct Bus;
    std::unique_ptr<Bus> bus_;
};

// What the console looks like now, or nothing when logind did not answer.
struct ConsoleView {
    std::optional<ConsoleUser> user;
};

// The console user: the user of seat0's active session when that is a user session; while a
// greeter or lock screen holds the seat, the previous console user as long as they still have a
// session on seat0; else nobody.
std::optional<ConsoleView> observeConsole(Logind& logind,
                                          const std::optional<ConsoleUser>& previous);

}  // namespace tallyvane::agent
