#include "usage/AppName.h"

#include "base/Unicode.h"

namespace tallyvane {

std::string applicationName(std::string_view fileName) {
    constexpr std::string_view suffix = ".app";
    std::string name;
    name.reserve(fileName.size());
    std::size_t from = 0;
    for (std::size_t at = fileName.find(suffix); at != std::string_view::npos;
         at = fileName.find(suffix, from)) {
        name.append(fileName.substr(from, at - from));
        from = at + suffix.size();
    }
    name.append(fileName.substr(from));
    return canonicalName(name);
}

}  // namespace tallyvane
