#include "PeriodicChecker.h"

#include <chrono>

#include "AppMonitor.h"
#include "base/Unicode.h"
#include "settings/AgentLibrary.h"

namespace tallyvane {

ConsoleAction decideConsoleAction(const std::optional<std::string>& user,
                                  const std::optional<std::string>& event,
                                  std::optional<std::string>& remembered) {
    const bool changed = user ? (*user != remembered && *user != "root") : remembered.has_value();
    if (changed) {
        if (event != "Login" && event != "Switch") return ConsoleAction::None;
        remembered = user;
        return ConsoleAction::Reinitiate;
    }
    if (event != "Logoff") return ConsoleAction::None;
    remembered = std::string();
    return ConsoleAction::Drop;
}

void checkConsoleSession(AppMonitor& monitor, const AgentSettings& settings, FileSystem& files,
                         LogSink& log, ConsoleWatch& watch) {
    const std::string path = settings.text(Setting::vornagentPath) + "/consoleuser.plist";
    const bool planted = files.exists(path) && !files.isRegularFile(path);
    if (planted && !watch.refused)
        log.write("Console watcher: " + path + " is not a regular file; it is not read");
    watch.refused = planted;
    // Not read, it says nothing: no event, no user, and so no action.
    if (planted) return;
    std::optional<std::string>& remembered = watch.remembered;
    const ConsoleUserPlist file = readConsoleUserPlist(path);
    const auto& event = file.logType;
    // The same user in another composition is no new login.
    auto user = file.currentConsoleUser;
    if (user) user = canonicalName(*user);

    switch (decideConsoleAction(user, event, remembered)) {
        case ConsoleAction::Reinitiate:
            log.write(" Login Captured, So Reinitiating delegates");
            monitor.initNotificationDelegates();
            break;
        case ConsoleAction::Drop:
            monitor.deinitNotificationDelegates();
            break;
        case ConsoleAction::None:
            break;
    }
}

void startPeriodicChecker(std::shared_ptr<AppMonitor> monitor, const Platform& platform,
                          const AgentSettings& settings) {
    constexpr auto kPeriod = std::chrono::seconds(3);
    // The remembered user starts present but empty, not absent.
    platform.mainLoop.every(kPeriod,
                            [monitor = std::move(monitor), &settings, &files = platform.files,
                             &log = platform.log, watch = ConsoleWatch()]() mutable {
                                checkConsoleSession(*monitor, settings, files, log, watch);
                            });
}

}  // namespace tallyvane
