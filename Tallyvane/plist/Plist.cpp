#include "plist/Plist.h"

#include "plist/XmlReader.h"
#include "plist/XmlWriter.h"

#include <plist/plist.h>

#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

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

// What a conversion learns on its way, and the integers' texts when the input is XML.
struct Conversion {
    std::string error;
    const std::vector<std::string_view>* texts = nullptr;  // in document order
    std::size_t next = 0;
    bool lost = false;  // more integers than texts: the texts are not to be trusted
};

// An integer element's text as the program reads it: decimal, leading zeros and all; anything
// outside the signed 64-bit range, or not decimal, is kept as text that no reader takes.
Value integerOf(std::string_view text) {
    constexpr std::string_view kBlank = " \t\r\n";
    const auto first = text.find_first_not_of(kBlank);
    text = first == std::string_view::npos ? std::string_view() : text.substr(first);
    text = text.substr(0, text.find_last_not_of(kBlank) + 1);
    // An optional sign, then decimal digits only.
    const bool negative = !text.empty() && text.front() == '-';
    const std::string_view magnitude =
        text.substr(!text.empty() && (negative || text.front() == '+'));
    std::int64_t value = 0;
    if (!magnitude.empty() && magnitude.find_first_not_of("0123456789") == std::string_view::npos) {
        const std::string_view number = negative ? text : magnitude;
        const auto [end, ec] = std::from_chars(number.data(), number.data() + number.size(), value);
        if (ec == std::errc() && end == number.data() + number.size()) return Value(value);
    }
    return Value(UnreadInteger{std::string(text)});
}

// Whether libplist holds the integer node as unsigned (a value past 2^63 - 1) rather than as a
// negative number: only its own XML text tells.
bool isUnsigned(plist_t node) {
    char* xml = nullptr;
    std::uint32_t length = 0;
    plist_to_xml(node, &xml, &length);
    CString text(xml);
    return text &&
           std::string_view(text.get(), length).find("<integer>-") == std::string_view::npos;
}

// The texts of the integer elements of an XML document, in order; nothing where comments or
// CDATA sections could hide an element from a plain scan.
std::optional<std::vector<std::string_view>> integerTexts(std::string_view xml) {
    if (xml.find("<!--") != std::string_view::npos ||
        xml.find("<![CDATA[") != std::string_view::npos)
        return std::nullopt;
    std::vector<std::string_view> texts;
    for (std::size_t at = xml.find("<integer"); at != std::string_view::npos;
         at = xml.find("<integer", at + 1)) {
        const std::size_t close = xml.find('>', at);
        if (close == std::string_view::npos) return std::nullopt;
        const std::string_view tag = xml.substr(at, close - at + 1);
        if (tag == "<integer/>") {
            texts.emplace_back();
        } else if (tag == "<integer>") {
            const std::size_t end = xml.find("</integer>", close);
            if (end == std::string_view::npos) return std::nullopt;
            texts.push_back(xml.substr(close + 1, end - close - 1));
        }
    }
    return texts;
}

std::optional<Value> fromNode(plist_t node, int depth, Conversion& c) {
    if (depth > kMaxDepth) {
        c.error = "The property list is nested too deeply.";
        return std::nullopt;
    }
    switch (plist_get_node_type(node)) {
        case PLIST_BOOLEAN: {
            std::uint8_t b = 0;
            plist_get_bool_val(node, &b);
            return Value(b != 0);
        }
        case PLIST_UINT: {
            // libplist reads "0100" as octal and cannot tell 2^64 - 1 from -1: the text decides.
            if (c.texts && c.next < c.texts->size()) return integerOf((*c.texts)[c.next++]);
            if (c.texts) c.lost = true;
            std::uint64_t u = 0;
            plist_get_uint_val(node, &u);
            // Negative integers are stored as their 64-bit two's complement.
            const auto i = static_cast<std::int64_t>(u);
            if (i < 0 && isUnsigned(node)) return Value(UnreadInteger{std::to_string(u)});
            return Value(i);
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
                c.error = "The property list holds a string with a NUL character.";
                return std::nullopt;
            }
            return Value(std::string_view(s, length));
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
                    c.error = "The property list holds an unreadable array entry.";
                    return std::nullopt;
                }
                auto value = fromNode(item, depth + 1, c);
                if (!value) return std::nullopt;
                array.push_back(std::move(*value));
            }
            return Value(std::move(array));
        }
        case PLIST_DICT: {
            std::vector<Dict::value_type> entries;
            entries.reserve(plist_dict_get_size(node));
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
                    c.error = "The property list holds a dictionary entry without a key.";
                    return std::nullopt;
                }
                auto value = fromNode(item, depth + 1, c);
                if (!value) return std::nullopt;
                entries.emplace_back(Text(key.get()), std::move(*value));
            }
            // Sorted once, rather than each key put in its place.
            return Value(Dict::fromEntries(std::move(entries)));
        }
        default:
            c.error = "The property list holds a value of an unsupported type.";
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
    if (bytes.size() <= kMaxBytes && bytes.substr(0, 8) != "bplist00")
        if (auto value = readPlainXml(bytes)) return std::move(*value);
    return parseWithLibplist(bytes);
}

Result<Value> parseWithLibplist(std::string_view bytes) {
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
    const auto texts = bytes.substr(0, 8) == "bplist00" ? std::nullopt : integerTexts(bytes);
    Conversion c;
    c.texts = texts ? &*texts : nullptr;
    auto value = fromNode(root.get(), 0, c);
    if (value && c.texts && (c.lost || c.next != c.texts->size())) {
        // The scan and libplist saw other integers: libplist's values it is.
        c = Conversion{};
        value = fromNode(root.get(), 0, c);
    }
    if (!value) return Status::error(std::move(c.error));
    return std::move(*value);
}

Result<std::string> toXml(const Value& value) {
    auto xml = writeXml(value);
    if (!xml) return Status::error("The property list could not be serialized as XML.");
    return std::move(*xml);
}

}  // namespace tallyvane::plist
