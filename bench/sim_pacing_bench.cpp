// How long one sector takes through the simulator over a pseudo-terminal at 115200 bit/s:
// paced, against the line's own time (every byte at 10 bits), and unpaced, as fast as the
// pseudo-terminal goes. A bare PC (no tool modules) drives boot, speed change and the sector.
// Set VBC_BENCH_FULL=1 to add the paced 1 MiB sector (about 91 s).
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <chrono>
#include <cstdlib>
#include <memory>

#include "sim/minipc.h"
#include "sim/simulator.h"
#include "tests/flashtxt.h"
#include "tests/testutil.h"

namespace {

using vbc::sim::MiniPc;
using vbc::sim::Simulator;
using vbc::sim::SimulatorOptions;

constexpr long kRate = 115200;

// CPU seconds of the whole process (the simulator's thread and the bare PC).
double ProcessCpu() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}
constexpr std::uint32_t kSector = 1u << 20;
const std::uint8_t kRow1[3] = {0x00, 0xFF, 0xF9};

void SectorTransfer(benchmark::State& state) {
    const auto size = static_cast<std::uint32_t>(state.range(0));
    const bool paced = state.range(1) != 0;
    vbc::test::ScratchDir dir;
    vbc::test::WriteFile("flash.txt", vbc::test::FlashTxt({{.manufacturerName = "BENCH",
                                                            .deviceName = "4M",
                                                            .manufacturerId = "32",
                                                            .deviceId = "202",
                                                            .sectorCount = "4",
                                                            .sectors = {"0-3*1048576*0"}}}));
    std::vector<std::uint8_t> data(size);
    for (std::uint32_t i = 0; i < size; ++i) data[i] = static_cast<std::uint8_t>(i * 31 + (i >> 9));
    const std::uint8_t waitStates[4] = {0, 0, 0, 0};
    const std::vector<std::uint8_t> spm(256, 0x5A);

    for (auto _ : state) {
        SimulatorOptions options;
        options.pace = paced;
        Simulator sim(options);
        std::string why;
        MiniPc pc;
        pc.timeoutMs = 200000;
        if (!sim.Start(&why) || !pc.Open("COM1", &why) ||
            !pc.Boot(2, spm, waitStates, nullptr, &why) || !pc.ChangeSpeed(kRow1, kRate, &why)) {
            state.SkipWithError(why.c_str());
            return;
        }
        std::uint8_t answer = 0;
        std::uint32_t sum = 0;
        const double cpu = ProcessCpu();
        const auto start = std::chrono::steady_clock::now();
        const bool ok =
            pc.DownloadSector(0x800000, kSector, data.data(), size, &answer, &sum, &why);
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        state.SetIterationTime(took.count());
        if (!ok || answer != 0xCC) {
            state.SkipWithError(ok ? "the sector was not confirmed" : why.c_str());
            return;
        }
        pc.SwitchOff(&why);
        // Command, data, 0xCB and 0xCC with its checksum: 10 bits a byte on the line.
        const double line = (13.0 + size + 1 + 5) * 10 / kRate;
        state.counters["line_s"] = line;
        state.counters["vs_line"] = took.count() / line;
        state.counters["MiB_per_s"] = size / took.count() / (1 << 20);
        state.counters["cpu_share"] = (ProcessCpu() - cpu) / took.count();
    }
}

void Args(benchmark::internal::Benchmark* b) {
    b->Args({64 << 10, 1})->Args({1 << 20, 0});
    if (std::getenv("VBC_BENCH_FULL")) b->Args({1 << 20, 1});
    b->ArgNames({"bytes", "paced"})->UseManualTime()->Iterations(1)->Unit(benchmark::kSecond);
}

BENCHMARK(SectorTransfer)->Apply(Args);

}  // namespace
