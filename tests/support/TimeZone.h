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

}  // namespace tallyvane::test
