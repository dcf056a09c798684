#include "usage/UsageRecord.h"

#include "base/Unicode.h"
#include "usage/AppName.h"

namespace tallyvane {
namespace {

// 2^63 as a double, the first value past the signed 64-bit range.
constexpr double kTwo63 = 9223372036854775808.0;

}  // namespace

std::optional<double> detail::exactReal(const plist::Dict& fields, std::string_view key) {
    const auto it = fields.find(key);
    if (it == fields.end()) return std::nullopt;
    if (const auto* d = std::get_if<double>(&it->second.v)) return *d;
    if (const auto* i = std::get_if<std::int64_t>(&it->second.v)) {
        const auto d = static_cast<double>(*i);
        if (d < kTwo63 && static_cast<std::int64_t>(d) == *i) return d;
    }
    return std::nullopt;
}

void UsageRecord::set(std::string_view key, plist::Value value) {
    fields_.insert_or_assign(std::string(key), std::move(value));
}

void UsageRecord::clearUsage() {
    for (std::string_view key : kUsageKeys) erase(key);
}

void UsageRecord::erase(std::string_view key) {
    if (auto it = fields_.find(key); it != fields_.end()) fields_.erase(it);
}

std::optional<std::string> detail::tableName(const plist::Dict& fields) {
    if (const plist::Text* productName = plist::stringFor(fields, key::kProductName))
        return canonicalName(*productName);
    if (const plist::Text* file = plist::stringFor(fields, key::kFileName))
        return applicationName(*file);
    return std::nullopt;
}

std::string renderList(const std::vector<std::string>& names) {
    std::string text = "[";
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i) text += ", ";
        text += '"' + names[i] + '"';
    }
    text += ']';
    return text;
}

// The records are rendered one by one, not copied into one dictionary first.
std::string renderTable(const UsageRecords& table) {
    if (table.empty()) return "[:]";
    std::string text = "[";
    for (const auto& [name, record] : table) {
        if (text.size() > 1) text += ", ";
        text += '"' + name + "\": " + record.describe();
    }
    // Closed in place: text + "]" would copy the whole table's text once more.
    text += ']';
    return text;
}

}  // namespace tallyvane
