#include <io.h>
#include <windows.h>

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <cwchar>
#include <thread>

#include "platform/console.h"
#include "platform/jobstop.h"

namespace vbc::platform {

bool IsTerminal(std::FILE* stream) {
    DWORD mode = 0;
    return ::GetConsoleMode(reinterpret_cast<HANDLE>(::_get_osfhandle(::_fileno(stream))), &mode);
}

bool EnableTerminalEscapes(std::FILE* stream) {
    const HANDLE h = reinterpret_cast<HANDLE>(::_get_osfhandle(::_fileno(stream)));
    DWORD mode = 0;
    if (!::GetConsoleMode(h, &mode)) return false;
    if (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) return true;
    // Windows 10 and later; older consoles refuse, and show escapes as text.
    return ::SetConsoleMode(h, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

namespace {

std::atomic<StopSignalHandler> gHandler{nullptr};
std::atomic<int> gControls{0};

// Ctrl-C is SIGINT; Ctrl-Break, the console window's close box, a log-off and a shut-down are
// SIGTERM. A second one ends the program at once (the default handler), as on POSIX.
BOOL WINAPI OnConsoleControl(DWORD type) {
    const StopSignalHandler handler = gHandler.load();
    if (!handler || gControls++ > 0) return FALSE;
    handler(type == CTRL_C_EVENT ? SIGINT : SIGTERM);
    if (type == CTRL_CLOSE_EVENT || type == CTRL_LOGOFF_EVENT || type == CTRL_SHUTDOWN_EVENT) {
        // The system ends the process when this returns: the program's own end (the stopped
        // phones logged) ends it first, within the seconds the system grants.
        ::Sleep(INFINITE);
    }
    return TRUE;
}

// A worker's stop: the event its station made and handed down (platform/win32/process.cpp).
void WatchInheritedStopEvent(StopSignalHandler handler) {
    const wchar_t* value = ::_wgetenv(L"VBCFLASH_STOP_EVENT");
    if (!value || !*value) return;
    wchar_t* end = nullptr;
    const unsigned long long raw = std::wcstoull(value, &end, 10);
    ::SetEnvironmentVariableW(L"VBCFLASH_STOP_EVENT", nullptr);  // not for our own children
    const HANDLE event = reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(raw));
    if (*end != L'\0' || !event || ::WaitForSingleObject(event, 0) == WAIT_FAILED) return;
    std::thread([event, handler] {
        if (::WaitForSingleObject(event, INFINITE) == WAIT_OBJECT_0) handler(SIGTERM);
    }).detach();
}

}  // namespace

void CatchStopSignals(StopSignalHandler handler) {
    JobStopWakeEvent();  // before any signal can want it
    gHandler.store(handler);
    ::SetConsoleCtrlHandler(OnConsoleControl, TRUE);
    WatchInheritedStopEvent(handler);
}

}  // namespace vbc::platform
