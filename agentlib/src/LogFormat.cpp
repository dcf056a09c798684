// The log record's prefix and line-break continuation (see LogFormat.h).
#include "LogFormat.h"

#include <algorithm>
#include <atomic>
#include <ctime>

namespace lvornutils::detail {
namespace {

// Local time minus UTC in seconds, as the normal logger last saw it; read by the signal path,
// which must not call localtime.
std::atomic<long> g_utcOffsetSeconds{0};
static_assert(std::atomic<long>::is_always_lock_free);

}  // namespace

void refreshUtcOffset(std::time_t when) {
    struct tm local {};
    if (::localtime_r(&when, &local) != nullptr) {
        g_utcOffsetSeconds.store(local.tm_gmtoff, std::memory_order_relaxed);
    }
}

namespace {

// Caches the offset as early as possible, so that a signal before the first record still gets
// local time.
[[maybe_unused]] const bool g_offsetPrimed = [] {
    refreshUtcOffset(std::time(nullptr));
    return true;
}();

// Days since 1970-01-01 to a proleptic Gregorian date (H. Hinnant's civil_from_days).
void civilFromDays(long long days, long long& year, int& month, int& day) noexcept {
    days += 719468;
    const long long era = (days >= 0 ? days : days - 146096) / 146097;
    const long long doe = days - era * 146097;
    const long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const long long mp = (5 * doy + 2) / 153;
    day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    year = yoe + era * 400 + (month <= 2 ? 1 : 0);
}

// The length of the line break that starts at text[i] (CR LF, LF, CR, VT, FF, NEL, U+2028,
// U+2029), or 0.
std::size_t lineBreakAt(const Joined& text, std::size_t i) {
    switch (text.at(i)) {
        case '\r':
            return text.at(i + 1) == '\n' ? 2 : 1;
        case '\n':
        case '\v':
        case '\f':
            return 1;
        case 0xC2:
            return text.at(i + 1) == 0x85 ? 2 : 0;
        case 0xE2:
            return text.at(i + 1) == 0x80 && (text.at(i + 2) == 0xA8 || text.at(i + 2) == 0xA9) ? 3
                                                                                                : 0;
        default:
            return 0;
    }
}

// Hands emit the message in pieces, each line break replaced by a line feed and a tab, so that
// no part of a message can read as the start of another record.
template <typename Emit>
void eachContinuedPiece(const Joined& text, Emit emit) {
    for (std::size_t i = 0; i < text.size();) {
        const std::string_view part = text.from(i);
        const std::size_t run = std::min(part.find_first_of(kBreakStarts), part.size());
        if (run > 0) {
            emit(part.substr(0, run));
            i += run;
        } else if (const std::size_t length = lineBreakAt(text, i)) {
            emit(std::string_view("\n\t"));
            i += length;
        } else {
            emit(part.substr(0, 1));
            ++i;
        }
    }
}

}  // namespace

void appendPrefix(FixedBuffer& out, long long utcSeconds, long millisecond, long pid,
                  long tid) noexcept {
    const long long local = utcSeconds + g_utcOffsetSeconds.load(std::memory_order_relaxed);
    long long days = local / 86400;
    long long secondOfDay = local % 86400;
    if (secondOfDay < 0) {
        secondOfDay += 86400;
        --days;
    }
    long long year = 0;
    int month = 0;
    int day = 0;
    civilFromDays(days, year, month, day);
    out.appendDigits(year, 4);
    out.append('-');
    out.appendDigits(month, 2);
    out.append('-');
    out.appendDigits(day, 2);
    out.append(' ');
    out.appendDigits(secondOfDay / 3600, 2);
    out.append(':');
    out.appendDigits(secondOfDay / 60 % 60, 2);
    out.append(':');
    out.appendDigits(secondOfDay % 60, 2);
    out.append('.');
    out.appendDigits(millisecond, 3);
    static constexpr char kName[] = " tallyvane[";
    out.append(kName, sizeof kName - 1);
    out.appendDigits(pid, 1);
    out.append(':');
    out.appendDigits(tid, 1);
    out.append("] ", 2);
}

std::string continued(const Joined& text) {
    std::size_t size = 0;
    eachContinuedPiece(text, [&](std::string_view piece) { size += piece.size(); });
    std::string out;
    out.reserve(size);
    eachContinuedPiece(text, [&](std::string_view piece) { out.append(piece); });
    return out;
}

}  // namespace lvornutils::detail
