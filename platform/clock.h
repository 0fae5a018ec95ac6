// Wall clock in whole seconds, replaceable so tests can run time-outs without waiting.
#pragma once

#include <cstdint>

namespace vbc::platform {

class Clock {
  public:
    virtual ~Clock() = default;
    virtual std::int64_t Now() = 0;  // seconds since the epoch
    // Milliseconds on a clock that never goes back, for rates and short spans.
    virtual std::int64_t NowMs() { return Now() * 1000; }
    virtual void SleepMs(int milliseconds) = 0;  // a short pause between polls
};

// The clock in use: the system clock unless a test installed another one.
Clock& CurrentClock();
// Installs a clock; nullptr restores the system clock. The caller keeps ownership.
void SetClock(Clock* clock);

// A clock that only moves when told to (or when something sleeps on it).
class ManualClock : public Clock {
  public:
    explicit ManualClock(std::int64_t start = 1'000'000) : nowMs_(start * 1000) {}
    std::int64_t Now() override { return nowMs_ / 1000; }
    void SleepMs(int milliseconds) override { nowMs_ += milliseconds; }
    void Advance(std::int64_t seconds) { nowMs_ += seconds * 1000; }
    void AdvanceMs(std::int64_t ms) { nowMs_ += ms; }
    std::int64_t NowMs() override { return nowMs_; }
    std::int64_t NowMs() const { return nowMs_; }

  private:
    std::int64_t nowMs_;
};

}  // namespace vbc::platform

namespace vbc {
// The standard library's time(), through the replaceable clock.
std::int64_t Time();
}  // namespace vbc
