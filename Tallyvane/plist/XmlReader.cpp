#include "plist/XmlReader.h"

#include <charconv>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "base/Utf8.h"

namespace tallyvane::plist {
namespace {

// As deep as the general reader goes; deeper documents get its error.
constexpr int kMaxDepth = 256;

class Reader {
  public:
    explicit Reader(std::string_view in) : in_(in) {}

    std::optional<Value> document() {
        // The declaration and document type as property lists carry them, or none.
        if (take("<?xml")) {
            if (!take(" version=\"1.0\" encoding=\"UTF-8\"?>") && !take(" version=\"1.0\"?>"))
                return std::nullopt;
            blank();
        }
        if (take("<!DOCTYPE")) {
            if (!take(" plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
                      "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">"))
                return std::nullopt;
            blank();
        }
        if (!take("<plist version=\"1.0\">") && !take("<plist>")) return std::nullopt;
        auto value = read(0);
        blank();
        if (!value || !take("</plist>")) return std::nullopt;
        blank();
        if (pos_ != in_.size()) return std::nullopt;
        return value;
    }

  private:
    std::optional<Value> read(int depth) {
        if (depth > kMaxDepth) return std::nullopt;
        blank();
        if (take("<dict>")) {
            // One dictionary per depth is open at a time: its entries gather in that depth's
            // scratch list, which keeps its room for the next dictionary at the same depth.
            if (scratch_.size() <= static_cast<std::size_t>(depth)) scratch_.resize(depth + 1);
            for (;;) {
                blank();
                if (take("</dict>")) {
                    auto& entries = scratch_[depth];
                    // Moved into a list of exactly their number, so no spare room stays behind.
                    std::vector<Dict::value_type> exact(std::make_move_iterator(entries.begin()),
                                                        std::make_move_iterator(entries.end()));
                    entries.clear();
                    bool duplicates = false;
                    auto dict = Dict::fromEntries(std::move(exact), &duplicates);
                    // Which of two equal keys wins is the general reader's to say.
                    if (duplicates) return std::nullopt;
                    return Value(std::move(dict));
                }
                if (!take("<key>")) return std::nullopt;
                auto key = text();
                if (!key || key->empty() || !take("</key>")) return std::nullopt;
                auto value = read(depth + 1);
                if (!value) return std::nullopt;
                scratch_[depth].emplace_back(std::move(*key), std::move(*value));
            }
        }
        if (take("<array>")) {
            Array array;
            for (;;) {
                blank();
                if (take("</array>")) return Value(std::move(array));
                auto value = read(depth + 1);
                if (!value) return std::nullopt;
                array.push_back(std::move(*value));
            }
        }
        if (take("<string>")) {
            auto s = text();
            if (!s || !take("</string>")) return std::nullopt;
            return Value(std::move(*s));
        }
        if (take("<integer>")) {
            // Decimal only, as this program reads integers; the sign and range rules are the
            // general reader's.
            const std::size_t start = pos_;
            if (pos_ < in_.size() && in_[pos_] == '-') ++pos_;
            const std::size_t digits = pos_;
            while (pos_ < in_.size() && in_[pos_] >= '0' && in_[pos_] <= '9') ++pos_;
            const std::size_t end = pos_;
            if (end == digits || end - digits > 18 || !take("</integer>")) return std::nullopt;
            std::int64_t number = 0;
            std::from_chars(in_.data() + start, in_.data() + end, number);  // 18 digits always fit
            return Value(number);
        }
        if (take("<true/>")) return Value(true);
        if (take("<false/>")) return Value(false);
        if (take("<dict/>")) return Value(Dict{});
        if (take("<array/>")) return Value(Array{});
        if (take("<string/>")) return Value(std::string());
        return std::nullopt;
    }

    // Character data up to the next '<': well-formed UTF-8, printable or tab and line feed, the
    // five named entities. Gathered in one buffer kept for the whole document, then held as text.
    std::optional<Text> text() {
        const std::size_t end = in_.find('<', pos_);
        if (end == std::string_view::npos) return std::nullopt;
        const std::string_view raw = in_.substr(pos_, end - pos_);
        std::string& out = text_;
        out.clear();
        out.reserve(raw.size());
        for (std::size_t i = 0; i < raw.size();) {
            const auto c = static_cast<unsigned char>(raw[i]);
            if (c == '&') {
                static constexpr std::pair<std::string_view, char> kEntities[] = {{"&amp;", '&'},
                                                                                  {"&lt;", '<'},
                                                                                  {"&gt;", '>'},
                                                                                  {"&quot;", '"'},
                                                                                  {"&apos;", '\''}};
                bool known = false;
                for (const auto& [name, character] : kEntities) {
                    if (raw.substr(i, name.size()) == name) {
                        out += character;
                        i += name.size();
                        known = true;
                        break;
                    }
                }
                if (!known) return std::nullopt;
            } else if (c >= 0x80) {
                const std::size_t length = utf8Length(raw, i);
                if (length == 0) return std::nullopt;
                out.append(raw.substr(i, length));
                i += length;
            } else {
                if (c < 0x20 && c != '\t' && c != '\n') return std::nullopt;
                out += static_cast<char>(c);
                ++i;
            }
        }
        pos_ = end;
        return Text(out);
    }

    void blank() {
        while (pos_ < in_.size() &&
               (in_[pos_] == ' ' || in_[pos_] == '\t' || in_[pos_] == '\n' || in_[pos_] == '\r'))
            ++pos_;
    }

    bool take(std::string_view token) {
        if (in_.substr(pos_, token.size()) != token) return false;
        pos_ += token.size();
        return true;
    }

    std::string_view in_;
    std::size_t pos_ = 0;
    std::vector<std::vector<Dict::value_type>> scratch_;
    std::string text_;
};

}  // namespace

std::optional<Value> readPlainXml(std::string_view bytes) {
    return Reader(bytes).document();
}

}  // namespace tallyvane::plist
