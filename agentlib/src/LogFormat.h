#pragma once
// The log record's text, apart from where records are written: the prefix of local time, process
// and thread (async-signal-safe), and the message with its line breaks continued on new lines.
#include <cstddef>
#include <ctime>
#include <string>
#include <string_view>

namespace lvornutils::detail {

// Appends text to a fixed buffer, cutting it off at the end of the buffer.
struct FixedBuffer {
    char* data;
    std::size_t capacity;
    std::size_t size = 0;

    void append(const char* text, std::size_t length) noexcept {
        if (length > capacity - size) length = capacity - size;
        for (std::size_t i = 0; i < length; ++i) data[size + i] = text[i];
        size += length;
    }
    void append(char c) noexcept { append(&c, 1); }
    void appendDigits(long long value, int minWidth) noexcept {
        char digits[24];
        int n = 0;
        const bool negative = value < 0;
        unsigned long long v = negative ? 0ULL - static_cast<unsigned long long>(value)
                                        : static_cast<unsigned long long>(value);
        do {
            digits[n++] = static_cast<char>('0' + v % 10);
            v /= 10;
        } while (v != 0 && n < 24);
        while (n < minWidth && n < 24) digits[n++] = '0';
        if (negative) append('-');
        while (n > 0) append(digits[--n]);
    }
};

// Remembers local time minus UTC at when, for the prefixes that follow (the signal path must not
// call localtime).
void refreshUtcOffset(std::time_t when);

// The record prefix "YYYY-MM-DD HH:MM:SS.mmm tallyvane[PID:TID] " for a moment in UTC, in the
// local time of the offset the logger last saw. Async-signal-safe.
void appendPrefix(FixedBuffer& out, long long utcSeconds, long millisecond, long pid,
                  long tid) noexcept;

// Longest prefix: a 64-bit year and two 64-bit ids leave room to spare.
constexpr std::size_t kPrefixBytes = 128;

// A message given in two parts, read as one text without joining them.
struct Joined {
    std::string_view first, rest;
    std::size_t size() const { return first.size() + rest.size(); }
    unsigned char at(std::size_t i) const {
        if (i < first.size()) return static_cast<unsigned char>(first[i]);
        return i - first.size() < rest.size() ? static_cast<unsigned char>(rest[i - first.size()])
                                              : 0;
    }
    // The part from i up to its end.
    std::string_view from(std::size_t i) const {
        return i < first.size() ? first.substr(i) : rest.substr(i - first.size());
    }
};

// The first byte of every line break: a message with none of them is written as it stands.
constexpr std::string_view kBreakStarts = "\r\n\v\f\xC2\xE2";

// The message with its line breaks (CR LF, LF, CR, VT, FF, NEL, U+2028, U+2029) each replaced by
// a line feed and a tab, so that no part of a message can read as the start of another record;
// built once at its exact size.
std::string continued(const Joined& text);

}  // namespace lvornutils::detail
