// What the sector download costs on a real line: a whole download against the paced phone
// simulator (in-process, on a pseudo-terminal that carries each byte in the line's time),
// after the real boot and speed change.
//
//   line_s        the line's own time: every byte of the download, both ways, at 10 bits
//                 a byte at the job's rate
//   wall_s        how long the download took
//   added_pct     (wall - line) / line: what the PC side adds to the line (target < 1 %)
//   pc_cpu_pct    CPU time of the downloading thread / wall time (target < 2 % of a core);
//                 the simulator runs on threads of its own and is not counted
//   sim_cpu_pct   the rest of the process's CPU time (the simulator), for reference
//   ui_gap_ms     the longest time the operator interface went without processing events
//
//   download_bench                                  (256 KiB at 115200, 1 MiB at 302325)
//   download_bench --benchmark_filter=KiB:256       (the shorter run only)
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "core/context.h"
#include "data/mfl10fla.h"
#include "link/mfl11command.h"
#include "link/mfl12pclib.h"
#include "link/mfl1boot.h"
#include "platform/serial.h"
#include "sim/simulator.h"
#include "testing/recordingtoolkit.h"
#include "ui/mfl52display.h"
#include "ui/uirids.h"

namespace {

namespace fs = std::filesystem;

double ThreadCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

double ProcessCpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// A scratch working directory with the files the boot and the simulator read.
class WorkDir {
  public:
    WorkDir() {
        old_ = fs::current_path();
        std::string tmpl = (fs::temp_directory_path() / "vbcbench.XXXXXX").string();
        if (!::mkdtemp(tmpl.data())) std::abort();
        path_ = tmpl;
        const fs::path examples = fs::path(VBC_SOURCE_DIR) / "examples";
        for (const char* f : {"flash.txt", "mfl104_4.spm", "mfl104_5.spm"})
            fs::copy_file(examples / f, path_ / f);
        fs::current_path(path_);
    }
    ~WorkDir() {
        std::error_code ec;
        fs::current_path(old_, ec);
        fs::remove_all(path_, ec);
    }

  private:
    fs::path old_;
    fs::path path_;
};

std::vector<std::uint8_t> Image(std::size_t n) {
    std::vector<std::uint8_t> v(n);
    std::uint32_t x = 1;
    for (auto& b : v) {
        x = x * 1664525u + 1013904223u;
        b = static_cast<std::uint8_t>(x >> 24);
    }
    return v;
}

// Bytes both ways for the download of length bytes: per sector the 13-byte command and its
// data from the PC, 0xCB and 0xCC with 4 checksum bytes from the phone.
std::uint64_t WireBytes(const vbc::DownloadContext& c, std::uint32_t length) {
    vbc::SectorList list;
    if (vbc::_mfl10_3GetSectorList(c.targetInfo[2], c.targetInfo[3], 0, length, &list) != 1)
        return 0;
    return length + static_cast<std::uint64_t>(list.count) * (13 + 1 + 5);
}

void BM_PacedDownload(benchmark::State& state) {
    const auto length = static_cast<std::uint32_t>(state.range(0) * 1024);
    const int row = static_cast<int>(state.range(1));
    WorkDir dir;
    if (vbc::_mfl10_100InitFlashDescription() != 1) {
        state.SkipWithError("cannot read flash.txt");
        return;
    }
    vbc::sim::SimulatorOptions options;
    options.flashTxt = "flash.txt";
    options.pace = true;
    auto sim = std::make_unique<vbc::sim::Simulator>(options);
    std::string why;
    if (!sim->Start(&why)) {
        state.SkipWithError(why.c_str());
        return;
    }
    // The interface's event pump, timed.
    vbc::platform::RecordingToolkit toolkit;
    vbc::platform::ScopedToolkit use(toolkit);
    vbc::_v_Panel = vbc::LoadPanel(0, vbc::kMmiUir, vbc::PANEL_MAIN);
    using Clock = std::chrono::steady_clock;
    Clock::time_point lastEvents{};
    double uiGap = 0;
    toolkit.SetEventHook([&] {
        const auto now = Clock::now();
        if (lastEvents != Clock::time_point{})
            uiGap = std::max(uiGap, std::chrono::duration<double>(now - lastEvents).count());
        lastEvents = now;
    });

    const auto image = Image(length);
    double wall = 0, line = 0, pcCpu = 0, processCpu = 0;
    for (auto _ : state) {
        vbc::ResetDownloadContext();
        vbc::DownloadContext& c = vbc::_sg_DownloadContext;
        c.comPort = 1;
        c.productType = 1;  // the shorter bootstrap
        c.speedIndex = row;
        vbc::DownloadResult r{-1, -1};
        vbc::_mfl1_0boot(&r, &c);
        if (r.category != 0) {
            state.SkipWithError("the boot failed");
            break;
        }
        if (vbc::_mfl11_8SetGPIO(c) != 1 || vbc::_mfl11_0SetSpeedAndPMU(c) != 1) {
            state.SkipWithError("the speed change failed");
            break;
        }

        lastEvents = Clock::now();
        const double cpu0 = ThreadCpuSeconds();
        const double proc0 = ProcessCpuSeconds();
        const auto w0 = std::chrono::steady_clock::now();
        vbc::_mfl11_54Download(&r, c, length, image.data(), vbc::_sg_FlashAddr);
        const auto w1 = std::chrono::steady_clock::now();
        uiGap = std::max(uiGap, std::chrono::duration<double>(w1 - lastEvents).count());
        const double cpu1 = ThreadCpuSeconds();
        const double proc1 = ProcessCpuSeconds();

        vbc::_mfl11_7SwitchOffCommand(c.comPort);
        vbc::_mfl12_1UartStop(static_cast<std::uint8_t>(c.comPort));
        if (r.category != 0) {
            state.SkipWithError("the download failed");
            break;
        }
        const double w = std::chrono::duration<double>(w1 - w0).count();
        state.SetIterationTime(w);
        wall += w;
        line += static_cast<double>(WireBytes(c, length)) * 10.0 /
                static_cast<double>(vbc::_a_PCSpeedValue[row]);
        pcCpu += cpu1 - cpu0;
        processCpu += proc1 - proc0;
    }
    sim->Stop();
    vbc::platform::CloseAllPorts();
    if (wall <= 0 || line <= 0) return;
    state.counters["rate"] = static_cast<double>(vbc::_a_PCSpeedValue[row]);
    state.counters["line_s"] = line;
    state.counters["wall_s"] = wall;
    state.counters["added_pct"] = 100.0 * (wall - line) / line;
    state.counters["pc_cpu_ms"] = pcCpu * 1000.0;
    state.counters["pc_cpu_pct"] = 100.0 * pcCpu / wall;
    state.counters["sim_cpu_pct"] = 100.0 * (processCpu - pcCpu) / wall;
    state.counters["ui_gap_ms"] = uiGap * 1000.0;
}
BENCHMARK(BM_PacedDownload)
    ->ArgNames({"KiB", "row"})
    ->Args({256, 1})
    ->Args({1024, 8})
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);

}  // namespace
