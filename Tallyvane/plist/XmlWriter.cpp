#include "plist/XmlWriter.h"

#include "base/Utf8.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <ctime>
#include <limits>

namespace tallyvane::plist {
namespace {

// Deeper nesting than any file of ours holds; refusing it keeps the recursion bounded.
constexpr int kMaxDepth = 256;

// What the piecewise writer gathers before it hands the text on.
constexpr std::size_t kPieceBytes = 64u << 10;

constexpr std::string_view kHead =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
    "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
    "<plist version=\"1.0\">\n";

class Writer {
  public:
    Writer(std::string& out, const std::function<void(std::string_view)>* put)
        : out_(out), put_(put) {}
    bool exact = true;

    bool value(const Value& v, int depth) {
        if (depth > kMaxDepth) return false;
        return std::visit([&](const auto& x) { return write(x, depth); }, v.v);
    }

  private:
    // Hands on what has gathered, when there is a taker and enough of it.
    void spill() {
        if (put_ == nullptr || out_.size() < kPieceBytes) return;
        (*put_)(out_);
        out_.clear();
    }

    void indent(int depth) { out_.append(static_cast<std::size_t>(depth), '\t'); }

    // Text as XML 1.0 can carry it: &, < and > escaped, and what XML has no place for (control
    // characters but tab, line feed and carriage return; U+FFFE and U+FFFF; bytes that are not
    // UTF-8) replaced by U+FFFD, so that a strict reader takes the whole document.
    void text(std::string_view s) {
        constexpr std::string_view kReplacement = "\xEF\xBF\xBD";
        std::size_t i = 0;
        while (i < s.size()) {
            const auto c = static_cast<unsigned char>(s[i]);
            if (c < 0x80) {
                if (c == '&') {
                    out_ += "&amp;";
                } else if (c == '<') {
                    out_ += "&lt;";
                } else if (c == '>') {
                    out_ += "&gt;";
                } else if (c == '\r') {
                    out_ += "&#13;";  // a strict reader would read a raw one as a line feed
                } else if (c < 0x20 && c != '\t' && c != '\n') {
                    out_ += kReplacement;
                    exact = false;
                } else {
                    out_ += static_cast<char>(c);
                }
                ++i;
                continue;
            }
            unsigned cp = 0;
            const std::size_t length = utf8Length(s, i, &cp);
            if (length == 0 || cp == 0xFFFE || cp == 0xFFFF) {
                out_ += kReplacement;
                exact = false;
                i += std::max<std::size_t>(length, 1);
                continue;
            }
            out_.append(s.data() + i, length);
            i += length;
        }
    }

    void element(const char* tag, std::string_view content) {
        out_ += '<';
        out_ += tag;
        out_ += '>';
        out_ += content;
        out_ += "</";
        out_ += tag;
        out_ += ">\n";
    }

    bool write(bool b, int) {
        out_ += b ? "<true/>\n" : "<false/>\n";
        return true;
    }
    bool write(std::int64_t i, int) {
        char digits[24];
        auto end = std::to_chars(digits, digits + sizeof digits, i).ptr;
        element("integer", std::string_view(digits, static_cast<std::size_t>(end - digits)));
        return true;
    }
    bool write(const UnreadInteger& i, int) {
        // As it was read: decimal digits, or what stood there, which is escaped like any text
        // so that the document stays well-formed (and is then no longer read back the same).
        const bool plain = std::all_of(i.text.begin(), i.text.end(), [](char c) {
            return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                   c == '+' || c == '-' || c == '.';
        });
        if (plain) {
            element("integer", i.text);
            return true;
        }
        out_ += "<integer>";
        text(i.text);
        out_ += "</integer>\n";
        exact = false;
        return true;
    }
    bool write(double d, int) {
        if (std::isnan(d)) {
            element("real", "nan");
        } else if (std::isinf(d)) {
            element("real", d > 0 ? "+infinity" : "-infinity");
        } else {
            // The shortest form that reads back to the same double.
            char digits[40];
            auto end = std::to_chars(digits, digits + sizeof digits, d).ptr;
            element("real", std::string_view(digits, static_cast<std::size_t>(end - digits)));
        }
        return true;
    }
    bool write(const Text& s, int) {
        out_ += "<string>";
        text(s);
        out_ += "</string>\n";
        return true;
    }
    bool write(const Date& d, int) {
        const double seconds = std::floor(d.secondsSince1970);
        if (!std::isfinite(seconds) || std::abs(seconds) > 1e15) return false;
        const auto t = static_cast<std::time_t>(seconds);
        std::tm tm{};
        if (!gmtime_r(&t, &tm)) return false;
        char buf[64];
        const std::size_t n = std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
        if (n == 0) return false;
        element("date", std::string_view(buf, n));
        exact = exact && seconds == d.secondsSince1970;
        return true;
    }
    bool write(const Boxed<Data>& boxed, int) {
        const Data& d = *boxed;
        static constexpr char kAlphabet[] =
            "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
        out_ += "<data>";
        std::size_t i = 0;
        for (; i + 3 <= d.size(); i += 3) {
            const unsigned v = (d[i] << 16) | (d[i + 1] << 8) | d[i + 2];
            for (int shift : {18, 12, 6, 0}) out_ += kAlphabet[(v >> shift) & 63];
        }
        if (const std::size_t rest = d.size() - i) {
            const unsigned v = (d[i] << 16) | (rest == 2 ? d[i + 1] << 8 : 0);
            out_ += kAlphabet[(v >> 18) & 63];
            out_ += kAlphabet[(v >> 12) & 63];
            out_ += rest == 2 ? kAlphabet[(v >> 6) & 63] : '=';
            out_ += '=';
        }
        out_ += "</data>\n";
        return true;
    }
    bool write(const Boxed<Array>& boxed, int depth) {
        const Array& a = *boxed;
        if (a.empty()) {
            out_ += "<array/>\n";
            return true;
        }
        out_ += "<array>\n";
        for (const auto& item : a) {
            indent(depth + 1);
            if (!value(item, depth + 1)) return false;
            spill();
        }
        indent(depth);
        out_ += "</array>\n";
        return true;
    }
    bool write(const Dict& d, int depth) {
        if (d.empty()) {
            out_ += "<dict/>\n";
            return true;
        }
        out_ += "<dict>\n";
        for (const auto& [key, item] : d) {
            indent(depth + 1);
            out_ += "<key>";
            text(key);
            out_ += "</key>\n";
            indent(depth + 1);
            if (!value(item, depth + 1)) return false;
            spill();
        }
        indent(depth);
        out_ += "</dict>\n";
        return true;
    }

    std::string& out_;
    const std::function<void(std::string_view)>* put_;
};

// About how long the XML of a value is: the document is then written into one allocation
// instead of being copied as it grows (megabytes, each copy faulting in fresh pages).
std::size_t estimatedSize(const Value& value, int depth) {
    if (depth > kMaxDepth) return 0;
    constexpr std::size_t kTags = 24;
    const std::size_t line = kTags + static_cast<std::size_t>(depth);
    if (const auto* s = std::get_if<Text>(&value.v)) return line + s->size() + s->size() / 8;
    if (const auto* d = std::get_if<Boxed<Data>>(&value.v)) return line + (*d)->size() * 2;
    std::size_t size = line;
    if (const auto* a = std::get_if<Boxed<Array>>(&value.v))
        for (const Value& item : **a) size += estimatedSize(item, depth + 1);
    if (const auto* d = std::get_if<Dict>(&value.v))
        for (const auto& [key, item] : *d)
            size += line + key.size() + estimatedSize(item, depth + 1);
    return size;
}

// The whole document through out, handed to put in pieces when there is a taker.
bool writeDocument(const Value& value, std::string& out,
                   const std::function<void(std::string_view)>* put, bool* exact) {
    out += kHead;
    Writer writer(out, put);
    if (!writer.value(value, 0)) return false;
    out += "</plist>\n";
    if (put) (*put)(out);
    if (exact) *exact = writer.exact;
    return true;
}

}  // namespace

std::optional<std::string> writeXml(const Value& value, bool* exact) {
    std::string out;
    out.reserve(estimatedSize(value, 0) + 256);
    if (!writeDocument(value, out, nullptr, exact)) return std::nullopt;
    return out;
}

bool writeXml(const Value& value, const std::function<void(std::string_view)>& put, bool* exact) {
    std::string out;
    out.reserve(kPieceBytes + kPieceBytes / 4);
    return writeDocument(value, out, &put, exact);
}

}  // namespace tallyvane::plist
