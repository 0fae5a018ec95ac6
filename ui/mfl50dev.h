// Start-up of the program: the toolkit's run-time, the main panel with its menu bar, the
// flash description file, then the event loop. Also the program's table of callbacks by name.
#pragma once

#include <cstdint>
#include <string>

namespace vbc {

// The program's entry: returns -1 when the toolkit's run-time cannot start (nothing shown),
// else 0 once the event loop ends. The front end installs its toolkit backend (and, when it
// has one, its run-time functions) before calling it. A softwareFile (the desktop program's
// argument, as opening a .cla file passes it) is loaded once the main panel is up, as Load
// file loads it.
int _main(int argc, char* argv[], const char* softwareFile = nullptr);

// The desktop program's arguments after --help and --version, which it answers first: at most
// one software file, "--" ending the options. error is the usage error, or empty.
struct ProgramArguments {
    std::string softwareFile;
    std::string error;
};
ProgramArguments ParseProgramArguments(int argc, const char* const argv[]);

// Start-up after the run-time has started: registers the program's callbacks, loads and shows
// the main panel, loads its menu bar and reads flash.txt, showing a failure on the
// flash-description error panel. Returns what the flash.txt read returned (1 = read), so that
// a front end without an operator can stop there.
std::int32_t StartMainPanel();

// Every callback the panel resources name, registered with the toolkit by name.
void RegisterProgramCallbacks();

// The toolkit's run-time as the front end provides it. start gets the command-line arguments
// and returns 0 when the run-time cannot start; release is called by the Quit button from
// within the event loop, so it must leave alone whatever the running loop still uses.
// Without them (nullptr) the installed toolkit is the whole run-time: it always starts and
// there is nothing to release.
using RunTimeStartFn = int (*)(int argc, char* argv[]);
using RunTimeReleaseFn = void (*)();
void SetToolkitRunTime(RunTimeStartFn start, RunTimeReleaseFn release);
int StartToolkitRunTime(int argc, char* argv[]);
void ReleaseToolkitRunTime();

}  // namespace vbc
