// What the console front ends need to know of the terminal they write to.
#pragma once

#include <cstdio>

namespace vbc::platform {

// True when the stream is a terminal (a console window on Windows).
bool IsTerminal(std::FILE* stream);

// Makes the terminal behind the stream take the ANSI escapes the progress bar redraws with
// (a Windows console needs to be asked); false when it cannot, and the bar is then redrawn
// with carriage returns and blanks only.
bool EnableTerminalEscapes(std::FILE* stream);

// Calls handler, once each, on SIGINT and SIGTERM (Ctrl-C, in a Windows console too): a second one
// ends the program at once. The job's stop wake-up is made ready first, so that the handler can use
// it.
using StopSignalHandler = void (*)(int);
void CatchStopSignals(StopSignalHandler handler);

}  // namespace vbc::platform
