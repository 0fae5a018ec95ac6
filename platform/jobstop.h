// Stopping a running job. The operator asks (a Stop button, Ctrl-C); every wait of the serial
// layer sees the request within kJobWaitSliceMs and ends with kComErrStopped, so the job
// winds down through its ordinary failure paths and releases the port as after any result.
#pragma once

namespace vbc {

// Asks the running job to stop. Safe to call from a signal handler.
void RequestJobStop();
bool JobStopRequested();
// Forgets the request (the job it was for has ended).
void ClearJobStop();

// True from SetJobRunning(true) to SetJobRunning(false): a Start job is under way. The Stop
// controls act only then, and only then do waits run the wait hook below.
void SetJobRunning(bool running);
bool JobRunning();

}  // namespace vbc

namespace vbc::platform {

// The longest a wait of the serial layer blocks before it looks for a stop request again.
constexpr int kJobWaitSliceMs = 100;

// Run between two slices of a wait while a job runs. A front end with windows installs one
// that processes its events, so that a Stop button can be pressed while the line waits.
using JobWaitHook = void (*)();
void SetJobWaitHook(JobWaitHook hook);

// True while a job runs with a hook installed: waits are then cut into slices.
bool JobWaitHookActive();
// Between two slices of a wait: runs the hook (while a job runs) and tells whether the job
// must stop.
bool JobWaitTick();

// POSIX (platform/posix/jobstop.cpp): a descriptor that turns readable when a stop is requested,
// for waits that sleep in poll(); -1 when the system could not give one (waits then see the
// request at their next start).
int JobStopWakeFd();
// Win32 (platform/win32/jobstop.cpp): a manual-reset event (a HANDLE) set when a stop is
// requested, for waits that sleep in WaitForMultipleObjects; null when none could be made.
void* JobStopWakeEvent();
// Empties that descriptor (resets the event) after a wake-up whose request was withdrawn
// meanwhile.
void DrainStaleJobStopWake();

namespace detail {
// The system's side of RequestJobStop and ClearJobStop: wake the waits, and forget a wake-up.
void SignalJobStopWake();
void ResetJobStopWake();
}  // namespace detail

}  // namespace vbc::platform
