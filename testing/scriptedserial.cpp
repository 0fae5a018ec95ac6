// The in-memory scripted serial line.
#include "testing/scriptedserial.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace vbc::platform {
namespace {

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

const char* ParityName(int parity) {
    switch (parity) {
        case 0:
            return "none";
        case 1:
            return "odd";
        case 2:
            return "even";
        case 3:
            return "mark";
        case 4:
            return "space";
        default:
            return "?";
    }
}

std::string Describe(const std::string& name, const LineSettings& s) {
    return name + " " + std::to_string(s.baudRate) + " " + ParityName(s.parity) + " " +
           std::to_string(s.dataBits) + " " + std::to_string(s.stopBits);
}

}  // namespace

bool ParseHex(std::string_view text, std::vector<std::uint8_t>* out) {
    std::vector<std::uint8_t> bytes;
    int high = -1;
    for (char c : text) {
        if (c == ' ' || c == ',' || c == '\t' || c == '\n' || c == ':' || c == '-') {
            if (high >= 0) return false;  // a lone digit
            continue;
        }
        int d = HexDigit(c);
        if (d < 0) return false;
        if (high < 0) {
            high = d;
        } else {
            bytes.push_back(static_cast<std::uint8_t>(high * 16 + d));
            high = -1;
        }
    }
    if (high >= 0) return false;
    *out = std::move(bytes);
    return true;
}

std::vector<std::uint8_t> Bytes(std::string_view hex) {
    std::vector<std::uint8_t> bytes;
    if (!ParseHex(hex, &bytes)) {
        std::fprintf(stderr, "Bytes: not hexadecimal bytes: \"%.*s\"\n",
                     static_cast<int>(hex.size()), hex.data());
        std::abort();
    }
    return bytes;
}

std::string Hex(std::span<const std::uint8_t> bytes) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string s;
    s.reserve(bytes.size() * 3);
    for (std::uint8_t b : bytes) {
        if (!s.empty()) s += ' ';
        s += kDigits[b >> 4];
        s += kDigits[b & 15];
    }
    return s;
}

// One open port on the line: a handle that forwards to the line, and fails once the line is
// gone.
class ScriptedDevice : public SerialDevice {
  public:
    explicit ScriptedDevice(ScriptedLine* line) : line_(line) {}
    ~ScriptedDevice() override {
        if (line_) line_->Detach(this);
    }
    void Orphan() { line_ = nullptr; }

    int Configure(const LineSettings& s) override {
        return line_ ? line_->DevConfigure(this, s) : kComErrUnknown;
    }
    int SetDtr(bool on) override { return line_ ? line_->DevSetDtr(on) : kComErrUnknown; }
    int SetHardwareHandshake(bool on) override {
        return line_ ? line_->DevFlag("cts", on) : kComErrUnknown;
    }
    int SetSoftwareFlowControl(bool on) override {
        return line_ ? line_->DevFlag("xon", on) : kComErrUnknown;
    }
    int SetTimeoutMs(int ms) override { return line_ ? line_->DevTimeout(ms) : kComErrUnknown; }
    int FlushInput() override { return line_ ? line_->DevFlushInput() : kComErrUnknown; }
    int FlushOutput() override { return line_ ? line_->DevFlushOutput() : kComErrUnknown; }
    int Write(const std::uint8_t* data, std::size_t count) override {
        return line_ ? line_->DevWrite(data, count) : kComErrUnknown;
    }
    int ReadByte(int timeoutMs) override {
        return line_ ? line_->DevReadByte(timeoutMs) : kComErrUnknown;
    }
    int InputQueueLength() override {
        return line_ ? line_->DevInputQueueLength() : kComErrUnknown;
    }
    int OutputQueueLength() override {
        return line_ ? line_->DevOutputQueueLength() : kComErrUnknown;
    }
    int WaitInput(int timeoutMs) override {
        return line_ ? line_->DevWaitInput(timeoutMs) : kComErrUnknown;
    }
    int WaitOutputEmpty(int timeoutMs) override {
        return line_ ? line_->DevWaitOutputEmpty(timeoutMs) : kComErrUnknown;
    }
    std::string Path() const override { return line_ ? line_->devicePath_ : std::string(); }
    int SystemError() const override { return line_ ? line_->systemError_ : EIO; }

    std::string name;

  private:
    ScriptedLine* line_;
};

ScriptedLine::ScriptedLine(bool install) : install_(install) {
    if (install_) {
        previousClock_ = &CurrentClock();
        previousProvider_ = &CurrentSerialProvider();
        SetClock(&clock_);
        SetSerialProvider(this);
    }
}

ScriptedLine::~ScriptedLine() {
    if (install_) {
        SetSerialProvider(previousProvider_);  // closes every port
        SetClock(previousClock_);
    }
    for (ScriptedDevice* d : devices_) d->Orphan();
}

// ---- phone side ----

void ScriptedLine::Queue(std::int64_t atMs, std::span<const std::uint8_t> bytes) {
    if (dropped_) return;
    if (!inbox_.empty()) atMs = std::max(atMs, inbox_.back().atMs);
    for (std::uint8_t b : bytes) inbox_.push_back({atMs, b});
}

void ScriptedLine::Send(std::span<const std::uint8_t> bytes) {
    Queue(clock_.NowMs(), bytes);
}
void ScriptedLine::Send(std::string_view hex) {
    Send(Bytes(hex));
}

void ScriptedLine::SendAfter(int ms, std::span<const std::uint8_t> bytes) {
    Queue(clock_.NowMs() + std::max(ms, 0), bytes);
}
void ScriptedLine::SendAfter(int ms, std::string_view hex) {
    SendAfter(ms, Bytes(hex));
}

void ScriptedLine::Expect(std::span<const std::uint8_t> pcBytes,
                          std::span<const std::uint8_t> reply, int delayMs) {
    steps_.push_back({{pcBytes.begin(), pcBytes.end()}, {reply.begin(), reply.end()}, delayMs});
    if (scriptErrors_.empty()) FireEmptySteps();
}
void ScriptedLine::Expect(std::string_view pcHex, std::string_view replyHex, int delayMs) {
    Expect(Bytes(pcHex), Bytes(replyHex), delayMs);
}

void ScriptedLine::When(std::span<const std::uint8_t> pcBytes, std::span<const std::uint8_t> reply,
                        int delayMs) {
    if (pcBytes.empty()) return;  // would answer every byte and none
    rules_.push_back(
        {{pcBytes.begin(), pcBytes.end()}, {reply.begin(), reply.end()}, delayMs, pcByteCount_});
    longestRule_ = std::max(longestRule_, pcBytes.size());
}
void ScriptedLine::When(std::string_view pcHex, std::string_view replyHex, int delayMs) {
    When(Bytes(pcHex), Bytes(replyHex), delayMs);
}

void ScriptedLine::OnPcBytes(PcBytesCallback callback) {
    pcBytesCallbacks_.push_back(std::move(callback));
}
void ScriptedLine::OnDtr(DtrCallback callback) {
    dtrCallbacks_.push_back(std::move(callback));
}

void ScriptedLine::Drop() {
    dropped_ = true;
    inbox_.clear();
    if (recording_) events_.push_back("drop");
}

void ScriptedLine::SetOpenError(int code, int systemError) {
    openError_ = code;
    openSystemError_ = systemError;
}
void ScriptedLine::SetReopenError(int code, int systemError) {
    reopenError_ = code;
    reopenSystemError_ = systemError;
}
void ScriptedLine::SetDevicePath(std::string path) {
    devicePath_ = std::move(path);
}
void ScriptedLine::SetOutQueueReadings(std::vector<int> readings) {
    // Readings still due from the last write keep their values.
    if (outQueue_ == &outQueueTemplate_) {
        outQueueHeld_.assign(outQueueTemplate_.begin() + static_cast<std::ptrdiff_t>(outQueueNext_),
                             outQueueTemplate_.end());
        outQueue_ = &outQueueHeld_;
        outQueueNext_ = 0;
    }
    outQueueTemplate_ = std::move(readings);
}
void ScriptedLine::SetRecording(bool on) {
    recording_ = on;
}
void ScriptedLine::SetIdlePollMs(int ms) {
    idlePollMs_ = std::max(ms, 1);
}
void ScriptedLine::SetCoarseIdleWaits(bool on) {
    coarseIdleWaits_ = on;
}

std::vector<std::uint8_t> ScriptedLine::TakeSent() {
    std::vector<std::uint8_t> out;
    out.swap(sent_);
    return out;
}

std::size_t ScriptedLine::Arrived() const {
    const std::int64_t now = clock_.NowMs();
    std::size_t n = 0;
    while (n < inbox_.size() && inbox_[n].atMs <= now) ++n;
    return n;
}

void ScriptedLine::FireEmptySteps() {
    while (!steps_.empty() && steps_.front().pattern.empty()) {
        Step s = std::move(steps_.front());
        steps_.pop_front();
        SendAfter(s.delayMs, s.reply);
    }
}

void ScriptedLine::OnWrite(std::span<const std::uint8_t> bytes) {
    const bool scripted = (!steps_.empty() && scriptErrors_.empty()) || !rules_.empty();
    if (!scripted) pcByteCount_ += bytes.size();
    for (std::uint8_t b : scripted ? bytes : bytes.first(0)) {
        ++pcByteCount_;
        // The script, in order.
        if (!steps_.empty() && scriptErrors_.empty()) {
            const Step& s = steps_.front();
            if (s.pattern[stepPos_] != b) {
                char msg[160];
                std::snprintf(msg, sizeof msg,
                              "PC byte %llu is %02X, the script expects %02X (byte %zu of %s)",
                              static_cast<unsigned long long>(pcByteCount_), b, s.pattern[stepPos_],
                              stepPos_ + 1, Hex(s.pattern).c_str());
                scriptErrors_.push_back(msg);
            } else if (++stepPos_ == s.pattern.size()) {
                Step done = std::move(steps_.front());
                steps_.pop_front();
                stepPos_ = 0;
                SendAfter(done.delayMs, done.reply);
                FireEmptySteps();
            }
        }
        // The standing rules.
        if (!rules_.empty()) {
            tail_.push_back(b);
            if (tail_.size() > 2 * longestRule_ + 64) {
                tail_.erase(tail_.begin(), tail_.end() - static_cast<std::ptrdiff_t>(longestRule_));
            }
            for (Rule& r : rules_) {
                const std::size_t n = r.pattern.size();
                if (pcByteCount_ - r.lastMatchEnd < n || tail_.size() < n) continue;
                if (std::equal(r.pattern.begin(), r.pattern.end(),
                               tail_.end() - static_cast<std::ptrdiff_t>(n))) {
                    r.lastMatchEnd = pcByteCount_;
                    SendAfter(r.delayMs, r.reply);
                }
            }
        }
    }
    // Callbacks may add callbacks: go over the ones present now, each by a copy (the vector
    // may grow under it).
    const std::size_t present = pcBytesCallbacks_.size();
    for (std::size_t i = 0; i < present; ++i) {
        PcBytesCallback cb = pcBytesCallbacks_[i];
        cb(*this, bytes);
    }
}

// ---- provider and devices ----

std::unique_ptr<SerialDevice> ScriptedLine::Open(int port, const std::string& deviceName,
                                                 const LineSettings& settings, int* error) {
    if (dropped_ || openError_ != 0) {
        *error = dropped_ ? kComErrCannotOpen : openError_;
        errno = dropped_ ? ENOENT : openSystemError_;
        if (recording_) events_.push_back("open failed " + deviceName);
        return nullptr;
    }
    auto device = std::make_unique<ScriptedDevice>(this);
    device->name = deviceName;
    devices_.push_back(device.get());
    opens_.push_back({port, deviceName, settings, false});
    settings_ = settings;
    if (recording_) events_.push_back("open " + Describe(deviceName, settings));
    return device;
}

void ScriptedLine::Detach(ScriptedDevice* device) {
    devices_.erase(std::remove(devices_.begin(), devices_.end(), device), devices_.end());
    ++closes_;
    if (recording_) events_.push_back("close");
}

int ScriptedLine::Gone() {
    systemError_ = EIO;
    return kComErrUnknown;
}

int ScriptedLine::DevConfigure(ScriptedDevice* d, const LineSettings& s) {
    if (dropped_) return Gone();
    if (reopenError_ != 0) {
        systemError_ = reopenSystemError_;
        if (recording_) events_.push_back("configure failed " + Describe(d->name, s));
        return reopenError_;
    }
    opens_.push_back({0, d->name, s, true});
    for (const OpenRecord& r : opens_) {
        if (!r.reopen && r.deviceName == d->name) opens_.back().port = r.port;
    }
    settings_ = s;
    if (recording_) events_.push_back("configure " + Describe(d->name, s));
    return 0;
}

int ScriptedLine::DevSetDtr(bool on) {
    if (dropped_) return Gone();
    dtr_ = on;
    dtrChanges_.push_back(on);
    if (recording_) events_.push_back(on ? "dtr on" : "dtr off");
    // As for the PC's bytes: the callbacks present now, each by a copy.
    const std::size_t present = dtrCallbacks_.size();
    for (std::size_t i = 0; i < present; ++i) {
        DtrCallback cb = dtrCallbacks_[i];
        cb(*this, on);
    }
    return 0;
}

int ScriptedLine::DevFlag(const char* name, bool on) {
    if (dropped_) return Gone();
    if (recording_) events_.push_back(std::string(name) + (on ? " on" : " off"));
    return 0;
}

int ScriptedLine::DevTimeout(int ms) {
    if (dropped_) return Gone();
    timeoutMs_ = ms;
    if (recording_) events_.push_back("timeout " + std::to_string(ms));
    return 0;
}

int ScriptedLine::DevFlushInput() {
    if (dropped_) return Gone();
    // What has arrived is discarded; what is still on its way arrives later.
    inbox_.erase(inbox_.begin(), inbox_.begin() + static_cast<std::ptrdiff_t>(Arrived()));
    ++inputFlushes_;
    if (recording_) events_.push_back("flush in");
    return 0;
}

int ScriptedLine::DevFlushOutput() {
    if (dropped_) return Gone();
    ClearOutQueue();
    ++outputFlushes_;
    if (recording_) events_.push_back("flush out");
    return 0;
}

int ScriptedLine::DevWrite(const std::uint8_t* data, std::size_t count) {
    if (dropped_) return Gone();
    if (recording_) sent_.insert(sent_.end(), data, data + count);
    if (recording_) events_.push_back("write " + std::to_string(count));
    // The readings are read where they are: no copy per write.
    outQueue_ = &outQueueTemplate_;
    outQueueNext_ = 0;
    OnWrite({data, count});
    return static_cast<int>(count);
}

int ScriptedLine::DevReadByte(int timeoutMs) {
    if (dropped_) return Gone();
    const std::int64_t now = clock_.NowMs();
    const std::int64_t wait = std::max(timeoutMs, 0);
    if (!inbox_.empty() && inbox_.front().atMs <= now + wait) {
        if (inbox_.front().atMs > now) clock_.AdvanceMs(inbox_.front().atMs - now);
        const std::uint8_t b = inbox_.front().byte;
        inbox_.pop_front();
        return b;
    }
    clock_.AdvanceMs(wait);
    ++timeoutsFired_;
    if (recording_) events_.push_back("read timeout");
    systemError_ = ETIMEDOUT;
    return kComTimeout;
}

int ScriptedLine::DevInputQueueLength() {
    if (dropped_) return Gone();
    const std::size_t n = Arrived();
    if (n == 0) clock_.AdvanceMs(idlePollMs_);
    return static_cast<int>(n);
}

void ScriptedLine::ClearOutQueue() {
    outQueueHeld_.clear();
    outQueue_ = &outQueueHeld_;
    outQueueNext_ = 0;
}

int ScriptedLine::DevOutputQueueLength() {
    if (dropped_) return Gone();
    ++outQueuePolls_;
    if (outQueueNext_ >= outQueue_->size()) return 0;
    return (*outQueue_)[outQueueNext_++];
}

int ScriptedLine::DevWaitInput(int timeoutMs) {
    if (dropped_) return Gone();
    const std::int64_t now = clock_.NowMs();
    const std::int64_t wait = std::max(timeoutMs, 0);
    if (!inbox_.empty() && inbox_.front().atMs <= now + wait) {
        if (inbox_.front().atMs > now) clock_.AdvanceMs(inbox_.front().atMs - now);
        return 1;
    }
    std::int64_t end = now + wait;
    if (coarseIdleWaits_) {
        std::int64_t until = (now / 1000 + 1) * 1000;
        if (!inbox_.empty()) until = std::min(until, inbox_.front().atMs);
        end = std::max(end, until);
    }
    clock_.AdvanceMs(end - now);
    return !inbox_.empty() && inbox_.front().atMs <= end ? 1 : 0;
}

int ScriptedLine::DevWaitOutputEmpty(int timeoutMs) {
    if (dropped_) return Gone();
    // Each scripted reading stands for one idle step of the clock.
    std::int64_t waited = 0;
    const std::vector<int>& q = *outQueue_;
    while (outQueueNext_ < q.size() && q[outQueueNext_] != 0) {
        if (waited + idlePollMs_ > timeoutMs) return q[outQueueNext_];
        clock_.AdvanceMs(idlePollMs_);
        waited += idlePollMs_;
        ++outQueueNext_;
    }
    ClearOutQueue();
    return 0;
}

}  // namespace vbc::platform
