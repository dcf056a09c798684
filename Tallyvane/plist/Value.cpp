#include "plist/Value.h"

#include <charconv>
#include <cmath>
#include <string>

namespace tallyvane::plist {

namespace {

// Shortest text that reads back as the same double ("60", "2.5", "0.1").
std::string realText(double d) {
    if (std::isnan(d)) return "nan";
    if (std::isinf(d)) return d < 0 ? "-inf" : "inf";
    char buf[64];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, d);
    if (ec != std::errc()) return std::to_string(d);
    return std::string(buf, end);
}

void quoted(std::string& out, const std::string& s) {
    out += '"';
    out += s;
    out += '"';
}

void describeInto(std::string& out, const Value& value);

void describeDictInto(std::string& out, const Dict& dict) {
    if (dict.empty()) {
        out += "[:]";
        return;
    }
    out += '[';
    bool first = true;
    for (const auto& [key, item] : dict) {
        if (!first) out += ", ";
        first = false;
        quoted(out, key);
        out += ": ";
        describeInto(out, item);
    }
    out += ']';
}

// Values nest, but only as deep as the parser allowed (see PlistFile.cpp), so recursion is bounded.
void describeInto(std::string& out, const Value& value) {
    struct Visitor {
        std::string& out;
        void operator()(bool b) const { out += b ? "true" : "false"; }
        void operator()(std::int64_t i) const { out += std::to_string(i); }
        void operator()(double d) const { out += realText(d); }
        void operator()(const std::string& s) const { quoted(out, s); }
        void operator()(const Date& d) const {
            out += "date(" + realText(d.secondsSince1970) + ")";
        }
        void operator()(const Data& d) const { out += "<" + std::to_string(d.size()) + " bytes>"; }
        void operator()(const Array& a) const {
            out += '[';
            for (std::size_t i = 0; i < a.size(); ++i) {
                if (i) out += ", ";
                describeInto(out, a[i]);
            }
            out += ']';
        }
        void operator()(const Dict& d) const { describeDictInto(out, d); }
        void operator()(const UnreadInteger& i) const { out += i.text; }
    };
    std::visit(Visitor{out}, value.v);
}

}  // namespace

std::optional<std::int64_t> asInteger(const Value& value) {
    if (const auto* i = std::get_if<std::int64_t>(&value.v)) return *i;
    if (const auto* d = std::get_if<double>(&value.v)) {
        // -2^63 is exact as a double; 2^63 is the first value out of range.
        constexpr double lo = -9223372036854775808.0;
        constexpr double hi = 9223372036854775808.0;
        if (std::isfinite(*d) && *d >= lo && *d < hi && std::trunc(*d) == *d) {
            return static_cast<std::int64_t>(*d);
        }
    }
    return std::nullopt;
}

std::optional<double> asReal(const Value& value) {
    if (const auto* d = std::get_if<double>(&value.v)) return *d;
    if (const auto* i = std::get_if<std::int64_t>(&value.v)) return static_cast<double>(*i);
    return std::nullopt;
}

const std::string* asString(const Value& value) {
    return std::get_if<std::string>(&value.v);
}
const Dict* asDict(const Value& value) {
    return std::get_if<Dict>(&value.v);
}
Dict* asDict(Value& value) {
    return std::get_if<Dict>(&value.v);
}

std::optional<std::int64_t> integerFor(const Dict& dict, std::string_view key) {
    auto it = dict.find(key);
    if (it == dict.end()) return std::nullopt;
    return asInteger(it->second);
}

std::optional<double> realFor(const Dict& dict, std::string_view key) {
    auto it = dict.find(key);
    if (it == dict.end()) return std::nullopt;
    return asReal(it->second);
}

const std::string* stringFor(const Dict& dict, std::string_view key) {
    auto it = dict.find(key);
    if (it == dict.end()) return nullptr;
    return asString(it->second);
}

std::string describe(const Value& value) {
    std::string out;
    describeInto(out, value);
    return out;
}

std::string describe(const Dict& dict) {
    std::string out;
    describeDictInto(out, dict);
    return out;
}

}  // namespace tallyvane::plist
