// An in-memory serial line for tests of the protocol code: the test plays the phone (what it
// sends, and how it answers what the PC sent) and reads back everything the PC did, time-outs
// included, on a manual clock so that no test waits in real time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/clock.h"
#include "platform/serial.h"

namespace vbc::platform {

// Parses hexadecimal bytes ("E0 00 FF", "e000ff", "E0,00,FF"); false on anything else.
bool ParseHex(std::string_view text, std::vector<std::uint8_t>* out);
// ParseHex for test scripts: a malformed text is a broken test and aborts with a message.
std::vector<std::uint8_t> Bytes(std::string_view hex);
// "E0 00 FF": upper case, one blank between bytes.
std::string Hex(std::span<const std::uint8_t> bytes);

class ScriptedDevice;

class ScriptedLine : public SerialProvider {
  public:
    using PcBytesCallback = std::function<void(ScriptedLine&, std::span<const std::uint8_t>)>;
    using DtrCallback = std::function<void(ScriptedLine&, bool on)>;

    struct OpenRecord {
        int port = 0;
        std::string deviceName;
        LineSettings settings;
        bool reopen = false;  // new settings on the open device (no close)
    };

    // With install, the line becomes the serial provider and its manual clock the current
    // clock until it is destroyed (the previous ones are put back then).
    explicit ScriptedLine(bool install = true);
    ~ScriptedLine() override;
    ScriptedLine(const ScriptedLine&) = delete;
    ScriptedLine& operator=(const ScriptedLine&) = delete;

    // ---- the phone's side ----

    // Bytes for the PC, waiting from now on.
    void Send(std::span<const std::uint8_t> bytes);
    void Send(std::string_view hex);
    // Bytes that arrive ms from now (never before bytes sent earlier: a line keeps order).
    void SendAfter(int ms, std::span<const std::uint8_t> bytes);
    void SendAfter(int ms, std::string_view hex);
    // The next step of the script: the PC's next bytes must be exactly pcBytes; then the phone
    // answers reply, delayMs later. A step with no PC bytes answers as soon as it is reached.
    // A PC byte that breaks the script is recorded in ScriptErrors() and ends the script.
    void Expect(std::span<const std::uint8_t> pcBytes, std::span<const std::uint8_t> reply,
                int delayMs = 0);
    void Expect(std::string_view pcHex, std::string_view replyHex, int delayMs = 0);
    // A standing rule: every time the PC's bytes end with pcBytes, the phone answers reply.
    void When(std::span<const std::uint8_t> pcBytes, std::span<const std::uint8_t> reply,
              int delayMs = 0);
    void When(std::string_view pcHex, std::string_view replyHex, int delayMs = 0);
    // Called after each write of the PC with the bytes it just wrote (after Expect and When).
    void OnPcBytes(PcBytesCallback callback);
    // Called when the PC raises or drops DTR.
    void OnDtr(DtrCallback callback);
    // The line disappears: every later operation on an open port and every open fails.
    void Drop();
    // Opens fail with this code and this system reason (errno) (0: opens succeed again).
    void SetOpenError(int code, int systemError = 0);
    // Reopens of an open port (new settings on the open device) fail with this code and this
    // system reason, and leave the settings as they were (0: they succeed again).
    void SetReopenError(int code, int systemError = 0);
    // The device the line's ports say they stand for ("" by default: they do not tell).
    void SetDevicePath(std::string path);
    // What GetOutQLen reports after each write, one reading a call, before it reports 0.
    void SetOutQueueReadings(std::vector<int> readings);
    // Whether Events() and Sent() keep what the PC does (default on); off for a caller that
    // runs millions of jobs and checks none of it (the protocol fuzz target).
    void SetRecording(bool on);
    // How far the clock moves on a GetInQLen that finds nothing (default 1 ms), so that any
    // loop polling the queue against the clock ends.
    void SetIdlePollMs(int ms);
    // With on, a WaitInput that nothing arrives within lasts until the next arrival or the
    // clock's next whole second, whichever comes first (never less than asked). Deadlines of
    // the protocol code are whole seconds of the clock, so a job decides as with short waits,
    // in some fifty times fewer polls (the protocol fuzz target); off by default, for tests
    // that count waits.
    void SetCoarseIdleWaits(bool on);

    // ---- what the PC did ----

    const std::vector<std::uint8_t>& Sent() const { return sent_; }
    std::vector<std::uint8_t> TakeSent();  // and forgets them
    const std::vector<OpenRecord>& Opens() const { return opens_; }
    bool IsOpen() const { return !devices_.empty(); }
    const LineSettings& Settings() const { return settings_; }  // of the last open or reopen
    bool Dtr() const { return dtr_; }
    const std::vector<bool>& DtrChanges() const { return dtrChanges_; }
    int InputFlushes() const { return inputFlushes_; }
    int OutputFlushes() const { return outputFlushes_; }
    int Closes() const { return closes_; }
    int TimeoutMs() const { return timeoutMs_; }  // last SetComTime, -1 before any
    int TimeoutsFired() const { return timeoutsFired_; }
    int OutQueuePolls() const { return outQueuePolls_; }
    // Every operation in order: "open COM1 38400 even 8 1", "configure COM1 115200 none 8 1",
    // "configure failed COM1 302325 none 8 1", "cts off", "xon off", "flush in", "flush out",
    // "dtr on", "dtr off", "timeout 5000", "write 5", "read timeout", "close", "drop".
    const std::vector<std::string>& Events() const { return events_; }
    const std::vector<std::string>& ScriptErrors() const { return scriptErrors_; }
    bool ScriptDone() const { return steps_.empty() && scriptErrors_.empty(); }
    // Bytes the phone sent (already arrived or still on their way) that the PC has not read.
    std::size_t Pending() const { return inbox_.size(); }
    ManualClock& Clock() { return clock_; }

    std::unique_ptr<SerialDevice> Open(int port, const std::string& deviceName,
                                       const LineSettings& settings, int* error) override;

  private:
    friend class ScriptedDevice;
    struct Arrival {
        std::int64_t atMs;
        std::uint8_t byte;
    };
    struct Step {
        std::vector<std::uint8_t> pattern;
        std::vector<std::uint8_t> reply;
        int delayMs;
    };
    struct Rule {
        std::vector<std::uint8_t> pattern;
        std::vector<std::uint8_t> reply;
        int delayMs;
        std::uint64_t lastMatchEnd;  // in pcByteCount_ terms: matches never overlap
    };

    void Queue(std::int64_t atMs, std::span<const std::uint8_t> bytes);
    std::size_t Arrived() const;
    void FireEmptySteps();
    void OnWrite(std::span<const std::uint8_t> bytes);
    void Detach(ScriptedDevice* device);
    void ClearOutQueue();

    // Device operations.
    int DevConfigure(ScriptedDevice* d, const LineSettings& s);
    int DevSetDtr(bool on);
    int DevFlag(const char* name, bool on);
    int DevTimeout(int ms);
    int DevFlushInput();
    int DevFlushOutput();
    int DevWrite(const std::uint8_t* data, std::size_t count);
    int DevReadByte(int timeoutMs);
    int DevInputQueueLength();
    int DevOutputQueueLength();
    int DevWaitInput(int timeoutMs);
    int DevWaitOutputEmpty(int timeoutMs);
    // An operation on a line that is gone.
    int Gone();

    bool install_;
    platform::Clock* previousClock_ = nullptr;
    SerialProvider* previousProvider_ = nullptr;
    ManualClock clock_;

    std::deque<Arrival> inbox_;
    std::deque<Step> steps_;
    std::size_t stepPos_ = 0;
    std::vector<Rule> rules_;
    std::vector<PcBytesCallback> pcBytesCallbacks_;
    std::vector<DtrCallback> dtrCallbacks_;
    bool dropped_ = false;
    int openError_ = 0;
    int openSystemError_ = 0;
    int reopenError_ = 0;
    int reopenSystemError_ = 0;
    std::string devicePath_;
    int systemError_ = 0;  // of the last failure of a device
    // The readings still to come are (*outQueue_)[outQueueNext_...]: the template after a
    // write, outQueueHeld_ once the template changed under them (or nothing is queued).
    std::vector<int> outQueueTemplate_;
    std::vector<int> outQueueHeld_;
    const std::vector<int>* outQueue_ = &outQueueHeld_;
    std::size_t outQueueNext_ = 0;
    int idlePollMs_ = 1;
    bool recording_ = true;
    bool coarseIdleWaits_ = false;

    std::vector<std::uint8_t> sent_;
    std::uint64_t pcByteCount_ = 0;   // every byte the PC ever wrote
    std::vector<std::uint8_t> tail_;  // the last ones, for the standing rules
    std::size_t longestRule_ = 0;
    std::vector<OpenRecord> opens_;
    std::vector<ScriptedDevice*> devices_;
    LineSettings settings_;
    bool dtr_ = false;
    std::vector<bool> dtrChanges_;
    int inputFlushes_ = 0;
    int outputFlushes_ = 0;
    int closes_ = 0;
    int timeoutMs_ = -1;
    int timeoutsFired_ = 0;
    int outQueuePolls_ = 0;
    std::vector<std::string> events_;
    std::vector<std::string> scriptErrors_;
};

}  // namespace vbc::platform
