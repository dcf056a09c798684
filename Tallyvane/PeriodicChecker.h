#pragma once
// The console session watcher: follows logins, user switches and logoffs at the console.
#include <memory>
#include <optional>
#include <string>

#include "base/LogSink.h"
#include "platform/FileSystem.h"
#include "platform/Platform.h"
#include "settings/AgentSettings.h"

namespace tallyvane {

class AppMonitor;

enum class ConsoleAction { None, Reinitiate, Drop };

// One tick's decision from the console user read (user), the event read (event) and the
// remembered console user, which it updates.
ConsoleAction decideConsoleAction(const std::optional<std::string>& user,
                                  const std::optional<std::string>& event,
                                  std::optional<std::string>& remembered);

// What the watcher keeps from one tick to the next.
struct ConsoleWatch {
    std::optional<std::string> remembered = std::string();  // present but empty at first
    bool refused = false;  // something other than a file stands at consoleuser.plist
};

// One tick: reads consoleuser.plist in the agent folder and acts on the monitor. A link, FIFO,
// socket, device or folder there is not read, with one line to log until it changes.
void checkConsoleSession(AppMonitor& monitor, const AgentSettings& settings, FileSystem& files,
                         LogSink& log, ConsoleWatch& watch);

// Every 3 seconds from now on the platform's main loop, for the life of the loop, over its files
// and log. The timer holds the monitor; the settings and the platform's services must outlive
// the loop.
void startPeriodicChecker(std::shared_ptr<AppMonitor> monitor, const Platform& platform,
                          const AgentSettings& settings);

}  // namespace tallyvane
