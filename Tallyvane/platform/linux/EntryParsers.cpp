// The readers of what names an application: desktop entries, session bus service files and the
// units the desktop starts applications in. Pure: text in, values out.
#include "platform/linux/EntryParsers.h"

#include <algorithm>

#include "platform/linux/ProcFs.h"
#include "platform/linux/ShellScripts.h"
#include "platform/linux/TextLines.h"

namespace tallyvane::linux_platform {
namespace {

bool isShell(std::string_view name) {
    for (std::string_view shell : {"sh", "bash", "dash", "zsh", "ksh", "mksh", "fish"})
        if (name == shell) return true;
    return false;
}

}  // namespace

bool isInterpreter(std::string_view name) {
    for (std::string_view interpreter : {"python", "perl", "ruby", "node", "nodejs", "lua", "php",
                                         "tclsh", "wish", "java", "mono", "gjs", "env"}) {
        if (!name.starts_with(interpreter)) continue;
        const auto version = name.substr(interpreter.size());
        if (version.find_first_not_of("0123456789.") == std::string_view::npos) return true;
    }
    return isShell(name);
}

bool isLauncher(std::string_view name) {
    for (std::string_view launcher : {"flatpak", "flatpak-spawn", "bwrap", "snap", "gtk-launch",
                                      "xdg-open", "gio", "pkexec", "sudo", "kdesu", "gksu"})
        if (name == launcher) return true;
    return false;
}

namespace {

struct Entry {
    bool application = false;
    bool hidden = false;
    bool activatable = false;
    std::string exec;
    std::string tryExec;
    std::string busName;
};

// The keys of the [Desktop Entry] group that say what an entry starts.
Entry readEntry(std::string_view text) {
    Entry entry;
    eachIniKey(text, "Desktop Entry", [&](std::string_view key, std::string_view value) {
        if (key == "Type") entry.application = value == "Application";
        if (key == "Hidden") entry.hidden = value == "true";
        if (key == "Exec") entry.exec = std::string(value);
        if (key == "TryExec") entry.tryExec = std::string(value);
        if (key == "DBusActivatable") entry.activatable = value == "true";
        if (key == "X-DBus-ServiceName") entry.busName = std::string(value);
        return true;
    });
    return entry;
}

// Reverses systemd's escaping of a unit name: "\x2d" is a '-' of the name itself.
std::string unescapedUnit(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 3 < text.size() && text[i + 1] == 'x') {
            const auto hex = [](char c) {
                return c >= '0' && c <= '9'   ? c - '0'
                       : c >= 'a' && c <= 'f' ? c - 'a' + 10
                       : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                              : -1;
            };
            const int high = hex(text[i + 2]), low = hex(text[i + 3]);
            if (high >= 0 && low >= 0) {
                out += static_cast<char>(high * 16 + low);
                i += 3;
                continue;
            }
        }
        out += text[i];
    }
    return out;
}

}  // namespace

std::optional<std::vector<std::string>> execArguments(std::string_view exec) {
    // The escapes of any string value first, then the quoting of the command line.
    std::string text;
    for (std::size_t i = 0; i < exec.size(); ++i) {
        if (exec[i] != '\\' || i + 1 == exec.size()) {
            text += exec[i];
            continue;
        }
        switch (exec[++i]) {
            case 's':
                text += ' ';
                break;
            case 'n':
                text += '\n';
                break;
            case 't':
                text += '\t';
                break;
            case 'r':
                text += '\r';
                break;
            case '\\':
                text += '\\';
                break;
            default:
                text += '\\', text += exec[i];
        }
    }
    std::vector<std::string> arguments;
    std::string argument;
    bool inArgument = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '"') {
            for (++i;; ++i) {
                if (i == text.size()) return std::nullopt;
                if (text[i] == '"') break;
                if (text[i] == '\\' && i + 1 < text.size()) ++i;
                argument += text[i];
            }
            inArgument = true;
        } else if (c == ' ' || c == '\t' || c == '\n') {
            if (inArgument) arguments.push_back(std::exchange(argument, {}));
            inArgument = false;
        } else {
            argument += c;
            inArgument = true;
        }
    }
    if (inArgument) arguments.push_back(argument);
    // Field codes stand for files, URLs and the entry's own name: none is the program.
    std::vector<std::string> result;
    for (const std::string& each : arguments) {
        if (each.size() == 2 && each[0] == '%' && each[1] != '%') continue;
        std::string kept;
        for (std::size_t i = 0; i < each.size(); ++i) {
            if (each[i] != '%') {
                kept += each[i];
            } else if (i + 1 < each.size() && each[i + 1] == '%') {
                kept += '%';
                ++i;
            } else {
                ++i;
            }
        }
        result.push_back(std::move(kept));
    }
    return result;
}

std::optional<std::string> launchedProgram(std::vector<std::string> arguments) {
    std::size_t i = 0;
    for (int hop = 0; hop < 8 && i < arguments.size(); ++hop) {
        const std::string name = fileNameOf(arguments[i]);
        if (name == "env") {
            // Its options and assignments, then the command.
            for (++i; i < arguments.size(); ++i) {
                const std::string& word = arguments[i];
                if (word == "-u" || word == "--unset" || word == "-C" || word == "--chdir")
                    ++i;
                else if (!word.starts_with('-') &&
                         (word.find('=') == std::string::npos || word.starts_with('/')))
                    break;
            }
            continue;
        }
        if (isShell(name)) {
            // "sh -c COMMAND" starts what COMMAND names; "sh FILE" interprets FILE.
            auto option = std::find_if(arguments.begin() + static_cast<std::ptrdiff_t>(i) + 1,
                                       arguments.end(), [](const std::string& word) {
                                           return word.size() > 1 && word[0] == '-' &&
                                                  word.find('c') != std::string::npos;
                                       });
            if (option == arguments.end() || option + 1 == arguments.end()) return std::nullopt;
            auto words = shellWords(*(option + 1));
            if (!words) return std::nullopt;
            arguments = std::move(*words);
            i = 0;
            continue;
        }
        if (isLauncher(name) || isInterpreter(name) || arguments[i].empty()) return std::nullopt;
        return arguments[i];
    }
    return std::nullopt;
}

std::optional<DesktopEntry> parseDesktopEntry(std::string_view text, std::string_view id) {
    const Entry entry = readEntry(text);
    if (!entry.application || entry.hidden) return std::nullopt;
    auto arguments = execArguments(entry.exec);
    auto program = arguments ? launchedProgram(std::move(*arguments)) : std::nullopt;
    if (!program) return std::nullopt;
    DesktopEntry result;
    result.name = fileNameOf(*program);
    result.programs.push_back(std::move(*program));
    if (!entry.tryExec.empty()) result.programs.push_back(entry.tryExec);
    // A reverse-DNS id is the bus name of the application's own service, activatable or not
    // (GNOME Terminal's entry is not, yet its client asks the bus for org.gnome.Terminal).
    const bool busLike = id.find('.') != std::string_view::npos && id.front() != '.';
    result.busName =
        entry.activatable || (entry.busName.empty() && busLike) ? std::string(id) : entry.busName;
    return result;
}

std::optional<std::string> serviceProgram(std::string_view text, std::string_view busName) {
    bool named = false;
    std::string exec;
    eachIniKey(text, "D-BUS Service", [&](std::string_view key, std::string_view value) {
        if (key == "Name") named = value == busName;
        if (key == "Exec") exec = std::string(value);
        return true;
    });
    if (!named || busName.empty()) return std::nullopt;
    auto arguments = execArguments(exec);
    return arguments ? launchedProgram(std::move(*arguments)) : std::nullopt;
}

std::vector<std::string> unitDesktopIds(std::string_view unit) {
    std::vector<std::string> ids;
    std::string_view name;
    bool scope = false;
    if (unit.ends_with(".scope")) {
        name = unit.substr(0, unit.size() - 6), scope = true;
    } else if (unit.ends_with(".service")) {
        name = unit.substr(0, unit.size() - 8);
        if (const auto at = name.find('@'); at != std::string_view::npos) name = name.substr(0, at);
    } else {
        return ids;
    }
    if (!name.starts_with("app-")) return ids;
    name.remove_prefix(4);
    // A scope always ends in its random part; a service's is after '@', if any.
    if (scope) {
        const auto dash = name.rfind('-');
        if (dash == std::string_view::npos || dash == 0) return ids;
        name = name.substr(0, dash);
    }
    // With or without a launcher's part before the id.
    const auto dash = name.find('-');
    ids.push_back(unescapedUnit(name));
    if (dash != std::string_view::npos && dash + 1 < name.size())
        ids.push_back(unescapedUnit(name.substr(dash + 1)));
    return ids;
}

}  // namespace tallyvane::linux_platform
