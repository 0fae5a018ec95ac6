// Worker processes: a program started with its standard output and standard error on one pipe
// that this process reads without blocking, stopped and reaped by its owner. A worker ends when
// the process that started it dies (POSIX: SIGTERM; Windows: its job object kills it), so a
// station killed outright leaves no job running on a port.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vbc::platform {

// What a wait can sleep on: a descriptor (POSIX) or a waitable HANDLE (Windows).
using WaitObject = std::intptr_t;
constexpr WaitObject kNoWaitObject = -1;

struct ProcessEnd {
    bool exited = false;  // ended by exit(): code holds its status
    int code = 0;
    int signal = 0;  // else the signal that ended it (Windows: the exception code)
};

// How a worker that did not exit ended, in words: "signal 9 (Killed)", "exception 0xC0000005".
std::string DescribeAbnormalEnd(int signal);

class Process {
  public:
    Process();
    ~Process();  // a worker still running is killed and reaped
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    // argv[0] is the program's path. The child gets no descriptor of this process but its
    // standard ones and keepFd (POSIX, when not negative; a Windows child opens its files by
    // name). False (and error) when it cannot be started.
    bool Start(const std::vector<std::string>& argv, std::string* error, int keepFd = -1);
    bool Running() const;
    int Id() const;

    // What to wait on for output, kNoWaitObject once it ended.
    WaitObject OutputWait() const;
    // Appends what the pipe holds now. False once it has ended (the worker closed it).
    bool ReadAvailable(std::string* into);

    // Asks the worker to stop its job at its next wait (POSIX: SIGTERM, as an operator's kill
    // would; Windows: the stop event it inherited).
    void RequestStop();
    // Ends it at once.
    void Kill();
    // How it ended, once it has; nothing while it runs.
    std::optional<ProcessEnd> TryReap();

  private:
    struct State;
    std::unique_ptr<State> state_;
};

// Waits up to timeoutMs for one of objects to become ready (readable, its end reached, or an
// event set); ready[i] tells which. kNoWaitObject entries are skipped.
void WaitReady(const std::vector<WaitObject>& objects, int timeoutMs, std::vector<bool>* ready);

// Standard input, read without blocking the caller's loop (a barcode scanner's lines).
class StandardInput {
  public:
    StandardInput();
    ~StandardInput();
    StandardInput(const StandardInput&) = delete;
    StandardInput& operator=(const StandardInput&) = delete;
    // What to wait on; kNoWaitObject once the input ended.
    WaitObject Wait() const;
    // Appends what came. False once the input has ended.
    bool ReadAvailable(std::string* into);

  private:
    struct State;
    std::unique_ptr<State> state_;
};

// Opens /dev/null on each of the standard descriptors (0 to 2) that is closed, so that no file
// opened later takes one of their numbers: a child's standard input or output would replace it.
// Nothing to do on Windows.
void KeepStandardDescriptors();
// A write to a pipe whose reader has gone, or past the file-size limit, fails with an error
// instead of ending the process (SIGPIPE, SIGXFSZ): a program that keeps records must not die
// of a closed terminal pipe. Children started by Process get the default actions back.
void IgnoreWriteSignals();

// The machine's host name ("" when the system gives none).
std::string HostName();

// The path of the program running in this process ("" when it cannot be found).
std::string OwnProgramPath();
// The program's file name as the system runs it: "vbcflash-cli", "vbcflash-cli.exe".
std::string ProgramFileName(const std::string& stem);
// True when path names a file this process may run.
bool CanRun(const std::string& path);

// Changes the current directory. False (and error) when it cannot.
bool ChangeDirectory(const std::string& path, std::string* error);

// The job's wake-up as a wait object (JobStopWakeFd or JobStopWakeEvent).
WaitObject JobStopWaitObject();

}  // namespace vbc::platform
