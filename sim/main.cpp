// vbcsim: a VBC4410 phone (ROM boot loader, bootstrap, NOR flash) on a pseudo-terminal.
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <thread>

#include "sim/commandline.h"
#include "sim/simulator.h"

int main(int argc, char** argv) {
    vbc::sim::SimulatorOptions o;
    const vbc::sim::CommandLine command = vbc::sim::ParseCommandLine(argc, argv, &o);
    if (!command.run) {
        std::fwrite(command.out.data(), 1, command.out.size(), stdout);
        std::fwrite(command.err.data(), 1, command.err.size(), stderr);
        return command.exitStatus;
    }
    o.out = stdout;
    o.log = stderr;

    // A reader that goes away (a script that only wanted the slave's path) is no reason to die.
    ::signal(SIGPIPE, SIG_IGN);

    // Signals are taken by one thread that stops the simulator; every other thread blocks them.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP);
    sigaddset(&signals, SIGUSR1);  // sent to ourselves once the simulator ends by itself
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    vbc::sim::Simulator sim(o);
    std::string why;
    if (!sim.Start(&why)) {
        std::fprintf(stderr, "vbcsim: %s\n", why.c_str());
        return 1;
    }
    // Once the simulator ends by itself (--once), wake the wait below; a signal that
    // arrives first stops it instead and leaves this one pending, blocked, harmless.
    std::thread stopper([&] {
        sim.Wait();
        ::kill(::getpid(), SIGUSR1);
    });
    int sig = 0;
    sigwait(&signals, &sig);
    sim.Stop();
    stopper.join();
    const std::string error = sim.Error();
    if (!error.empty()) return 1;
    return 0;
}
