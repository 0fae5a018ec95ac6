#include "platform/clock.h"

#include <chrono>
#include <ctime>
#include <thread>

namespace vbc::platform {
namespace {

class SystemClock : public Clock {
  public:
    std::int64_t Now() override { return static_cast<std::int64_t>(std::time(nullptr)); }
    std::int64_t NowMs() override {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::steady_clock::now().time_since_epoch())
            .count();
    }
    void SleepMs(int milliseconds) override {
        std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
    }
};

SystemClock gSystemClock;
Clock* gClock = &gSystemClock;

}  // namespace

Clock& CurrentClock() {
    return *gClock;
}
void SetClock(Clock* clock) {
    gClock = clock ? clock : &gSystemClock;
}

}  // namespace vbc::platform

namespace vbc {
std::int64_t Time() {
    return platform::CurrentClock().Now();
}
}  // namespace vbc
