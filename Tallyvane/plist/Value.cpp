#include "plist/Value.h"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cmath>
#include <memory>
#include <stdexcept>
#include <string>

namespace tallyvane::plist {

// A dictionary entry's size is most of a document's.
static_assert(sizeof(Value) <= 24 && sizeof(Dict::value_type) <= 40);

// Counted by hand rather than by a shared_ptr, whose use count is read without ordering: the copy
// that finds itself the last holder must see every other thread's reads of the entries done.
struct Dict::Block {
    std::atomic<std::size_t> holders{1};
    std::vector<value_type> entries;
};

namespace {

template <typename Entries>
auto lowerBoundIn(Entries& entries, std::string_view key) {
    return std::lower_bound(entries.begin(), entries.end(), key,
                            [](const Dict::value_type& entry, std::string_view k) {
                                return std::string_view(entry.first) < k;
                            });
}

template <typename Entries>
auto findIn(Entries& entries, std::string_view key) {
    const auto it = lowerBoundIn(entries, key);
    return it != entries.end() && it->first == key ? it : entries.end();
}

}  // namespace

Dict::Dict(std::initializer_list<value_type> entries)
    : Dict(fromEntries(std::vector<value_type>(entries))) {}

Dict::Dict(const Dict& other) noexcept : block_(other.block_) {
    if (block_) block_->holders.fetch_add(1, std::memory_order_relaxed);
}

Dict& Dict::operator=(const Dict& other) noexcept {
    if (other.block_) other.block_->holders.fetch_add(1, std::memory_order_relaxed);
    release();
    block_ = other.block_;
    return *this;
}

Dict& Dict::operator=(Dict&& other) noexcept {
    if (this != &other) {
        release();
        block_ = std::exchange(other.block_, nullptr);
    }
    return *this;
}

void Dict::release() noexcept {
    Block* block = std::exchange(block_, nullptr);
    if (block && block->holders.fetch_sub(1, std::memory_order_acq_rel) == 1)
        std::unique_ptr<Block> last(block);  // the last holder frees it
}

const std::vector<Dict::value_type>& Dict::entries() const {
    static const std::vector<value_type> none;
    return block_ ? block_->entries : none;
}

std::vector<Dict::value_type>& Dict::own() {
    if (block_ && block_->holders.load(std::memory_order_acquire) == 1) return block_->entries;
    auto mine = std::make_unique<Block>();
    if (block_) mine->entries = block_->entries;
    release();
    block_ = mine.release();  // from here on counted by hand
    return block_->entries;
}

Dict Dict::fromEntries(std::vector<value_type> entries, bool* duplicates) {
    const auto byKey = [](const value_type& a, const value_type& b) { return a.first < b.first; };
    // Readers mostly meet keys in order, as writers sort them.
    if (!std::is_sorted(entries.begin(), entries.end(), byKey))
        std::stable_sort(entries.begin(), entries.end(), byKey);
    bool any = false;
    if (!entries.empty()) {
        // Of each run of equal keys the last stays, moved to the run's first place.
        auto out = entries.begin();
        for (auto in = std::next(out); in != entries.end(); ++in) {
            if (in->first == out->first) {
                any = true;
                out->second = std::move(in->second);
            } else if (++out != in) {
                *out = std::move(*in);
            }
        }
        entries.erase(std::next(out), entries.end());
    }
    if (duplicates) *duplicates = any;
    Dict made;
    if (!entries.empty()) made.own() = std::move(entries);
    return made;
}

Dict::iterator Dict::find(std::string_view key) {
    return findIn(own(), key);
}

Dict::const_iterator Dict::find(std::string_view key) const {
    return findIn(entries(), key);
}

bool Dict::contains(std::string_view key) const {
    return find(key) != end();
}

Value& Dict::at(std::string_view key) {
    auto& entries = own();
    const auto it = findIn(entries, key);
    if (it == entries.end()) throw std::out_of_range("no such key in the dictionary");
    return it->second;
}

const Value& Dict::at(std::string_view key) const {
    const auto it = find(key);
    if (it == end()) throw std::out_of_range("no such key in the dictionary");
    return it->second;
}

Value& Dict::operator[](std::string_view key) {
    auto& entries = own();
    const auto it = lowerBoundIn(entries, key);
    if (it != entries.end() && it->first == key) return it->second;
    return entries.emplace(it, Text(key), Value())->second;
}

std::pair<Dict::iterator, bool> Dict::emplace(Text key, Value value) {
    auto& entries = own();
    const auto it = lowerBoundIn(entries, key);
    if (it != entries.end() && it->first == key) return {it, false};
    return {entries.emplace(it, std::move(key), std::move(value)), true};
}

std::pair<Dict::iterator, bool> Dict::insert_or_assign(Text key, Value value) {
    auto& entries = own();
    const auto it = lowerBoundIn(entries, key);
    if (it != entries.end() && it->first == key) {
        it->second = std::move(value);
        return {it, false};
    }
    return {entries.emplace(it, std::move(key), std::move(value)), true};
}

Dict::iterator Dict::erase(const_iterator at) {
    // The place is counted in the entries it came from, which a shared block is about to leave.
    const auto index = at - entries().begin();
    auto& entries = own();
    return entries.erase(entries.begin() + index);
}

std::size_t Dict::erase(std::string_view key) {
    if (!contains(key)) return 0;
    auto& entries = own();
    entries.erase(findIn(entries, key));
    return 1;
}

bool Dict::operator==(const Dict& other) const {
    return block_ == other.block_ || entries() == other.entries();
}

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

void quoted(std::string& out, std::string_view s) {
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
        void operator()(const Text& s) const { quoted(out, s); }
        void operator()(const Date& d) const {
            out += "date(" + realText(d.secondsSince1970) + ")";
        }
        void operator()(const Boxed<Data>& d) const {
            out += "<" + std::to_string(d->size()) + " bytes>";
        }
        void operator()(const Boxed<Array>& boxed) const {
            const Array& a = *boxed;
            out += '[';
            for (std::size_t i = 0; i < a.size(); ++i) {
                if (i) out += ", ";
                describeInto(out, a[i]);
            }
            out += ']';
        }
        void operator()(const Dict& d) const { describeDictInto(out, d); }
        void operator()(const UnreadInteger& i) const { out += std::string_view(i.text); }
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

const Text* asString(const Value& value) {
    return std::get_if<Text>(&value.v);
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

const Text* stringFor(const Dict& dict, std::string_view key) {
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
