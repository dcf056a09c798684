#pragma once
// The readers of what names an application: desktop entries, session bus service files and the
// units the desktop starts applications in. Pure: text in, values out.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tallyvane::linux_platform {

// The Exec value of a desktop entry split into its arguments: unescaped, unquoted, field codes
// dropped. Nothing when it is malformed.
std::optional<std::vector<std::string>> execArguments(std::string_view exec);

// The program a desktop entry's command starts, as written there (a name or a path), looking
// through env and "sh -c"; nothing when it starts one through a sandbox launcher (Flatpak, Snap:
// those are known by their sandbox) or hands a file to an interpreter.
std::optional<std::string> launchedProgram(std::vector<std::string> arguments);

// A program that runs what it is handed (a shell, python3, perl5.36, env): never an application's
// own program.
bool isInterpreter(std::string_view name);

// A program that starts what it is given in a sandbox, another session or as another user: the
// application is the process it starts, known by its sandbox or not the user's at all.
bool isLauncher(std::string_view name);

// What a desktop entry says of the application it starts.
struct DesktopEntry {
    // The file name of the program its command starts, as written there (a link's own name).
    std::string name;
    // Its command's program and TryExec, as written there.
    std::vector<std::string> programs;
    // The session bus name that starts it: an activatable or reverse-DNS entry's id, or the one
    // it names.
    std::string busName;
};
// Nothing for an entry that is hidden, no application, or starts no program of its own; id is
// the entry's desktop id without ".desktop" (an activatable entry's bus name).
std::optional<DesktopEntry> parseDesktopEntry(std::string_view text, std::string_view id);

// The program a session bus service file starts, when it is the service of busName.
std::optional<std::string> serviceProgram(std::string_view text, std::string_view busName);

// The desktop id a systemd unit of an application names (app[-LAUNCHER]-ID-RANDOM.scope,
// app[-LAUNCHER]-ID[@RANDOM].service, escaped as systemd does), from the last component of a
// cgroup path; nothing for any other unit. The launcher part cannot be told from an id holding
// '-', so the id is every reading and the caller takes the one it knows.
std::vector<std::string> unitDesktopIds(std::string_view unit);

}  // namespace tallyvane::linux_platform
