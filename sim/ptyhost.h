// The phone's end of a pseudo-terminal: the master side, paced at the line's rate on request,
// with the PC's opens and closes of the slave side watched.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/uniquefd.h"
#include "sim/channel.h"

namespace vbc::sim {

class PtyLine : public Channel {
  public:
    // stopFd: a descriptor that becomes readable when the simulator stops (not owned).
    PtyLine(int stopFd, bool pace);
    ~PtyLine() override;
    PtyLine(const PtyLine&) = delete;
    PtyLine& operator=(const PtyLine&) = delete;

    // Opens a fresh pseudo-terminal in raw mode; false with a reason on failure.
    bool Open(std::string* error);
    void Close();
    bool IsOpen() const { return master_.Valid(); }
    const std::string& SlavePath() const { return slavePath_; }
    // Whether opens and closes of the slave can be seen (the PC's close then ends a job).
    bool WatchesPeer() const { return inotify_.Valid(); }

    int Read(int timeoutMs) override;
    void Write(const std::uint8_t* data, std::size_t count) override;
    using Channel::Write;
    void Drop() override;
    bool PeerPresent() override;
    void SetBitsPerByte(int bits) override { bitsPerByte_ = bits; }
    long PcLineRate() override;
    double NowMs() override;

  private:
    using Ns = std::int64_t;
    static Ns Now();
    Ns ByteTime();
    // Waits until the deadline, a stop, a change of peers or (when watchInput) input.
    // Returns true when input is waiting.
    bool WaitFor(Ns deadline, bool watchInput, bool watchOutput = false);
    void ProcessPeerEvents();
    bool Stopped() const;
    // Whether the PC has read every byte sent to it.
    bool PcHasReadAll();

    int stopFd_;
    bool pace_;
    platform::UniqueFd master_;
    platform::UniqueFd ownSlave_;  // keeps the slave open so the master never sees a hang-up
    platform::UniqueFd inotify_;
    std::string slavePath_;
    int peers_ = 0;                 // opens of the slave by others, minus their closes
    bool closedSinceRead_ = false;  // every peer closed since the last read reported it
    bool dropped_ = false;
    int bitsPerByte_ = 11;
    Ns start_ = 0;
    std::vector<std::uint8_t> rx_;
    std::size_t rxPos_ = 0;
    // Pacing: when the line has carried the last byte taken from the PC / sent to it.
    Ns rxLineFree_ = 0;
    bool rxIdle_ = true;  // nothing was waiting at the last look
    Ns txLineFree_ = 0;
};

// Rate of a terminal (bit/s) from its termios2 settings, or -1. Its own file: the kernel's
// termios2 header cannot live beside <termios.h>.
long TerminalRate(int fd);

// Points a symbolic link at target, replacing a link of that name (never a file).
bool MakeLink(const std::string& link, const std::string& target, std::string* error);
// Removes the link if it still points at target.
void RemoveLink(const std::string& link, const std::string& target);

}  // namespace vbc::sim
