// tallyvanectl export: the local figures, one row per record, as CSV or JSON.
#include <cstdio>
#include <iostream>
#include <sstream>
#include <string_view>

#include "Commands.h"

namespace tallyvane::ctl {
namespace {

constexpr const char* kColumns[] = {"FileName",        "PRODUCT_NAME",      "PRODUCT_VERSION",
                                    "TOTAL_RUN_COUNT", "TOTAL_RUN_TIME",    "LAUNCH_TIME",
                                    "LAST_USED",       "RUNNING_NO_OF_DAYS"};

std::string csvField(std::string_view s) {
    if (s.find_first_of(",\"\r\n") == std::string_view::npos) return std::string(s);
    std::string quoted = "\"";
    for (char ch : s) quoted += ch == '"' ? std::string("\"\"") : std::string(1, ch);
    return quoted + "\"";
}

std::string jsonString(std::string_view s) {
    std::string out = "\"";
    for (unsigned char ch : s) {
        if (ch == '"' || ch == '\\') {
            out += '\\';
            out += static_cast<char>(ch);
        } else if (ch < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", ch);
            out += escaped;
        } else {
            out += static_cast<char>(ch);
        }
    }
    return out + "\"";
}

std::string jsonValue(const plist::Dict& record, const char* key) {
    const auto found = record.find(key);
    if (found == record.end()) return "null";
    if (const auto* s = plist::asString(found->second)) return jsonString(*s);
    if (const auto i = plist::asInteger(found->second)) return std::to_string(*i);
    if (const auto r = plist::asReal(found->second)) {
        std::ostringstream out;
        out.precision(17);
        out << *r;
        return out.str();
    }
    return "null";
}

}  // namespace

int exportFigures(const Context& c, bool json) {
    const plist::Dict all = records(c);
    if (json)
        std::cout << "[";
    else {
        std::cout << "AppDefinitionId";
        for (const char* column : kColumns) std::cout << "," << column;
        std::cout << "\n";
    }
    bool first = true;
    for (const auto& [id, value] : all) {
        const plist::Dict* record = plist::asDict(value);
        if (!record) continue;
        if (json) {
            std::cout << (first ? "\n" : ",\n") << "  {\"AppDefinitionId\": " << jsonString(id);
            for (const char* column : kColumns)
                std::cout << ", " << jsonString(column) << ": " << jsonValue(*record, column);
            std::cout << "}";
        } else {
            std::cout << csvField(id);
            for (const char* column : kColumns) std::cout << "," << csvField(text(*record, column));
            std::cout << "\n";
        }
        first = false;
    }
    if (json) std::cout << (first ? "]\n" : "\n]\n");
    return 0;
}

}  // namespace tallyvane::ctl
