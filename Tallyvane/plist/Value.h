#pragma once
// Property-list values as plain C++ values: copied, compared and kept in containers.
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace tallyvane::plist {

struct Value;
using Array = std::vector<Value>;
using Dict = std::map<std::string, Value, std::less<>>;
using Data = std::vector<std::uint8_t>;
struct Date {
    double secondsSince1970 = 0;
    bool operator==(const Date&) const = default;
};

// An integer as a file wrote it that has no signed 64-bit value (beyond the range, or not
// written in decimal): every reader takes it as absent, every rewrite keeps its text.
struct UnreadInteger {
    std::string text;
    bool operator==(const UnreadInteger&) const = default;
};

struct Value {
    // An integer is held as signed 64 bits.
    std::variant<bool, std::int64_t, double, std::string, Date, Data, Array, Dict, UnreadInteger> v;

    Value() : v(false) {}
    Value(bool b) : v(b) {}
    Value(std::int64_t i) : v(i) {}
    Value(int i) : v(static_cast<std::int64_t>(i)) {}
    Value(double d) : v(d) {}
    Value(std::string s) : v(std::move(s)) {}
    Value(const char* s) : v(std::string(s)) {}
    Value(Date d) : v(d) {}
    Value(Data d) : v(std::move(d)) {}
    Value(Array a) : v(std::move(a)) {}
    Value(Dict d) : v(std::move(d)) {}
    Value(UnreadInteger i) : v(std::move(i)) {}

    bool operator==(const Value&) const = default;
};

// The number reading rule: an integer read accepts an integer, or a real whose value is whole
// and within the signed 64-bit range (60.0 reads as 60); anything else is absent.
std::optional<std::int64_t> asInteger(const Value& value);
// A real read accepts any number (integer or real); anything else is absent.
std::optional<double> asReal(const Value& value);
const std::string* asString(const Value& value);
const Dict* asDict(const Value& value);
Dict* asDict(Value& value);

// Look-ups in a dictionary that apply the rules above; absent keys are absent.
std::optional<std::int64_t> integerFor(const Dict& dict, std::string_view key);
std::optional<double> realFor(const Dict& dict, std::string_view key);
const std::string* stringFor(const Dict& dict, std::string_view key);

// A value as text for log lines: strings in double quotes, dictionaries as
// ["key": value, ...], arrays as [value, ...].
std::string describe(const Value& value);
std::string describe(const Dict& dict);

}  // namespace tallyvane::plist
