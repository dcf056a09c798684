#include "calendar/Calendar.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <limits>
#include <vector>

namespace tallyvane::calendar {
namespace {

constexpr std::int64_t kDay = 86400;
// The widest offset from UTC any zone has used (local mean times included) is under 26 hours.
constexpr std::int64_t kWidestOffset = 26 * 3600;
// Probing every 3 hours catches every offset that lasted at least that long near an instant.
constexpr std::int64_t kProbeStep = 3 * 3600;
// Instants beyond this many seconds from 1970 have no date the C library can give (its year is
// an int); refusing them early also keeps the arithmetic below far from int64 overflow.
constexpr double kLimit = 1e17;

// Days since 1970-01-01 of a proleptic Gregorian date (H. Hinnant's days_from_civil).
std::int64_t daysFromCivil(std::int64_t y, int m, int d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const std::int64_t yoe = y - era * 400;
    const std::int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

struct Civil {
    std::int64_t year;
    int month, day, hour, minute, second;
};

Civil civilFromDays(std::int64_t z) {
    z += 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const std::int64_t doe = z - era * 146097;
    const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const std::int64_t mp = (5 * doy + 2) / 153;
    const int d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    const int m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    return Civil{yoe + era * 400 + (m <= 2), m, d, 0, 0, 0};
}

// The whole second that holds t, when the calendar can place it.
std::optional<std::int64_t> secondOf(double t) {
    if (!std::isfinite(t) || std::fabs(t) > kLimit) return std::nullopt;
    return static_cast<std::int64_t>(std::floor(t));
}

// Local wall-clock time of the instant s, counted like an instant in UTC: local days since
// 1970-01-01 times 86400 plus the local second of the day.
std::optional<std::int64_t> wallClock(std::int64_t s) {
    const std::time_t tt = static_cast<std::time_t>(s);
    std::tm tm{};
    if (localtime_r(&tt, &tm) == nullptr) return std::nullopt;
    return daysFromCivil(std::int64_t{tm.tm_year} + 1900, tm.tm_mon + 1, tm.tm_mday) * kDay +
           tm.tm_hour * 3600 + tm.tm_min * 60 + tm.tm_sec;
}

struct Placed {
    std::int64_t instant;
    bool exact;  // false: the wall time fell into a gap and instant is the first time after it
};

// The instant at which the local clock shows wall: its first occurrence when it shows it twice,
// the end of the gap when it never does.
std::optional<Placed> instantFor(std::int64_t wall) {
    std::vector<std::int64_t> offsets;
    for (std::int64_t p = wall - kWidestOffset; p <= wall + kWidestOffset; p += kProbeStep) {
        if (auto w = wallClock(p)) {
            const std::int64_t offset = *w - p;
            if (std::find(offsets.begin(), offsets.end(), offset) == offsets.end())
                offsets.push_back(offset);
        }
    }
    if (offsets.empty()) return std::nullopt;

    std::optional<std::int64_t> first;
    for (std::int64_t offset : offsets) {
        const std::int64_t candidate = wall - offset;
        if (wallClock(candidate) == wall && (!first || candidate < *first)) first = candidate;
    }
    if (first) return Placed{*first, true};

    // A gap: find the first instant whose wall time lies past it.
    const auto [lowOffset, highOffset] = std::minmax_element(offsets.begin(), offsets.end());
    std::int64_t lo = wall - *highOffset;  // shows a time before wall
    std::int64_t hi = wall - *lowOffset + 1;
    auto past = [wall](std::int64_t s) {
        auto w = wallClock(s);
        return w && *w > wall;
    };
    if (past(lo) || !past(hi)) return std::nullopt;
    while (hi - lo > 1) {
        const std::int64_t mid = lo + (hi - lo) / 2;
        (past(mid) ? hi : lo) = mid;
    }
    return Placed{hi, false};
}

// The local day number (days since 1970-01-01) and second of the day of t.
struct LocalDay {
    std::int64_t day;
    std::int64_t secondOfDay;
    double fraction;
};

std::optional<LocalDay> localDay(double t) {
    auto s = secondOf(t);
    if (!s) return std::nullopt;
    auto wall = wallClock(*s);
    if (!wall) return std::nullopt;
    const std::int64_t day = (*wall >= 0 ? *wall : *wall - (kDay - 1)) / kDay;
    return LocalDay{day, *wall - day * kDay, t - static_cast<double>(*s)};
}

}  // namespace

std::optional<double> startOfDay(double t) {
    auto local = localDay(t);
    if (!local) return std::nullopt;
    auto placed = instantFor(local->day * kDay);
    if (!placed) return std::nullopt;
    return static_cast<double>(placed->instant);
}

std::optional<double> addDays(double t, int days) {
    auto local = localDay(t);
    if (!local) return std::nullopt;
    auto placed = instantFor((local->day + days) * kDay + local->secondOfDay);
    if (!placed) return std::nullopt;
    // In a gap the first existing moment is the gap's end itself, without t's fraction.
    return static_cast<double>(placed->instant) + (placed->exact ? local->fraction : 0.0);
}

bool isSameDay(double a, double b) {
    auto da = localDay(a);
    auto db = localDay(b);
    return da && db && da->day == db->day;
}

std::optional<std::int64_t> wholeDaysBetween(double from, double to) {
    if (!localDay(from) || !localDay(to)) return std::nullopt;
    const bool forward = from <= to;
    // Days are counted away from `from` without passing `to`, so the count is cut toward zero.
    auto within = [&](std::int64_t n) -> std::optional<bool> {
        auto moved = addDays(from, static_cast<int>(forward ? n : -n));
        if (!moved) return std::nullopt;
        return forward ? *moved <= to : *moved >= to;
    };
    const double estimate = std::floor(std::fabs(to - from) / kDay);
    // addDays takes an int; a distance beyond that many days has no answer.
    if (estimate > std::numeric_limits<int>::max() - 4) return std::nullopt;
    std::int64_t n = std::max<std::int64_t>(static_cast<std::int64_t>(estimate) - 2, 0);
    // Offsets differ by at most a day or two between the two instants: a few steps settle n.
    for (int step = 0; n > 0; ++step) {
        auto ok = within(n);
        if (!ok || step == 4) return std::nullopt;
        if (*ok) break;
        --n;
    }
    for (int step = 0; step < 8; ++step) {
        auto next = within(n + 1);
        if (!next) return std::nullopt;
        if (!*next) return forward ? n : -n;
        ++n;
    }
    return std::nullopt;
}

std::optional<double> endOfDay(double t) {
    auto local = localDay(t);
    if (!local) return std::nullopt;
    auto placed = instantFor(local->day * kDay + 23 * 3600 + 59 * 60 + 59);
    if (!placed) return std::nullopt;
    return static_cast<double>(placed->instant);
}

std::optional<std::int64_t> wholeSeconds(double t) {
    // 2^63 is exact as a double; every finite double in [-2^63, 2^63) truncates into int64.
    constexpr double kTwo63 = 9223372036854775808.0;
    if (!std::isfinite(t) || t < -kTwo63 || t >= kTwo63) return std::nullopt;
    return static_cast<std::int64_t>(t);
}

std::string utcText(double t) {
    if (std::isfinite(t) && std::fabs(t) <= kLimit) {
        const auto s = static_cast<std::int64_t>(std::floor(t));
        const std::int64_t days = (s >= 0 ? s : s - (kDay - 1)) / kDay;
        const std::int64_t second = s - days * kDay;
        const Civil c = civilFromDays(days);
        char text[64];
        std::snprintf(text, sizeof text, "%04lld-%02d-%02d %02d:%02d:%02d +0000",
                      static_cast<long long>(c.year), c.month, c.day,
                      static_cast<int>(second / 3600), static_cast<int>(second / 60 % 60),
                      static_cast<int>(second % 60));
        return text;
    }
    // No date to show: the number itself, so that a log line still says what was there.
    char text[64];
    std::snprintf(text, sizeof text, "%.17g", t);
    return text;
}

}  // namespace tallyvane::calendar
