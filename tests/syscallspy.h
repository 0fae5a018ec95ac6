// A look at the system calls the serial backend makes on one descriptor, and a way to make a
// driver misbehave there: the test program's own ioctl, tcsetattr and write stand in front of
// the C library's and pass every other call through untouched.
#pragma once

#include <string>
#include <vector>

namespace vbc::test {

class SyscallSpy {
  public:
    // Watches fd for the life of the object (one spy at a time).
    explicit SyscallSpy(int fd);
    ~SyscallSpy();
    SyscallSpy(const SyscallSpy&) = delete;
    SyscallSpy& operator=(const SyscallSpy&) = delete;

    // The driver's output queue reads as this many bytes (TIOCOUTQ); 0: as it is.
    void SetDriverQueue(int bytes);
    // Every write finds the driver full (EAGAIN), while poll still calls it writable.
    void RefuseWrites(bool on);
    // The UART's transmitter reads busy for this many line-status queries (TIOCSERGETLSR),
    // then empty; until this is called, the queries go to the driver.
    void SetTransmitterBusy(int queries);
    // Line-status queries on the descriptor so far.
    int TransmitterQueries() const;

    // The driver reads back as running at this rate (termios2), whatever was set; 0: as it is.
    void SetDriverRate(long rate);
    // Every arbitrary-rate request (TCSETS2) fails with EINVAL, as an adapter that cannot
    // make the rate answers.
    void RefuseArbitraryRates(bool on);

    // How each change of the terminal settings was asked for, in order: "at once", "after
    // drain" (the kernel waits for the output first) or "after flush".
    std::vector<std::string> SettingsRequests() const;
    // Calls of write on the descriptor so far.
    long Writes() const;
};

// The descriptor this process holds open on path (the first one found), or -1.
int DescriptorOpenOn(const std::string& path);

}  // namespace vbc::test
