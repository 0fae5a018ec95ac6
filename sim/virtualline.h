// The PC's serial port and the simulated phone joined in one process, on one virtual clock.
//
// The line is the serial provider and the clock of the PC's side (the tool's modules, through
// the platform layer) and the Channel of a phone running on a thread of its own. Each side
// blocks whenever it waits for bytes or for time; the clock moves, to the earliest deadline
// either side waits for, only when both are blocked. Time-outs of minutes cost no real time,
// and every wait lasts exactly its virtual time however loaded the machine is.
//
// The line behaves as the simulator's pseudo-terminal does, unpaced: bytes arrive as soon as
// they are sent; the PC's output queue holds what the phone has not read yet; the phone's
// drop waits (at most 5 s) for the PC to read what was sent before, and from then on every
// operation of the PC on the port fails as on a hung-up terminal.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/clock.h"
#include "platform/serial.h"
#include "sim/channel.h"

namespace vbc::sim {

class VirtualLine : public platform::SerialProvider, public platform::Clock {
  public:
    // portName: the name the PC's opens reach the phone under; opens of other names go to the
    // provider in place before (empty: every open does). The clock starts at startSeconds
    // since the epoch. The line is the serial provider and the current clock
    // until it is destroyed (the previous ones are put back then).
    explicit VirtualLine(std::string portName = "COM1", std::int64_t startSeconds = 1'000'000);
    // Stops the phone's side, waits for its thread and closes the PC's ports.
    ~VirtualLine() override;
    VirtualLine(const VirtualLine&) = delete;
    VirtualLine& operator=(const VirtualLine&) = delete;

    // Runs the phone on its own thread; job gets the phone's end of the line. Returns once the
    // phone waits for the first time. Once job has returned, the clock no longer waits for the
    // phone. One phone a line.
    void StartPhone(std::function<void(Channel&)> job);
    // Waits, as the PC, for the phone's job to return: true once it has, false when the
    // virtual time given passes first.
    bool WaitPhoneDone(std::int64_t virtualMs);
    // Ends the line for the phone (its reads report kReadStopped, a drop no longer waits) and
    // waits for its thread.
    void Stop();

    // Milliseconds of virtual time since the line was made.
    std::int64_t ElapsedMs() const;
    bool PhoneDropped() const;

    // platform::Clock, the PC's: whole seconds, and a pause in virtual time.
    std::int64_t Now() override;
    void SleepMs(int milliseconds) override;

    std::unique_ptr<platform::SerialDevice> Open(int port, const std::string& deviceName,
                                                 const platform::LineSettings& settings,
                                                 int* error) override;

  private:
    class Device;
    class PhoneEnd;
    enum Side { kPc = 0, kPhone = 1 };
    static constexpr std::int64_t kNever = INT64_MAX;

    // Blocks the side until ready() holds (true) or the virtual time reaches deadline (false).
    // Called with the lock held.
    bool WaitUntil(std::unique_lock<std::mutex>& lock, Side side, std::int64_t deadline,
                   const std::function<bool()>& ready);
    // Moves the clock when every side that takes part is blocked; false when it cannot move.
    bool Advance();
    // Something changed that a blocked side may be waiting for: each looks again.
    void Wake();

    // ---- the PC's side, lock held ----
    int PcWrite(const std::uint8_t* data, std::size_t count);
    int PcReadByte(std::unique_lock<std::mutex>& lock, int timeoutMs);
    int PcInputQueueLength();
    int PcOutputQueueLength();
    int PcWaitInput(std::unique_lock<std::mutex>& lock, int timeoutMs);
    int PcWaitOutputEmpty(std::unique_lock<std::mutex>& lock, int timeoutMs);
    int PcFlushInput();
    int PcFlushOutput();
    void PcClose();

    // ---- the phone's side ----
    int PhoneRead(int timeoutMs);
    void PhoneWrite(const std::uint8_t* data, std::size_t count);
    void PhoneDrop();
    bool PhonePeerPresent();
    long PhonePcLineRate();
    double PhoneNowMs();

    const std::string portName_;
    platform::Clock* previousClock_ = nullptr;
    platform::SerialProvider* previousProvider_ = nullptr;
    std::unique_ptr<PhoneEnd> phoneEnd_;
    std::thread phoneThread_;

    mutable std::mutex mu_;
    std::condition_variable cv_;
    const std::int64_t startMs_;
    std::int64_t nowMs_;
    // Per side: whether it takes part (the clock waits for it while it runs), whether it is
    // blocked in a wait, and until when. The PC always takes part.
    bool present_[2] = {true, false};
    bool blocked_[2] = {false, false};
    std::int64_t deadline_[2] = {kNever, kNever};

    std::deque<std::uint8_t> toPc_;      // sent by the phone, not yet taken by the PC
    std::deque<std::uint8_t> pcBuffer_;  // taken from the line by the PC, not yet read
    std::deque<std::uint8_t> toPhone_;   // sent by the PC, not yet read by the phone
    int pcOpens_ = 0;                    // the PC's open ports on the line
    bool closedSinceRead_ = false;       // the PC closed since the phone's last read
    long pcRate_ = 0;                    // the rate the PC set, 0 before any open
    bool dropped_ = false;
    bool stopped_ = false;
    bool phoneStarting_ = false;  // StartPhone waits for the phone's first wait
    bool phoneDone_ = false;
};

}  // namespace vbc::sim
