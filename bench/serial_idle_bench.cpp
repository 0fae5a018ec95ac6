// What a read costs while it waits for a phone that says nothing: the process's CPU time
// (user + system) over a ComRdByte that runs into its time-out, on a real pseudo-terminal.
// A spinning wait shows as a share near 100 %; a sleeping one near 0.
//
//   serial_idle_bench                              (5 s time-out, the boot's)
//   serial_idle_bench --benchmark_filter=/1000     (a shorter run)
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>

#include <benchmark/benchmark.h>

#include "platform/serial.h"

namespace {

double CpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

void BM_IdleRead(benchmark::State& state) {
    const int timeoutMs = static_cast<int>(state.range(0));
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        state.SkipWithError("no pseudo-terminal");
        return;
    }
    vbc::platform::BindPortDevice(1, ptsname(master));
    if (vbc::OpenComConfig(1, "COM1", 38400, vbc::kParityEven, 8, 1, 65536, 65536) != 0) {
        state.SkipWithError("cannot open the pseudo-terminal");
        close(master);
        return;
    }
    vbc::SetComTime(1, timeoutMs / 1000.0);
    double cpu = 0;
    double wall = 0;
    for (auto _ : state) {
        const double c0 = CpuSeconds();
        const auto w0 = std::chrono::steady_clock::now();
        const int r = vbc::ComRdByte(1);
        const auto w1 = std::chrono::steady_clock::now();
        const double c1 = CpuSeconds();
        if (r != vbc::kComTimeout) state.SkipWithError("the read did not time out");
        const double w = std::chrono::duration<double>(w1 - w0).count();
        state.SetIterationTime(w);
        cpu += c1 - c0;
        wall += w;
    }
    state.counters["cpu_ms"] = benchmark::Counter(cpu * 1000.0, benchmark::Counter::kAvgIterations);
    state.counters["cpu_percent_of_core"] = wall > 0 ? 100.0 * cpu / wall : 0.0;
    vbc::CloseCom(1);
    vbc::platform::ClearPortBindings();
    close(master);
}
BENCHMARK(BM_IdleRead)
    ->Arg(5000)
    ->Arg(1000)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
