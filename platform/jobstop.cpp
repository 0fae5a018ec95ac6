#include "platform/jobstop.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <mutex>

namespace vbc {
namespace {

// Lock-free, so that a signal handler may set them.
std::atomic<bool> gStopRequested{false};
std::atomic<int> gWakeRead{-1};
std::atomic<int> gWakeWrite{-1};
static_assert(std::atomic<bool>::is_always_lock_free && std::atomic<int>::is_always_lock_free);

bool gJobRunning = false;
platform::JobWaitHook gHook = nullptr;

void DrainWake() {
    const int fd = gWakeRead.load();
    if (fd < 0) return;
    char bytes[64];
    while (::read(fd, bytes, sizeof bytes) > 0) {
    }
}

}  // namespace

void RequestJobStop() {
    gStopRequested.store(true);
    // write() is safe in a signal handler; a full pipe is awake already.
    const int fd = gWakeWrite.load();
    if (fd >= 0) {
        const int saved = errno;
        const char byte = 1;
        [[maybe_unused]] const ssize_t n = ::write(fd, &byte, 1);
        errno = saved;
    }
}

bool JobStopRequested() {
    return gStopRequested.load();
}

void ClearJobStop() {
    gStopRequested.store(false);
    DrainWake();
}

void SetJobRunning(bool running) {
    gJobRunning = running;
}

bool JobRunning() {
    return gJobRunning;
}

}  // namespace vbc

namespace vbc::platform {

void SetJobWaitHook(JobWaitHook hook) {
    gHook = hook;
}

bool JobWaitHookActive() {
    return gJobRunning && gHook;
}

bool JobWaitTick() {
    if (JobWaitHookActive()) gHook();
    return JobStopRequested();
}

int JobStopWakeFd() {
    static std::once_flag once;
    std::call_once(once, [] {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return;
        gWakeRead.store(fds[0]);
        gWakeWrite.store(fds[1]);
        // A request made before the pipe existed still wakes the first wait.
        if (gStopRequested.load()) RequestJobStop();
    });
    return gWakeRead.load();
}

void DrainStaleJobStopWake() {
    if (!gStopRequested.load()) DrainWake();
}

}  // namespace vbc::platform
