// The POSIX wake-up of waits on a stop request: a self-pipe that poll() watches beside the line.
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <mutex>

#include "platform/jobstop.h"

namespace vbc::platform {
namespace {

// Lock-free, so that a signal handler may read them.
std::atomic<int> gWakeRead{-1};
std::atomic<int> gWakeWrite{-1};
static_assert(std::atomic<int>::is_always_lock_free);

}  // namespace

namespace detail {

void SignalJobStopWake() {
    // write() is safe in a signal handler; a full pipe is awake already.
    const int fd = gWakeWrite.load();
    if (fd >= 0) {
        const int saved = errno;
        const char byte = 1;
        [[maybe_unused]] const ssize_t n = ::write(fd, &byte, 1);
        errno = saved;
    }
}

void ResetJobStopWake() {
    const int fd = gWakeRead.load();
    if (fd < 0) return;
    char bytes[64];
    while (::read(fd, bytes, sizeof bytes) > 0) {
    }
}

}  // namespace detail

int JobStopWakeFd() {
    static std::once_flag once;
    std::call_once(once, [] {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return;
        gWakeRead.store(fds[0]);
        gWakeWrite.store(fds[1]);
        // A request made before the pipe existed still wakes the first wait.
        if (JobStopRequested()) detail::SignalJobStopWake();
    });
    return gWakeRead.load();
}

}  // namespace vbc::platform
