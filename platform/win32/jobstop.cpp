// The Win32 wake-up of waits on a stop request: a manual-reset event that the serial backend
// waits on beside its overlapped I/O. Set from the console's control handler thread too.
#include <windows.h>

#include <atomic>
#include <mutex>

#include "platform/jobstop.h"

namespace vbc::platform {
namespace {

std::atomic<HANDLE> gWakeEvent{nullptr};

}  // namespace

namespace detail {

void SignalJobStopWake() {
    if (HANDLE e = gWakeEvent.load()) ::SetEvent(e);
}

void ResetJobStopWake() {
    if (HANDLE e = gWakeEvent.load()) ::ResetEvent(e);
}

}  // namespace detail

void* JobStopWakeEvent() {
    static std::once_flag once;
    std::call_once(once, [] {
        HANDLE e = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (!e) return;
        gWakeEvent.store(e);
        // A request made before the event existed still wakes the first wait.
        if (JobStopRequested()) ::SetEvent(e);
    });
    return gWakeEvent.load();
}

}  // namespace vbc::platform
