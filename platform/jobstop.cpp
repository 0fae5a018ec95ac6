// Stopping a running job: the request and the job's state. How a request wakes a wait that
// sleeps on the line is the system's (platform/posix/jobstop.cpp, platform/win32/jobstop.cpp).
#include "platform/jobstop.h"

#include <atomic>

namespace vbc {
namespace {

// Lock-free, so that a signal handler may set it.
std::atomic<bool> gStopRequested{false};
static_assert(std::atomic<bool>::is_always_lock_free);

bool gJobRunning = false;
platform::JobWaitHook gHook = nullptr;

}  // namespace

void RequestJobStop() {
    gStopRequested.store(true);
    platform::detail::SignalJobStopWake();
}

bool JobStopRequested() {
    return gStopRequested.load();
}

void ClearJobStop() {
    gStopRequested.store(false);
    platform::detail::ResetJobStopWake();
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

void DrainStaleJobStopWake() {
    if (!gStopRequested.load()) detail::ResetJobStopWake();
}

}  // namespace vbc::platform
