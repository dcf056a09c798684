#pragma once
// Property-list values as plain C++ values: copied, compared and kept in containers.
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "plist/Text.h"

namespace tallyvane::plist {

struct Value;
using Array = std::vector<Value>;

// A dictionary: its entries in key order in one block. A record of ten keys costs ten entries,
// not ten tree nodes of twice their size, and a document of 10,000 records is read into it in one
// pass. Adding a key in the middle moves the entries after it; changing a value moves nothing.
// Copies share the block until one of them is changed, which then takes a block of its own: the
// usage table and the document it was loaded from hold each record once. Any non-const member
// may therefore move the entries: iterators and references from a non-const member are valid
// only until the dictionary is next copied or changed. Copies may be used on different threads.
class Dict {
  public:
    using value_type = std::pair<Text, Value>;
    using iterator = std::vector<value_type>::iterator;
    using const_iterator = std::vector<value_type>::const_iterator;

    Dict() noexcept = default;
    Dict(std::initializer_list<value_type> entries);
    Dict(const Dict& other) noexcept;
    Dict(Dict&& other) noexcept : block_(std::exchange(other.block_, nullptr)) {}
    Dict& operator=(const Dict& other) noexcept;
    Dict& operator=(Dict&& other) noexcept;
    ~Dict() { release(); }
    // The entries in any order; of equal keys the last is kept, and duplicates (when given) is
    // set when there were any.
    static Dict fromEntries(std::vector<value_type> entries, bool* duplicates = nullptr);

    iterator begin() { return own().begin(); }
    iterator end() { return own().end(); }
    const_iterator begin() const { return entries().begin(); }
    const_iterator end() const { return entries().end(); }
    std::size_t size() const;
    bool empty() const;
    void clear() { release(); }

    iterator find(std::string_view key);
    const_iterator find(std::string_view key) const;
    std::size_t count(std::string_view key) const { return contains(key) ? 1 : 0; }
    bool contains(std::string_view key) const;
    // Throws std::out_of_range for an absent key.
    Value& at(std::string_view key);
    const Value& at(std::string_view key) const;
    Value& operator[](std::string_view key);

    // Adds the entry unless its key is there already.
    std::pair<iterator, bool> emplace(Text key, Value value);
    std::pair<iterator, bool> insert_or_assign(Text key, Value value);
    std::size_t erase(std::string_view key);
    iterator erase(const_iterator at);

    bool operator==(const Dict& other) const;

  private:
    struct Block;
    const std::vector<value_type>& entries() const;
    // The entries, in a block that no other copy shares (made when there was none).
    std::vector<value_type>& own();
    void release() noexcept;
    Block* block_ = nullptr;  // owned with the other copies that share it; none when empty
};
using Data = std::vector<std::uint8_t>;
struct Date {
    double secondsSince1970 = 0;
    bool operator==(const Date&) const = default;
};

// A value kept on the heap: arrays and data are rare in these files, and boxed they cost every
// other value 8 bytes instead of a vector's 24. Copies copy what is held.
template <typename T>
class Boxed {
  public:
    Boxed(T value) : held_(std::make_unique<T>(std::move(value))) {}
    Boxed(const Boxed& other) : held_(std::make_unique<T>(*other)) {}
    Boxed(Boxed&&) noexcept = default;
    Boxed& operator=(const Boxed& other) {
        if (this != &other) held_ = std::make_unique<T>(*other);
        return *this;
    }
    Boxed& operator=(Boxed&&) noexcept = default;
    // A box moved from holds an empty value.
    const T& operator*() const { return held_ ? *held_ : empty(); }
    const T* operator->() const { return &**this; }
    bool operator==(const Boxed& other) const { return **this == *other; }

  private:
    static const T& empty() {
        static const T none;
        return none;
    }
    std::unique_ptr<T> held_;
};

// An integer as a file wrote it that has no signed 64-bit value (beyond the range, or not
// written in decimal): every reader takes it as absent, every rewrite keeps its text.
struct UnreadInteger {
    Text text;
    bool operator==(const UnreadInteger&) const = default;
};

struct Value {
    // An integer is held as signed 64 bits.
    std::variant<bool, std::int64_t, double, Text, Date, Boxed<Data>, Boxed<Array>, Dict,
                 UnreadInteger>
        v;

    Value() : v(false) {}
    Value(bool b) : v(b) {}
    Value(std::int64_t i) : v(i) {}
    Value(int i) : v(static_cast<std::int64_t>(i)) {}
    Value(double d) : v(d) {}
    Value(Text s) : v(std::move(s)) {}
    Value(std::string_view s) : v(Text(s)) {}
    Value(const std::string& s) : v(Text(s)) {}
    Value(const char* s) : v(Text(s)) {}
    Value(Date d) : v(d) {}
    Value(Data d) : v(Boxed<Data>(std::move(d))) {}
    Value(Array a) : v(Boxed<Array>(std::move(a))) {}
    Value(Dict d) : v(std::move(d)) {}
    Value(UnreadInteger i) : v(std::move(i)) {}

    bool operator==(const Value&) const = default;
};

// Defined here, where the entries' type is complete.
inline std::size_t Dict::size() const {
    return entries().size();
}
inline bool Dict::empty() const {
    return entries().empty();
}

// The number reading rule: an integer read accepts an integer, or a real whose value is whole
// and within the signed 64-bit range (60.0 reads as 60); anything else is absent.
std::optional<std::int64_t> asInteger(const Value& value);
// A real read accepts any number (integer or real); anything else is absent.
std::optional<double> asReal(const Value& value);
const Text* asString(const Value& value);
const Dict* asDict(const Value& value);
Dict* asDict(Value& value);

// Look-ups in a dictionary that apply the rules above; absent keys are absent.
std::optional<std::int64_t> integerFor(const Dict& dict, std::string_view key);
std::optional<double> realFor(const Dict& dict, std::string_view key);
const Text* stringFor(const Dict& dict, std::string_view key);

// A value as text for log lines: strings in double quotes, dictionaries as
// ["key": value, ...], arrays as [value, ...].
std::string describe(const Value& value);
std::string describe(const Dict& dict);

}  // namespace tallyvane::plist
