// The phone's end of the serial line, as the phone logic sees it, and an in-memory line for
// driving the phone without a pseudo-terminal.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <initializer_list>
#include <vector>

namespace vbc::sim {

// Results of Channel::Read other than a byte 0..255.
constexpr int kReadTimeout = -1;  // nothing arrived within the time asked for
constexpr int kReadHangup = -2;   // the PC closed the line (reported once per close)
constexpr int kReadStopped = -3;  // the simulator is stopping, or the line is gone

class Channel {
  public:
    virtual ~Channel() = default;
    // The next byte from the PC, or one of the results above.
    virtual int Read(int timeoutMs) = 0;
    // Sends bytes to the PC; returns once they have left (paced lines take the line's time).
    virtual void Write(const std::uint8_t* data, std::size_t count) = 0;
    // Pulls the cable once the PC has read what was written (a line that can tell waits for
    // that, with a bound); every later read reports kReadStopped.
    virtual void Drop() = 0;
    // Whether a PC has the line open; the boot loader only announces itself to one.
    virtual bool PeerPresent() { return true; }
    // Bits one byte takes on the line (start, data, parity, stop): 11 during the boot at 38400
    // with even parity, 10 after the speed change.
    virtual void SetBitsPerByte(int /*bits*/) {}
    // The rate the PC set on its side of the line (bit/s), or 0 when the line cannot tell.
    virtual long PcLineRate() { return 0; }
    // Milliseconds since the line was set up, for traces.
    virtual double NowMs() = 0;

    void Write(std::initializer_list<std::uint8_t> bytes) { Write(bytes.begin(), bytes.size()); }
};

// A line in memory with its own clock: what the PC says is queued beforehand (or from onWrite,
// which sees every write of the phone), what the phone says is collected. A read with nothing
// queued advances the clock by its time-out; after idleLimitMs of such silence the line reports
// kReadStopped, so a phone waiting for a PC that never comes ends its job.
class MemoryChannel : public Channel {
  public:
    void Feed(std::initializer_list<std::uint8_t> bytes);
    void Feed(const std::vector<std::uint8_t>& bytes);
    void Feed(const std::uint8_t* data, std::size_t count);
    // The PC closes the line once everything fed before has been read.
    void FeedHangup();

    const std::vector<std::uint8_t>& Sent() const { return sent_; }
    void ClearSent() { sent_.clear(); }
    bool Dropped() const { return dropped_; }
    std::size_t Pending() const { return input_.size(); }
    int BitsPerByte() const { return bitsPerByte_; }
    void SetPeerPresent(bool present) { peerPresent_ = present; }
    void SetPcLineRate(long rate) { pcRate_ = rate; }

    std::function<void(MemoryChannel&, const std::uint8_t*, std::size_t)> onWrite;
    double idleLimitMs = 60000;

    int Read(int timeoutMs) override;
    void Write(const std::uint8_t* data, std::size_t count) override;
    using Channel::Write;
    void Drop() override { dropped_ = true; }
    bool PeerPresent() override { return peerPresent_; }
    void SetBitsPerByte(int bits) override { bitsPerByte_ = bits; }
    long PcLineRate() override { return pcRate_; }
    double NowMs() override { return nowMs_; }

  private:
    static constexpr int kHangupMark = -2;
    std::deque<int> input_;
    std::vector<std::uint8_t> sent_;
    double nowMs_ = 0;
    double idleMs_ = 0;
    bool dropped_ = false;
    bool peerPresent_ = true;
    int bitsPerByte_ = 11;
    long pcRate_ = 0;
};

}  // namespace vbc::sim
