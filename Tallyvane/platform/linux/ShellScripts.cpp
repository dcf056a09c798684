// What a shell command line or a launcher script starts: the words of a command, the programs a
// script execs. Pure: text in, values out.
#include "platform/linux/ShellScripts.h"

#include <cctype>
#include <climits>
#include <map>
#include <utility>

#include "platform/linux/TextLines.h"

namespace tallyvane::linux_platform {

std::optional<std::vector<std::string>> shellWords(std::string_view command) {
    std::vector<std::string> words;
    std::string word;
    bool inWord = false;
    for (std::size_t i = 0; i < command.size(); ++i) {
        const char c = command[i];
        if (c == '\'' || c == '"') {
            const auto close = command.find(c, i + 1);
            if (close == std::string_view::npos) return std::nullopt;
            for (std::size_t j = i + 1; j < close; ++j) {
                if (c == '"' && command[j] == '\\' && j + 1 < close) ++j;
                word += command[j];
            }
            i = close;
            inWord = true;
        } else if (c == '\\' && i + 1 < command.size()) {
            word += command[++i];
            inWord = true;
        } else if (c == ' ' || c == '\t' || c == '\n' || c == ';' || c == '&' || c == '|' ||
                   c == '(' || c == ')' || c == '<' || c == '>') {
            if (inWord) words.push_back(std::exchange(word, {}));
            inWord = false;
            if (c != ' ' && c != '\t') break;
        } else {
            word += c;
            inWord = true;
        }
    }
    if (inWord) words.push_back(word);
    // Assignments before the command, and the shell's own words for running it.
    std::size_t first = 0;
    while (first < words.size() && (words[first] == "exec" || words[first] == "command" ||
                                    (words[first].find('=') != std::string::npos &&
                                     words[first].front() != '/' && words[first].front() != '=')))
        ++first;
    words.erase(words.begin(), words.begin() + static_cast<std::ptrdiff_t>(first));
    return words;
}

namespace {

using Variables = std::map<std::string, std::string, std::less<>>;

bool isNameCharacter(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_';
}

// The name a line sets at position at ("NAME=..."), if it is one.
std::string_view assignedAt(std::string_view line, std::size_t at) {
    std::size_t end = at;
    while (end < line.size() && isNameCharacter(line[end])) ++end;
    if (end == at || end == line.size() || line[end] != '=' ||
        std::isdigit(static_cast<unsigned char>(line[at])) != 0)
        return {};
    return line.substr(at, end - at);
}

// How often each name is set anywhere in the script: one set twice, in a branch or a loop, holds
// no one value a reader can know.
std::map<std::string, int, std::less<>> assignments(std::string_view text) {
    std::map<std::string, int, std::less<>> count;
    eachLine(text, [&](std::string_view line) {
        for (std::size_t at = 0; at < line.size(); ++at)
            if (at == 0 || std::string_view(" \t;&|(").find(line[at - 1]) != std::string_view::npos)
                if (const auto name = assignedAt(line, at); !name.empty())
                    ++count[std::string(name)];
        return true;
    });
    return count;
}

// Longer than any path: names that double each other line by line would outgrow memory.
constexpr std::size_t kMostExpanded = PATH_MAX;

// word with $NAME and ${NAME} replaced; nothing when it uses a name not known or any other
// expansion, or grows past kMostExpanded.
std::optional<std::string> expanded(std::string_view word, const Variables& known) {
    if (word.find('`') != std::string_view::npos) return std::nullopt;
    std::string out;
    for (std::size_t i = 0; i < word.size(); ++i) {
        if (word[i] != '$') {
            out += word[i];
            continue;
        }
        const bool braced = i + 1 < word.size() && word[i + 1] == '{';
        const std::size_t start = i + (braced ? 2 : 1);
        std::size_t end = start;
        while (end < word.size() && isNameCharacter(word[end])) ++end;
        if (end == start || (braced && (end == word.size() || word[end] != '}')))
            return std::nullopt;
        const auto value = known.find(word.substr(start, end - start));
        if (value == known.end()) return std::nullopt;
        if (out.size() + value->second.size() > kMostExpanded) return std::nullopt;
        out += value->second;
        i = braced ? end : end - 1;
    }
    return out;
}

}  // namespace

std::vector<std::string> scriptExecs(std::string_view text) {
    std::vector<std::string> programs;
    if (!text.starts_with("#!")) return programs;
    // A launcher builds its program's path from names it sets once, at the top.
    const auto count = assignments(text);
    Variables known;
    eachLine(text, [&](std::string_view line) {
        const auto name = assignedAt(line, 0);
        if (const auto set = count.find(name);
            !name.empty() && set != count.end() && set->second == 1) {
            const auto words = shellWords(line.substr(name.size() + 1));
            if (words && words->size() == 1)
                if (auto value = expanded(words->front(), known))
                    known.emplace(name, std::move(*value));
        }
        for (std::size_t at = line.find("exec "); at != std::string_view::npos;
             at = line.find("exec ", at + 5)) {
            // A command of its own: first on the line, or after an operator.
            std::size_t before = at;
            while (before > 0 && (line[before - 1] == ' ' || line[before - 1] == '\t')) --before;
            if (before > 0 &&
                std::string_view(";&|(").find(line[before - 1]) == std::string_view::npos)
                continue;
            auto words = shellWords(line.substr(at));
            if (!words || words->empty()) continue;
            const auto program = expanded(words->front(), known);
            if (program && program->starts_with('/') && programs.size() < 8)
                programs.push_back(*program);
        }
        return true;
    });
    return programs;
}

}  // namespace tallyvane::linux_platform
