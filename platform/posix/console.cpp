#include <signal.h>
#include <unistd.h>

#include "platform/console.h"
#include "platform/jobstop.h"

namespace vbc::platform {

bool IsTerminal(std::FILE* stream) {
    return ::isatty(::fileno(stream)) == 1;
}

bool EnableTerminalEscapes(std::FILE* stream) {
    return IsTerminal(stream);
}

void CatchStopSignals(StopSignalHandler handler) {
    JobStopWakeFd();  // before any signal can want it
    struct sigaction action = {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESETHAND;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

}  // namespace vbc::platform
