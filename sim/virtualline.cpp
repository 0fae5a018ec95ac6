#include "sim/virtualline.h"

#include <algorithm>
#include <climits>

namespace vbc::sim {
namespace {

constexpr std::int64_t kDropDrainLimitMs = 5000;  // as the pseudo-terminal's drop

}  // namespace

// One open port of the PC on the line.
class VirtualLine::Device : public platform::SerialDevice {
  public:
    explicit Device(VirtualLine* line) : line_(line) {}
    ~Device() override {
        std::lock_guard lock(line_->mu_);
        line_->PcClose();
    }

    int Configure(const platform::LineSettings& settings) override {
        std::lock_guard lock(line_->mu_);
        if (line_->dropped_) return kComErrUnknown;
        line_->pcRate_ = settings.baudRate;
        return 0;
    }
    int SetDtr(bool) override { return Plain(); }
    int SetHardwareHandshake(bool) override { return Plain(); }
    int SetSoftwareFlowControl(bool) override { return Plain(); }
    // Reads get their time-out with each call, and writes never stall here.
    int SetTimeoutMs(int) override { return 0; }
    int FlushInput() override {
        std::lock_guard lock(line_->mu_);
        return line_->PcFlushInput();
    }
    int FlushOutput() override {
        std::lock_guard lock(line_->mu_);
        return line_->PcFlushOutput();
    }
    int Write(const std::uint8_t* data, std::size_t count) override {
        std::lock_guard lock(line_->mu_);
        return line_->PcWrite(data, count);
    }
    int ReadByte(int timeoutMs) override {
        std::unique_lock lock(line_->mu_);
        return line_->PcReadByte(lock, timeoutMs);
    }
    int InputQueueLength() override {
        std::lock_guard lock(line_->mu_);
        return line_->PcInputQueueLength();
    }
    int OutputQueueLength() override {
        std::lock_guard lock(line_->mu_);
        return line_->PcOutputQueueLength();
    }
    int WaitInput(int timeoutMs) override {
        std::unique_lock lock(line_->mu_);
        return line_->PcWaitInput(lock, timeoutMs);
    }
    int WaitOutputEmpty(int timeoutMs) override {
        std::unique_lock lock(line_->mu_);
        return line_->PcWaitOutputEmpty(lock, timeoutMs);
    }

  private:
    // An operation that only fails on a hung-up line.
    int Plain() {
        std::lock_guard lock(line_->mu_);
        return line_->dropped_ ? kComErrUnknown : 0;
    }

    VirtualLine* line_;
};

class VirtualLine::PhoneEnd : public Channel {
  public:
    explicit PhoneEnd(VirtualLine* line) : line_(line) {}
    int Read(int timeoutMs) override { return line_->PhoneRead(timeoutMs); }
    void Write(const std::uint8_t* data, std::size_t count) override {
        line_->PhoneWrite(data, count);
    }
    using Channel::Write;
    void Drop() override { line_->PhoneDrop(); }
    bool PeerPresent() override { return line_->PhonePeerPresent(); }
    long PcLineRate() override { return line_->PhonePcLineRate(); }
    double NowMs() override { return line_->PhoneNowMs(); }

  private:
    VirtualLine* line_;
};

VirtualLine::VirtualLine(std::string portName, std::int64_t startSeconds)
    : portName_(std::move(portName)),
      phoneEnd_(std::make_unique<PhoneEnd>(this)),
      startMs_(startSeconds * 1000),
      nowMs_(startMs_) {
    previousClock_ = &platform::CurrentClock();
    previousProvider_ = &platform::CurrentSerialProvider();
    platform::SetClock(this);
    platform::SetSerialProvider(this);
}

VirtualLine::~VirtualLine() {
    Stop();
    platform::SetSerialProvider(previousProvider_);  // closes every port
    platform::SetClock(previousClock_);
}

// ---- the clock ---------------------------------------------------------------------------

bool VirtualLine::WaitUntil(std::unique_lock<std::mutex>& lock, Side side, std::int64_t deadline,
                            const std::function<bool()>& ready) {
    for (;;) {
        // The state is looked at and the side marked blocked under one hold of the lock, so a
        // change after the look (which calls Wake) always makes the side look again.
        const bool done = ready();
        if (done || nowMs_ >= deadline) {
            blocked_[side] = false;
            deadline_[side] = kNever;
            return done;
        }
        blocked_[side] = true;
        deadline_[side] = deadline;
        if (Advance()) continue;
        if (side == kPhone && phoneStarting_) cv_.notify_all();
        cv_.wait(lock);
    }
}

bool VirtualLine::Advance() {
    std::int64_t next = kNever;
    for (int s : {kPc, kPhone}) {
        if (blocked_[s]) {
            next = std::min(next, deadline_[s]);
        } else if (present_[s]) {
            return false;  // still running: it may yet send something
        }
    }
    if (next == kNever) return false;  // nothing to wait for: only a stop ends this
    nowMs_ = std::max(nowMs_, next);
    for (int s : {kPc, kPhone}) {
        if (deadline_[s] <= nowMs_) blocked_[s] = false;
    }
    cv_.notify_all();
    return true;
}

void VirtualLine::Wake() {
    blocked_[kPc] = blocked_[kPhone] = false;
    cv_.notify_all();
}

std::int64_t VirtualLine::Now() {
    std::lock_guard lock(mu_);
    return nowMs_ / 1000;
}

void VirtualLine::SleepMs(int milliseconds) {
    std::unique_lock lock(mu_);
    WaitUntil(lock, kPc, nowMs_ + std::max(milliseconds, 0), [] { return false; });
}

std::int64_t VirtualLine::ElapsedMs() const {
    std::lock_guard lock(mu_);
    return nowMs_ - startMs_;
}

bool VirtualLine::PhoneDropped() const {
    std::lock_guard lock(mu_);
    return dropped_;
}

// ---- the phone's thread ------------------------------------------------------------------

void VirtualLine::StartPhone(std::function<void(Channel&)> job) {
    std::unique_lock lock(mu_);
    if (phoneThread_.joinable() || stopped_) return;
    present_[kPhone] = true;
    phoneStarting_ = true;
    phoneThread_ = std::thread([this, job = std::move(job)] {
        job(*phoneEnd_);
        std::lock_guard lock(mu_);
        present_[kPhone] = false;
        phoneDone_ = true;
        Wake();
    });
    // The PC goes on once the phone waits for the first time: what the phone sees of the PC
    // then never depends on which thread got going first.
    cv_.wait(lock, [this] { return blocked_[kPhone] || phoneDone_; });
    phoneStarting_ = false;
}

bool VirtualLine::WaitPhoneDone(std::int64_t virtualMs) {
    std::unique_lock lock(mu_);
    return WaitUntil(lock, kPc, nowMs_ + std::max<std::int64_t>(virtualMs, 0),
                     [this] { return phoneDone_; });
}

void VirtualLine::Stop() {
    {
        std::lock_guard lock(mu_);
        stopped_ = true;
        Wake();
    }
    if (phoneThread_.joinable()) phoneThread_.join();
}

// ---- the PC's side -------------------------------------------------------------------------

std::unique_ptr<platform::SerialDevice> VirtualLine::Open(int port, const std::string& deviceName,
                                                          const platform::LineSettings& settings,
                                                          int* error) {
    if (portName_.empty() || deviceName != portName_)
        return previousProvider_->Open(port, deviceName, settings, error);
    std::lock_guard lock(mu_);
    // After a drop the phone's end is gone, as the pseudo-terminal's slave is.
    if (dropped_ || stopped_) {
        *error = kComErrCannotOpen;
        return nullptr;
    }
    ++pcOpens_;
    pcRate_ = settings.baudRate;
    Wake();
    return std::make_unique<Device>(this);
}

void VirtualLine::PcClose() {
    if (--pcOpens_ == 0) closedSinceRead_ = true;
    Wake();
}

int VirtualLine::PcWrite(const std::uint8_t* data, std::size_t count) {
    if (dropped_) return kComErrUnknown;
    toPhone_.insert(toPhone_.end(), data, data + count);
    Wake();
    return static_cast<int>(std::min<std::size_t>(count, INT_MAX));
}

int VirtualLine::PcReadByte(std::unique_lock<std::mutex>& lock, int timeoutMs) {
    // Bytes taken from the line before it went down are still read.
    if (pcBuffer_.empty() && !dropped_) {
        WaitUntil(lock, kPc, nowMs_ + std::max(timeoutMs, 0),
                  [this] { return !toPc_.empty() || dropped_; });
        // A read takes everything that has arrived, as a terminal's read does.
        if (!toPc_.empty()) {
            pcBuffer_.insert(pcBuffer_.end(), toPc_.begin(), toPc_.end());
            toPc_.clear();
            Wake();
        }
        if (pcBuffer_.empty()) return dropped_ ? kComErrUnknown : kComTimeout;
    }
    if (pcBuffer_.empty()) return kComErrUnknown;
    const std::uint8_t b = pcBuffer_.front();
    pcBuffer_.pop_front();
    return b;
}

int VirtualLine::PcInputQueueLength() {
    if (dropped_) return kComErrUnknown;
    return static_cast<int>(std::min<std::size_t>(pcBuffer_.size() + toPc_.size(), INT_MAX));
}

int VirtualLine::PcOutputQueueLength() {
    if (dropped_) return kComErrUnknown;
    return static_cast<int>(std::min<std::size_t>(toPhone_.size(), INT_MAX));
}

int VirtualLine::PcWaitInput(std::unique_lock<std::mutex>& lock, int timeoutMs) {
    if (!pcBuffer_.empty()) return 1;
    if (dropped_) return kComErrUnknown;
    WaitUntil(lock, kPc, nowMs_ + std::max(timeoutMs, 0),
              [this] { return !toPc_.empty() || dropped_; });
    if (!toPc_.empty()) return 1;
    return dropped_ ? kComErrUnknown : 0;
}

int VirtualLine::PcWaitOutputEmpty(std::unique_lock<std::mutex>& lock, int timeoutMs) {
    if (dropped_) return kComErrUnknown;
    WaitUntil(lock, kPc, nowMs_ + std::max(timeoutMs, 0),
              [this] { return toPhone_.empty() || dropped_; });
    return PcOutputQueueLength();
}

int VirtualLine::PcFlushInput() {
    pcBuffer_.clear();
    if (dropped_) return kComErrUnknown;
    toPc_.clear();
    Wake();
    return 0;
}

int VirtualLine::PcFlushOutput() {
    if (dropped_) return kComErrUnknown;
    toPhone_.clear();
    Wake();
    return 0;
}

// ---- the phone's side ----------------------------------------------------------------------

int VirtualLine::PhoneRead(int timeoutMs) {
    std::unique_lock lock(mu_);
    if (stopped_ || dropped_) return kReadStopped;
    // A close followed by a reopen is the same PC setting the port up again.
    if (closedSinceRead_ && pcOpens_ > 0) closedSinceRead_ = false;
    WaitUntil(lock, kPhone, nowMs_ + std::max(timeoutMs, 0), [this] {
        return stopped_ || !toPhone_.empty() || (closedSinceRead_ && pcOpens_ == 0);
    });
    if (stopped_) return kReadStopped;
    if (!toPhone_.empty()) {
        const std::uint8_t b = toPhone_.front();
        toPhone_.pop_front();
        // Only a drained queue is worth waking the PC for.
        if (toPhone_.empty()) Wake();
        return b;
    }
    if (closedSinceRead_ && pcOpens_ == 0) {
        closedSinceRead_ = false;
        return kReadHangup;
    }
    return kReadTimeout;
}

void VirtualLine::PhoneWrite(const std::uint8_t* data, std::size_t count) {
    std::lock_guard lock(mu_);
    // Nobody listens: the bytes are lost, as on the pseudo-terminal.
    if (stopped_ || dropped_ || pcOpens_ == 0) return;
    toPc_.insert(toPc_.end(), data, data + count);
    Wake();
}

void VirtualLine::PhoneDrop() {
    std::unique_lock lock(mu_);
    if (dropped_) return;
    WaitUntil(lock, kPhone, nowMs_ + kDropDrainLimitMs,
              [this] { return stopped_ || toPc_.empty() || pcOpens_ == 0; });
    dropped_ = true;
    toPc_.clear();
    toPhone_.clear();
    Wake();
}

bool VirtualLine::PhonePeerPresent() {
    std::lock_guard lock(mu_);
    return pcOpens_ > 0;
}

long VirtualLine::PhonePcLineRate() {
    std::lock_guard lock(mu_);
    return pcOpens_ > 0 ? pcRate_ : 0;
}

double VirtualLine::PhoneNowMs() {
    std::lock_guard lock(mu_);
    return static_cast<double>(nowMs_ - startMs_);
}

}  // namespace vbc::sim
