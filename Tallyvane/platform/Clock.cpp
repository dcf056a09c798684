#include "platform/Clock.h"

#include <chrono>

namespace tallyvane {
namespace {

class SystemClock final : public Clock {
  public:
    double now() const override {
        using namespace std::chrono;
        return duration<double>(system_clock::now().time_since_epoch()).count();
    }
};

}  // namespace

Clock& systemClock() {
    static SystemClock clock;
    return clock;
}

}  // namespace tallyvane
