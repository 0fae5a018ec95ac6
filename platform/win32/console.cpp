#include <io.h>
#include <windows.h>

#include <csignal>

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

void CatchStopSignals(StopSignalHandler handler) {
    JobStopWakeEvent();  // before any signal can want it
    // The C run-time maps the console's Ctrl-C to SIGINT and resets the handler before it
    // runs it: a second Ctrl-C ends the program.
    std::signal(SIGINT, handler);
    std::signal(SIGTERM, handler);
}

}  // namespace vbc::platform
