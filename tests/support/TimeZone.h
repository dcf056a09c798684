#pragma once
#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>

namespace tallyvane::test {

// Sets TZ for the life of one test and restores the machine's zone afterwards.
class TimeZone {
  public:
    explicit TimeZone(const char* name) {
        if (const char* old = std::getenv("TZ")) saved_ = old;
        setenv("TZ", name, 1);
        tzset();
    }
    ~TimeZone() {
        if (saved_)
            setenv("TZ", saved_->c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }
    TimeZone(const TimeZone&) = delete;
    TimeZone& operator=(const TimeZone&) = delete;

  private:
    std::optional<std::string> saved_;
};

// "YYYY-MM-DD HH:MM:SS" local time in the zone TZ names, as seconds since 1970.
inline std::int64_t local(const char* text) {
    std::tm tm{};
    strptime(text, "%F %T", &tm);
    tm.tm_isdst = -1;
    return std::mktime(&tm);
}

// The moment of that wall-clock time on the local day of t.
inline std::int64_t localDayAt(double t, int hour, int minute, int second) {
    std::time_t seconds = static_cast<std::time_t>(t);
    std::tm tm{};
    localtime_r(&seconds, &tm);
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    tm.tm_isdst = -1;
    return static_cast<std::int64_t>(std::mktime(&tm));
}

}  // namespace tallyvane::test
