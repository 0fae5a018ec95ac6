// vbcsim's command line: its options, their help, and the checks on their values. The program
// and the tests that start the simulator in-process read the same options the same way.
#pragma once

#include <string>
#include <vector>

#include "sim/simulator.h"

namespace vbc::sim {

struct CommandLine {
    // Serve with the options; otherwise the program stops with exitStatus once it has written
    // out to standard output and err to standard error (after --help, or on a malformed
    // command line).
    bool run = false;
    int exitStatus = 0;
    std::string out;
    std::string err;
};

// Sets *options from the command line, the defaults where it says nothing; argv[0] is the
// program's name, as the help shows it.
CommandLine ParseCommandLine(int argc, const char* const argv[], SimulatorOptions* options);
CommandLine ParseCommandLine(const std::vector<std::string>& argv, SimulatorOptions* options);

}  // namespace vbc::sim
