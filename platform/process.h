// Worker processes: a program started with its standard output and standard error on one pipe
// that this process reads without blocking, signalled and reaped by its owner. A worker ends
// with SIGTERM when the process that started it dies, so a station killed outright leaves no
// job running on a port.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/uniquefd.h"

namespace vbc::platform {

struct ProcessEnd {
    bool exited = false;  // ended by exit(): code holds its status
    int code = 0;
    int signal = 0;  // else the signal that ended it
};

class Process {
  public:
    Process() = default;
    ~Process();  // a worker still running is killed and reaped
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    // argv[0] is the program's path. The child gets no descriptor of this process but its
    // standard ones and keepFd (when not negative). False (and error) when it cannot be started.
    bool Start(const std::vector<std::string>& argv, std::string* error, int keepFd = -1);
    bool Running() const { return pid_ > 0; }
    int Id() const { return pid_; }

    // The pipe to wait on for output, -1 once it ended.
    int OutputFd() const { return out_.Get(); }
    // Appends what the pipe holds now. False once it has ended (the worker closed it).
    bool ReadAvailable(std::string* into);

    // Asks the worker to stop its job (SIGTERM, as an operator's kill would).
    void RequestStop();
    // Ends it at once (SIGKILL).
    void Kill();
    // How it ended, once it has; nothing while it runs.
    std::optional<ProcessEnd> TryReap();

  private:
    int pid_ = -1;
    UniqueFd out_;
};

// Waits up to timeoutMs for one of fds to become readable (or reach its end); readable[i] tells
// which. Negative descriptors are skipped.
void WaitReadable(const std::vector<int>& fds, int timeoutMs, std::vector<bool>* readable);

// Opens /dev/null on each of the standard descriptors (0 to 2) that is closed, so that no file
// opened later takes one of their numbers: a child's standard input or output would replace it.
void KeepStandardDescriptors();
// A write to a pipe whose reader has gone, or past the file-size limit, fails with an error
// instead of ending the process (SIGPIPE, SIGXFSZ): a program that keeps records must not die
// of a closed terminal pipe. Children started by Process get the default actions back.
void IgnoreWriteSignals();

// The machine's host name ("" when the system gives none).
std::string HostName();

// The path of the program running in this process ("" when it cannot be found).
std::string OwnProgramPath();

}  // namespace vbc::platform
