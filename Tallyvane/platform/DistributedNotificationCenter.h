#pragma once
#include <functional>
#include <string>

namespace tallyvane {

// Notifications between processes of the same user, by name only.
class DistributedNotificationCenter {
  public:
    virtual ~DistributedNotificationCenter() = default;
    // Broadcasts the notification. False, with a log line, when it could not be sent.
    virtual bool post(const std::string& name) = 0;
    // Runs block on the main loop for every notification of that name from any sender. The
    // registration is never removed. False, with a log line, when it could not be made.
    virtual bool addObserver(const std::string& name, std::function<void()> block) = 0;
};

}  // namespace tallyvane
