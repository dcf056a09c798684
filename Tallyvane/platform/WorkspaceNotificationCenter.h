#pragma once
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace tallyvane {

// What the monitor learns of one running application.
struct RunningApplication {
    std::optional<std::string> localizedName;
    std::optional<std::string> bundleURL;  // the bundle directory, for a bundled executable
    std::int32_t processIdentifier = 0;
    // The file that was launched (a script, or the program itself), resolved.
    std::optional<std::string> executableURL{};
};

// A launch or termination notification; its application is absent when the platform gave none.
struct WorkspaceNotification {
    std::optional<RunningApplication> application;
};

enum class WorkspaceEvent { DidLaunchApplication, DidTerminateApplication };

// Delivers workspace notifications to registered observers. Every addObserver adds one more
// registration (equal ones are not merged); removeObserver drops all of an observer's
// registrations. The centre does not keep observers alive. Main thread only.
class WorkspaceNotificationCenter {
  public:
    using Handler = std::function<void(const WorkspaceNotification&)>;

    void addObserver(const void* observer, WorkspaceEvent event, Handler handler);
    void removeObserver(const void* observer);
    // Hands the notification to every registration for event, in registration order.
    void post(WorkspaceEvent event, const WorkspaceNotification& notification);
    // How many registrations observer holds for event.
    std::size_t registrations(const void* observer, WorkspaceEvent event) const;

  private:
    struct Registration {
        const void* observer;
        WorkspaceEvent event;
        Handler handler;
    };
    std::vector<Registration> registrations_;
};

}  // namespace tallyvane
