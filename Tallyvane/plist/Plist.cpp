#include "plist/Plist.h"

#include "plist/XmlWriter.h"

#include <plist/plist.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>

namespace tallyvane::plist {

namespace {

// Files the agent writes are a few kilobytes; anything this large is not ours.
constexpr std::size_t kMaxBytes = 64u << 20;
// Deeper nesting than this is hostile: refuse it before recursion can exhaust the stack.
constexpr int kMaxDepth = 256;
// libplist counts dates from 2001-01-01 00:00:00 UTC.
constexpr double kSeconds1970To2001 = 978307200.0;

struct PlistDeleter {
    void operator()(plist_t node) const { plist_free(node); }
};
using Node = std::unique_ptr<void, PlistDeleter>;

struct MallocDeleter {
    void operator()(char* p) const { std::free(p); }
};
using CString = std::unique_ptr<char, MallocDeleter>;

std::optional<Value> fromNode(plist_t node, int depth, std::string& error) {
    if (depth > kMaxDepth) {
        error = "The property list is nested too deeply.";
        return std::nullopt;
    }
    switch (plist_get_node_type(node)) {
        case PLIST_BOOLEAN: {
            std::uint8_t b = 0;
            plist_get_bool_val(node, &b);
            return Value(b != 0);
        }
        case PLIST_UINT: {
            std::uint64_t u = 0;
            plist_get_uint_val(node, &u);
            // Negative integers are stored as their 64-bit two's complement.
            return Value(static_cast<std::int64_t>(u));
        }
        case PLIST_REAL: {
            double d = 0;
            plist_get_real_val(node, &d);
            return Value(d);
        }
        case PLIST_STRING: {
            // plist_get_string_val asserts (aborts) on a string holding a NUL; read the buffer.
            std::uint64_t length = 0;
            const char* s = plist_get_string_ptr(node, &length);
            if (!s || std::strlen(s) != length) {
                error = "The property list holds a string with a NUL character.";
                return std::nullopt;
            }
            return Value(std::string(s, length));
        }
        case PLIST_DATE: {
            std::int32_t sec = 0, usec = 0;
            plist_get_date_val(node, &sec, &usec);
            return Value(Date{static_cast<double>(sec) + kSeconds1970To2001 + usec / 1e6});
        }
        case PLIST_DATA: {
            char* raw = nullptr;
            std::uint64_t length = 0;
            plist_get_data_val(node, &raw, &length);
            CString bytes(raw);
            Data data;
            if (bytes && length) {
                data.assign(reinterpret_cast<const std::uint8_t*>(bytes.get()),
                            reinterpret_cast<const std::uint8_t*>(bytes.get()) + length);
            }
            return Value(std::move(data));
        }
        case PLIST_ARRAY: {
            Array array;
            std::uint32_t n = plist_array_get_size(node);
            array.reserve(n);
            for (std::uint32_t i = 0; i < n; ++i) {
                plist_t item = plist_array_get_item(node, i);
                if (!item) {
                    error = "The property list holds an unreadable array entry.";
                    return std::nullopt;
                }
                auto value = fromNode(item, depth + 1, error);
                if (!value) return std::nullopt;
                array.push_back(std::move(*value));
            }
            return Value(std::move(array));
        }
        case PLIST_DICT: {
            Dict dict;
            plist_dict_iter iter = nullptr;
            plist_dict_new_iter(node, &iter);
            std::unique_ptr<void, decltype(&std::free)> iterGuard(iter, &std::free);
            for (;;) {
                char* rawKey = nullptr;
                plist_t item = nullptr;
                plist_dict_next_item(node, iter, &rawKey, &item);
                CString key(rawKey);
                if (!item) break;
                if (!key) {
                    error = "The property list holds a dictionary entry without a key.";
                    return std::nullopt;
                }
                auto value = fromNode(item, depth + 1, error);
                if (!value) return std::nullopt;
                dict.insert_or_assign(std::string(key.get()), std::move(*value));
            }
            return Value(std::move(dict));
        }
        default:
            error = "The property list holds a value of an unsupported type.";
            return std::nullopt;
    }
}

std::uint64_t bigEndian(const unsigned char* p, std::size_t size) {
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < size; ++i) v = (v << 8) | p[i];
    return v;
}

// libplist 2.2 aborts on an assertion when it hands out a dictionary key holding a NUL, and a
// binary property list can carry one. Refuse such input before libplist builds the tree: walk
// the object offsets and look inside every string object. Anything we cannot follow is refused
// too; libplist would not accept it either.
bool binaryStringsAreClean(std::string_view bytes) {
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
    const std::size_t size = bytes.size();
    constexpr std::size_t kHeader = 8, kTrailer = 32;
    if (size < kHeader + kTrailer) return false;
    const unsigned char* trailer = data + size - kTrailer;
    const std::size_t offsetSize = trailer[6];
    const std::uint64_t count = bigEndian(trailer + 8, 8);
    const std::uint64_t tableAt = bigEndian(trailer + 24, 8);
    const std::size_t end = size - kTrailer;
    if (offsetSize < 1 || offsetSize > 8 || tableAt < kHeader || tableAt > end) return false;
    if (count > (end - tableAt) / offsetSize) return false;
    for (std::uint64_t i = 0; i < count; ++i) {
        std::uint64_t at = bigEndian(data + tableAt + i * offsetSize, offsetSize);
        if (at < kHeader || at >= end) return false;
        const unsigned type = data[at] >> 4;
        if (type != 0x5 && type != 0x6) continue;  // ASCII and UTF-16 strings
        std::uint64_t length = data[at] & 0x0F;
        std::uint64_t start = at + 1;
        if (length == 0x0F) {
            if (start >= end || (data[start] >> 4) != 0x1) return false;
            const std::size_t intSize = std::size_t{1} << (data[start] & 0x0F);
            if (intSize > 8 || start + 1 + intSize > end) return false;
            length = bigEndian(data + start + 1, intSize);
            start += 1 + intSize;
        }
        const std::uint64_t unit = type == 0x5 ? 1 : 2;
        if (length > (end - start) / unit) return false;
        for (std::uint64_t c = 0; c < length; ++c) {
            const unsigned char* u = data + start + c * unit;
            if (u[0] == 0 && (unit == 1 || u[1] == 0)) return false;
        }
    }
    return true;
}

}  // namespace

Result<Value> parse(std::string_view bytes) {
    if (bytes.empty()) {
        return Status::error("The data is empty and is not a property list.");
    }
    if (bytes.size() > kMaxBytes || bytes.size() > std::numeric_limits<std::uint32_t>::max()) {
        return Status::error("The data is too large to be a property list of ours.");
    }
    if (bytes.substr(0, 8) == "bplist00" && !binaryStringsAreClean(bytes)) {
        return Status::error("The data couldn't be read because it isn't in the correct format.");
    }
    plist_t raw = nullptr;
    plist_from_memory(bytes.data(), static_cast<std::uint32_t>(bytes.size()), &raw);
    Node root(raw);
    if (!root) {
        return Status::error("The data couldn't be read because it isn't in the correct format.");
    }
    std::string error;
    auto value = fromNode(root.get(), 0, error);
    if (!value) return Status::error(std::move(error));
    return std::move(*value);
}

Result<std::string> toXml(const Value& value) {
    auto xml = writeXml(value);
    if (!xml) return Status::error("The property list could not be serialized as XML.");
    return std::move(*xml);
}

}  // namespace tallyvane::plist
