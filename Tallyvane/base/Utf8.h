#pragma once
// UTF-8 as the documents and the report carry it.
#include <cstddef>
#include <string_view>

namespace tallyvane {

// The length of the well-formed UTF-8 character that starts at s[i]: 1 to 4 bytes; 0 for a stray
// or overlong sequence, a surrogate or a value past U+10FFFF. codePoint receives its value.
inline std::size_t utf8Length(std::string_view s, std::size_t i, unsigned* codePoint = nullptr) {
    const auto c = static_cast<unsigned char>(s[i]);
    std::size_t extra = 0;
    unsigned min = 0, cp = c;
    if (c < 0x80) {
        extra = 0;
    } else if ((c & 0xE0) == 0xC0) {
        extra = 1, min = 0x80, cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
        extra = 2, min = 0x800, cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
        extra = 3, min = 0x10000, cp = c & 0x07;
    } else {
        return 0;
    }
    if (s.size() - i <= extra) return 0;
    for (std::size_t k = 1; k <= extra; ++k) {
        const auto d = static_cast<unsigned char>(s[i + k]);
        if ((d & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (d & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    if (codePoint) *codePoint = cp;
    return extra + 1;
}

inline bool isUtf8(std::string_view s) {
    for (std::size_t i = 0; i < s.size();) {
        const std::size_t length = utf8Length(s, i);
        if (length == 0) return false;
        i += length;
    }
    return true;
}

}  // namespace tallyvane
