// One whole job as the operator runs it, against a phone that takes the line's time: the
// vbcflash-cli process writes a software image into vbcsim --pace (a process of its own, so its
// CPU is not counted as the PC's), from the boot to the switch-off, at the rate of a row of the
// speed table (115200 bit/s by default).
//
//   job_bench [--size N[K|M]] [--speed ROW] [--cli PATH] [--sim PATH] [--examples DIR] [--verify]
//   job_bench --dump MAN:DEV [--speed ROW] [--cli PATH] [--sim PATH] [--examples DIR]
//
// --station N runs N paced phones at once (COM1...COMN) under vbcflash-station --once instead
// of one vbcflash-cli: wall_s is the station's, pc_cpu_s the station's and its workers' (not the
// phones'), pc_peak_mib the largest of them and station_peak_mib the station's own (VmHWM),
// whose target memory_limit_mib is then 20 MiB + one image.
//
// --verify runs the job with vbcflash-cli --verify (every byte read back in 64 KiB reads);
// --dump reads the whole flash of the chip with these codes (vbcflash-cli --dump) instead of
// writing, against a phone whose flash holds an image of its size; image_bytes is then the
// flash's size and sectors 0.
//
// It prints one "name value" line per figure:
//
//   image_bytes        the software's size (default 4 MiB)
//   speed_row          the row of the speed table (vbcflash-cli --speed; default 1)
//   line_rate          its PC rate in bit/s, which the simulator must report it paced at
//   sectors            sectors written
//   line_s             the line's own time: every byte of the job on the wire at its rate and
//                      bits per byte (11 at 38400 bit/s with even parity during the boot, the
//                      GPIO command of rows 3 and up and the speed-change command, 10 at the
//                      row's rate after it), both directions
//   boot_line_s        the part of it before the speed change
//   wall_s             the job's wall time, from starting vbcflash-cli to its exit
//   over_line_pct      (wall - line) / line (target: within 1 %)
//   pc_cpu_s           user and system CPU time of the vbcflash-cli process
//   pc_cpu_pct         pc_cpu_s / wall_s, in % of one core (target: under 2 %)
//   pc_peak_mib        peak resident memory of the vbcflash-cli process (getrusage ru_maxrss)
//   memory_limit_mib   3 x the image + 20 MiB, the target for pc_peak_mib
//
// The job must succeed and the phone's flash must hold the image afterwards; otherwise the
// program says why and exits 1.
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "data/mfl10fla.h"
#include "link/mfl12pclib.h"
#include "sim/phone.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

[[noreturn]] void Fail(const std::string& why) {
    std::fprintf(stderr, "job_bench: %s\n", why.c_str());
    std::exit(1);
}

std::string ReadText(const fs::path& path) {
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

void WriteBytes(const fs::path& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
    if (!f) Fail("cannot write " + path.string());
}

std::uint64_t ParseSize(const std::string& text) {
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    std::uint64_t scale = 1;
    if (*end == 'K' || *end == 'k') scale = 1024, ++end;
    if (*end == 'M' || *end == 'm') scale = 1024 * 1024, ++end;
    if (end == text.c_str() || *end != '\0' || v <= 0) Fail("--size: '" + text + "' is not a size");
    return static_cast<std::uint64_t>(v * static_cast<double>(scale));
}

// A child process in the current directory, standard output into a file or a pipe.
struct Child {
    pid_t pid = -1;
    int out = -1;  // the pipe's reading end, when piped
};

Child Spawn(const std::vector<std::string>& args, const char* outFile, const char* errFile) {
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    Child child;
    int fds[2] = {-1, -1};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (outFile) {
        posix_spawn_file_actions_addopen(&actions, 1, outFile, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    } else {
        if (::pipe2(fds, O_CLOEXEC) != 0) Fail("pipe");
        posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    }
    posix_spawn_file_actions_addopen(&actions, 2, errFile, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (posix_spawn(&child.pid, argv[0], &actions, nullptr, argv.data(), environ) != 0)
        Fail("cannot start " + args[0]);
    posix_spawn_file_actions_destroy(&actions);
    if (fds[1] >= 0) ::close(fds[1]);
    child.out = fds[0];
    return child;
}

// The next line of a piped output, waiting up to timeoutMs; "" when none comes.
std::string ReadLine(int fd, int timeoutMs) {
    std::string line;
    char c = 0;
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, timeoutMs) <= 0 || ::read(fd, &c, 1) != 1) return "";
        if (c == '\n') return line;
        line += c;
    }
}

double Seconds(const timeval& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
}

// What goes over the line in one job of this image, in seconds at each rate.
struct LineTime {
    double boot = 0;
    double total = 0;
    int sectors = 0;
};

// The line time of reading length bytes with read commands of at most 64 KiB: per read the
// opcode, its answer, the parameters, their answer, the data and the checksum.
double ReadBytes(std::uint64_t length) {
    const std::uint64_t reads = (length + 65535) / 65536;
    return static_cast<double>(length) + static_cast<double>(reads) * (1 + 1 + 8 + 1 + 4);
}

enum class Mode { kWrite, kVerify, kDump };

// chip: the flash the simulator reports (the first of flash.txt unless --dump chose one).
LineTime JobLineTime(const std::string& flashTxt, std::uint32_t spmSize, std::uint32_t length,
                     Mode mode, const std::uint8_t* codes, int row) {
    using namespace vbc;
    const auto* data = reinterpret_cast<const std::uint8_t*>(flashTxt.data());
    if (ParseFlashDescription(&_vg_FlashDescritpion, data,
                              static_cast<std::uint32_t>(flashTxt.size())) != 1 ||
        _vg_FlashDescritpion.count == 0)
        Fail("cannot read flash.txt");
    const FlashDescription* found = &_vg_FlashDescritpion.descriptions[0];
    for (int i = 0; codes && i < _vg_FlashDescritpion.count; ++i) {
        const FlashDescription& d = _vg_FlashDescritpion.descriptions[i];
        if (d.manufacturerId == codes[0] && d.deviceId == codes[1]) found = &d;
    }
    const FlashDescription& chip = *found;
    SectorList list;
    if (mode != Mode::kDump &&
        _mfl10_3GetSectorList(chip.manufacturerId, chip.deviceId, 0, length, &list) != 1)
        Fail("the image does not fit the first chip of flash.txt");

    constexpr double kBootByte = 11.0 / 38400;           // start, 8 data, even parity, stop
    const double jobByte = 10.0 / _a_PCSpeedValue[row];  // start, 8 data, stop
    // Boot loader: its announcement; the PC's answer, the product type 2 configuration and
    // extended mode (8 + 6 + 3), the set-address, block and jump frames around the bootstrap.
    double boot = 1 + 1 + (8 + 6 + 3) + (6 + 2 + spmSize + 6 + 2);
    // Bootstrap: acknowledge and version, flash identification (and extension byte).
    boot += 4 + 3 + (sim::HasExtensionByte(chip.manufacturerId, chip.deviceId) ? 1 : 0);
    // The GPIO command of the fast rows and its two answers, then the change-speed command and
    // its parameters with their answers, still at the boot's rate.
    if (row > 2) boot += 1 + 2;
    boot += 1 + 1 + 5 + 2;
    // At the job's rate: the speed control and its answer, per sector the command, the data,
    // the ready byte and the checksum answer, then the switch-off and its answer.
    double job = 2 + 2;
    if (mode == Mode::kDump) {
        job += ReadBytes(length);
    } else {
        job += static_cast<double>(length) + list.count * (13.0 + 1 + 5);
        if (mode == Mode::kVerify) job += ReadBytes(length);
    }
    LineTime t;
    t.boot = boot * kBootByte;
    t.total = t.boot + job * jobByte;
    t.sectors = mode == Mode::kDump ? 0 : list.count;
    return t;
}

std::vector<std::uint8_t> Image(std::size_t n) {
    std::vector<std::uint8_t> v(n);
    std::uint32_t x = 0x2545F491;
    for (auto& b : v) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<std::uint8_t>(x);
    }
    return v;
}

}  // namespace

int main(int argc, char** argv) {
    const fs::path self = fs::canonical("/proc/self/exe").parent_path();
    fs::path cli = self.parent_path() / "cli" / "vbcflash-cli";
    fs::path sim = self.parent_path() / "vbcsim";
    fs::path examples = fs::path(VBC_SOURCE_DIR) / "examples";
    std::uint64_t size = 4u << 20;
    int row = 1;
    Mode mode = Mode::kWrite;
    std::string dumpChip;
    std::uint8_t codes[2] = {0, 0};
    int phones = 0;  // --station N
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) Fail(a + " needs a value");
            return argv[++i];
        };
        if (a == "--size") {
            size = ParseSize(value());
        } else if (a == "--speed") {
            const std::string text = value();
            row = std::atoi(text.c_str());
            if (text != std::to_string(row) || row < 0 || row >= vbc::NB_PC_SPEED_VALUES)
                Fail("--speed: '" + text + "' is not a row from 0 to 8");
        } else if (a == "--cli") {
            cli = fs::absolute(value());
        } else if (a == "--sim") {
            sim = fs::absolute(value());
        } else if (a == "--examples") {
            examples = fs::absolute(value());
        } else if (a == "--station") {
            phones = std::atoi(value().c_str());
            if (phones < 1 || phones > 16) Fail("--station: from 1 to 16 phones");
        } else if (a == "--verify") {
            mode = Mode::kVerify;
        } else if (a == "--dump") {
            mode = Mode::kDump;
            dumpChip = value();
            int m = -1, d = -1;
            char extra = 0;
            if (std::sscanf(dumpChip.c_str(), "%i:%i%c", &m, &d, &extra) != 2 || m < 0 || m > 255 ||
                d < 0 || d > 255)
                Fail("--dump: '" + dumpChip + "' is not MAN:DEV");
            codes[0] = static_cast<std::uint8_t>(m);
            codes[1] = static_cast<std::uint8_t>(d);
        } else {
            Fail("unknown option " + a +
                 " (options: --size N[K|M], --speed ROW, --cli PATH, --sim PATH, --examples DIR, "
                 "--verify, --dump MAN:DEV)");
        }
    }
    for (const fs::path& p : {cli, sim}) {
        if (!fs::exists(p)) Fail(p.string() + " is not built");
    }

    // A working directory with what the tool and the phone read.
    std::string tmpl = (fs::temp_directory_path() / "vbcjob.XXXXXX").string();
    if (!::mkdtemp(tmpl.data())) Fail("cannot make a working directory");
    const fs::path dir = tmpl;
    for (const char* f : {"flash.txt", "mfl104_5.spm"}) fs::copy_file(examples / f, dir / f);
    fs::current_path(dir);
    if (mode == Mode::kDump) {
        std::uint32_t flashSize = 0;
        const std::string text = ReadText("flash.txt");
        vbc::ParseFlashDescription(&vbc::_vg_FlashDescritpion,
                                   reinterpret_cast<const std::uint8_t*>(text.data()),
                                   static_cast<std::uint32_t>(text.size()));
        if (vbc::_mfl10_5GetFlashSize(codes[0], codes[1], &flashSize) != 1)
            Fail("--dump: flash.txt does not describe " + dumpChip);
        size = flashSize;
    }
    const std::vector<std::uint8_t> image = Image(size);
    WriteBytes(dir / "phone.cla", image);

    const LineTime line = JobLineTime(
        ReadText("flash.txt"), static_cast<std::uint32_t>(fs::file_size("mfl104_5.spm")),
        static_cast<std::uint32_t>(size), mode, mode == Mode::kDump ? codes : nullptr, row);

    // The phone, paced, serving this one job; for a dump its flash holds the image.
    std::vector<std::string> phoneArgs = {sim.string(), "--pace",      "--once",   "--flash-txt",
                                          "flash.txt",  "--flash-out", "flash.bin"};
    if (mode == Mode::kDump)
        phoneArgs.insert(phoneArgs.end(), {"--flash", dumpChip, "--flash-in", "phone.cla"});
    std::vector<Child> phoneList;
    for (int n = 1; n <= std::max(phones, 1); ++n) {
        std::vector<std::string> args = phoneArgs;
        if (phones > 0) {
            args.insert(args.end(), {"--link", "COM" + std::to_string(n)});
            args[6] = "flash" + std::to_string(n) + ".bin";
        }
        phoneList.push_back(Spawn(args, nullptr, "sim.err"));
        if (ReadLine(phoneList.back().out, 20000).empty())
            Fail("vbcsim did not start: " + ReadText("sim.err"));
    }

    std::vector<std::string> toolArgs = {cli.string(), "--speed", std::to_string(row)};
    if (mode == Mode::kVerify) toolArgs.push_back("--verify");
    if (mode == Mode::kDump) {
        toolArgs.insert(toolArgs.end(), {"--dump", "dump.bin"});
    } else {
        toolArgs.push_back("phone.cla");
    }
    if (phones > 0) {
        toolArgs = {(cli.parent_path() / "vbcflash-station").string(),
                    "--once",
                    "--ports",
                    "1-" + std::to_string(phones),
                    "--speed",
                    std::to_string(row),
                    "phone.cla"};
    }
    const auto start = std::chrono::steady_clock::now();
    Child tool = Spawn(toolArgs, "cli.out", "cli.err");
    int status = 0;
    rusage usage{};
    double stationPeakMib = 0;
    for (;;) {
        // The station's own peak, read while it runs (its rusage also holds its workers').
        const std::string procStatus = ReadText("/proc/" + std::to_string(tool.pid) + "/status");
        const auto hwm = procStatus.find("VmHWM:");
        if (hwm != std::string::npos)
            stationPeakMib =
                std::max(stationPeakMib, std::atof(procStatus.c_str() + hwm + 6) / 1024);
        const pid_t r = ::wait4(tool.pid, &status, phones > 0 ? WNOHANG : 0, &usage);
        if (r == tool.pid) break;
        if (r < 0) Fail("lost the tool's process");
        ::usleep(200'000);
    }
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        Fail("the job failed:\n" + ReadText("cli.out") + ReadText("cli.err"));

    const long rate = static_cast<long>(vbc::_a_PCSpeedValue[row]);
    for (std::size_t n = 0; n < phoneList.size(); ++n) {
        const std::string report = ReadLine(phoneList[n].out, 60000);
        ::waitpid(phoneList[n].pid, &status, 0);
        if (report.find(" end=switched-off ") == std::string::npos)
            Fail("the phone did not end the job switched off: " + report);
        if (report.find(" pc-rate=" + std::to_string(rate) + " ") == std::string::npos)
            Fail("the simulator did not pace the line at " + std::to_string(rate) +
                 " bit/s: " + report);
        const std::string flash =
            mode == Mode::kDump
                ? ReadText("dump.bin")
                : ReadText(phones > 0 ? "flash" + std::to_string(n + 1) + ".bin" : "flash.bin");
        if (flash.size() < image.size() ||
            std::memcmp(flash.data(), image.data(), image.size()) != 0)
            Fail(mode == Mode::kDump ? "the dump does not hold the phone's flash"
                                     : "the phone's flash does not hold the image");
    }

    const double cpu = Seconds(usage.ru_utime) + Seconds(usage.ru_stime);
    const double peakMib = static_cast<double>(usage.ru_maxrss) / 1024.0;
    std::printf("image_bytes %llu\n", static_cast<unsigned long long>(size));
    std::printf("speed_row %d\n", row);
    std::printf("line_rate %ld\n", rate);
    std::printf("sectors %d\n", line.sectors);
    std::printf("line_s %.3f\n", line.total);
    std::printf("boot_line_s %.3f\n", line.boot);
    std::printf("wall_s %.3f\n", wall);
    std::printf("over_line_pct %.3f\n", (wall - line.total) / line.total * 100.0);
    std::printf("pc_cpu_s %.3f\n", cpu);
    std::printf("pc_cpu_pct %.3f\n", cpu / wall * 100.0);
    std::printf("pc_peak_mib %.1f\n", peakMib);
    if (phones > 0) {
        std::printf("phones %d\n", phones);
        std::printf("station_peak_mib %.1f\n", stationPeakMib);
        std::printf("memory_limit_mib %.1f\n", static_cast<double>(size) / (1 << 20) + 20.0);
    } else {
        std::printf("memory_limit_mib %.1f\n", 3.0 * static_cast<double>(size) / (1 << 20) + 20.0);
    }

    fs::current_path(fs::temp_directory_path());
    fs::remove_all(dir);
    return 0;
}
