#include "sim/commandline.h"

#include <CLI/CLI.hpp>
#include <cstdint>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "core/version.h"
#include "platform/files.h"
#include "sim/faults.h"

namespace vbc::sim {
namespace {

// A CLI11 check for a byte written as a C integer.
std::string CheckByte(const std::string& text) {
    std::uint8_t b;
    return ParseByte(text, &b) ? std::string() : "'" + text + "' is not a byte (0 to 255)";
}

std::uint8_t Byte(const std::string& text) {
    std::uint8_t b = 0;
    ParseByte(text, &b);
    return b;
}

}  // namespace

CommandLine ParseCommandLine(int argc, const char* const argv[], SimulatorOptions* options) {
    *options = SimulatorOptions{};
    SimulatorOptions& o = *options;
    Faults& f = o.phone.faults;
    CLI::App app{
        "vbcsim plays a VBC4410 phone on a pseudo-terminal: its ROM boot loader, a running\n"
        "bootstrap and a NOR flash described by flash.txt. It links a name (COM1 by default) to\n"
        "the pseudo-terminal's slave, so the tool's port 1 reaches it; prints the slave's path;\n"
        "then serves download jobs until stopped (SIGINT, SIGTERM) or, with --once, one job.\n"
        "A job runs from the boot to the switch-off, to the PC closing the line or to a dropped\n"
        "line; at its end vbcsim prints one line:\n"
        "  job N end=E product-type=T bootstrap=B sectors=S bytes=N resends=R flash-size=Z\n"
        "      flash-sum=0x... flash-crc32=0x... pc-rate=P phone-rate=R (the PC's and the\n"
        "      phone's line rates at the end, in bit/s; pc-rate=0 where the line cannot tell)\n"
        "      answered=yes|no (whether the PC answered the boot loader: a phone it saw)\n"
        "Bytes are written as C integers (0xBE or 190)."};
    app.get_formatter()->column_width(36);
    app.set_version_flag("--version", std::string("vbcsim ") + kVersion);

    std::string versionText = "2.5", flashCodes, expectSpm, drop, badChecksum, sectorFail,
                silentCommand, silentData, badVerdict, stuckBit, readNoise;
    std::string answerByte = "0xBE", identByte = "0xC2", extension = "0x00", pmuByte = "0x00";

    // Line.
    app.add_option("--link", o.linkName, "Name of the link to the slave (empty: none)")
        ->capture_default_str()
        ->group("Line");
    app.add_option("--dir", o.linkDir, "Directory the link is made in")
        ->capture_default_str()
        ->group("Line");
    app.add_flag("--once", o.once, "Serve one job, then exit")->group("Line");
    app.add_flag("--pace", o.pace,
                 "Take the line's time for every byte, at the rate the PC set (11 bits a byte "
                 "during the boot, 10 after the speed change)")
        ->group("Line");
    app.add_flag("--trace", o.trace, "Trace every byte each way, with its meaning, to stderr")
        ->group("Line");
    app.add_option("--trace-file", o.traceFile, "Trace to this file instead of stderr")
        ->group("Line");

    // Phone.
    app.add_option("--answer-byte", answerByte, "Byte the ROM boot loader announces itself with")
        ->capture_default_str()
        ->check(CheckByte)
        ->group("Phone");
    app.add_option("--announce-ms", o.phone.announceMs, "Pause between two announcements (ms)")
        ->capture_default_str()
        ->check(CLI::Range(1, 10000))
        ->group("Phone");
    app.add_option("--expect-spm", expectSpm,
                   "Start only this bootstrap file: any other stays silent after the jump")
        ->check(CLI::ExistingFile)
        ->group("Phone");
    app.add_option("--spm-version", versionText, "Version the bootstrap reports (MAJOR.MINOR)")
        ->capture_default_str()
        ->group("Phone");
    app.add_option("--pmu-byte", pmuByte, "Byte sent after 0xCF to the PMU command")
        ->capture_default_str()
        ->check(CheckByte)
        ->group("Phone");

    // Flash.
    app.add_option("--flash-txt", o.flashTxt, "Flash description file the geometry is read from")
        ->capture_default_str()
        ->group("Flash");
    app.add_option("--flash", flashCodes,
                   "Manufacturer and device codes the bootstrap reports, MAN:DEV (default: the "
                   "first chip of the flash description file)")
        ->group("Flash");
    app.add_option("--extension", extension,
                   "Extension byte, for the devices that send one (0x2C/0xB6, 0x01/0xE3, "
                   "0x01/0xE4, 0x20 or 0x89 with 0xCA, 0x64, 0x10)")
        ->capture_default_str()
        ->check(CheckByte)
        ->group("Flash");
    app.add_option("--flash-in", o.flashIn, "Initial flash content (raw image, at most the flash)")
        ->check(CLI::ExistingFile)
        ->group("Flash");
    app.add_option("--flash-out", o.flashOut, "Write the whole flash to this file after each job")
        ->group("Flash");

    // Faults.
    app.add_flag("--never-answer", f.neverAnswer,
                 "The boot loader never announces itself and ignores everything")
        ->group("Faults");
    app.add_option("--noise", f.noiseBytes, "Line noise: this many bytes before the first 0xBE")
        ->check(CLI::Range(0, 100000))
        ->group("Faults");
    app.add_option("--noise-seed", f.noiseSeed, "Seed of the noise bytes")
        ->capture_default_str()
        ->group("Faults");
    app.add_flag("--silent-after-jump", f.silentAfterJump,
                 "The bootstrap never answers after the jump")
        ->group("Faults");
    app.add_option("--ident-byte", identByte,
                   "First byte of the flash identification (another than 0xC2 is a fault)")
        ->capture_default_str()
        ->check(CheckByte)
        ->group("Faults");
    app.add_flag("--unknown-manufacturer", o.unknownManufacturer,
                 "Report manufacturer code 0x55, which the tool does not know")
        ->group("Faults");
    app.add_flag("--unlisted-flash", o.unlistedFlash,
                 "Report a device code the flash description file does not describe; sector "
                 "commands are then refused with 0xCD 0x01")
        ->group("Faults");
    app.add_option("--bad-checksum", badChecksum,
                   "SECTOR:ATTEMPT[,...]: corrupt one byte of these attempts' data, so the "
                   "checksum differs (* for any)")
        ->group("Faults");
    app.add_option("--sector-fail", sectorFail,
                   "SECTOR:ATTEMPT[:DETAIL][,...]: answer 0xCD and DETAIL (default 0x01) after "
                   "the data; the sector is left erased")
        ->group("Faults");
    app.add_option("--silent-after-command", silentCommand,
                   "SECTOR:ATTEMPT[,...]: no 0xCB to these download-sector commands; the phone "
                   "then stays silent")
        ->group("Faults");
    app.add_option("--silent-after-data", silentData,
                   "SECTOR:ATTEMPT[,...]: no answer after these sectors' data; the phone then "
                   "stays silent")
        ->group("Faults");
    app.add_option("--bad-speed-verdict", badVerdict,
                   "ATTEMPT[,...] or *: answer 0xC3 0x01 to these change-speed commands")
        ->group("Faults");
    app.add_flag("--no-speed-control", f.noSpeedControl, "Never answer 0xCA to speed control")
        ->group("Faults");
    app.add_flag("--no-switch-off-answer", f.noSwitchOffAnswer, "Switch off without answering 0xC0")
        ->group("Faults");
    app.add_option("--stuck-bit", stuckBit,
                   "OFFSET: the flash cell at this offset stores the byte written with its lowest "
                   "bit inverted; the sector's checksum still matches (only a read-back sees it)")
        ->group("Faults");
    app.add_option("--read-noise", readNoise,
                   "OFFSET: the first read that covers this flash offset sends that byte with its "
                   "lowest bit inverted, so its checksum fails once")
        ->group("Faults");
    std::string jobFaults;
    app.add_option("--job-faults", jobFaults,
                   "FILE: the fault options of each job in turn, one line a job (an empty line: "
                   "none; jobs past the last line: none), in place of the options above; every "
                   "job then starts with the flash as at the start, as another phone would")
        ->check(CLI::ExistingFile)
        ->group("Faults");
    app.add_option("--drop-at", drop,
                   "Close the line at this stage: " + DropStageNames() +
                       " (sector stages: the sector's first attempt, any sector by default). The "
                       "line closes once the PC has read what was sent before (at most 5 s)")
        ->group("Faults");

    CommandLine result;
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        std::ostringstream out, err;
        result.exitStatus = app.exit(e, out, err);
        result.out = out.str();
        result.err = err.str();
        return result;
    }

    auto usage = [&](const std::string& why) {
        result.exitStatus = 2;
        result.err = "vbcsim: " + why + "\n";
        return result;
    };
    std::string why;
    o.phone.answerByte = Byte(answerByte);
    o.phone.identByte = Byte(identByte);
    o.phone.extension = Byte(extension);
    o.phone.pmuByte = Byte(pmuByte);
    {
        unsigned major = 0, minor = 0;
        char extra = 0;
        if (std::sscanf(versionText.c_str(), "%u.%u%c", &major, &minor, &extra) != 2 ||
            major > 255 || minor > 255)
            return usage("--spm-version: '" + versionText + "' is not MAJOR.MINOR");
        o.phone.versionMajor = static_cast<std::uint8_t>(major);
        o.phone.versionMinor = static_cast<std::uint8_t>(minor);
    }
    if (!flashCodes.empty()) {
        if (!ParseCodes(flashCodes, &o.phone.manufacturer, &o.phone.device))
            return usage("--flash: '" + flashCodes + "' is not MAN:DEV");
        o.chooseFlash = true;
    }
    if (!expectSpm.empty()) {
        if (!platform::ReadWholeFile(expectSpm.c_str(), o.phone.expectedSpm))
            return usage("cannot read " + expectSpm);
        o.phone.checkSpm = true;
    }
    if (!badChecksum.empty() && !f.badChecksum.Parse(badChecksum, false, &why))
        return usage("--bad-checksum: " + why);
    if (!sectorFail.empty() && !f.sectorFail.Parse(sectorFail, true, &why))
        return usage("--sector-fail: " + why);
    if (!silentCommand.empty() && !f.silentAfterCommand.Parse(silentCommand, false, &why))
        return usage("--silent-after-command: " + why);
    if (!silentData.empty() && !f.silentAfterData.Parse(silentData, false, &why))
        return usage("--silent-after-data: " + why);
    if (!badVerdict.empty() && !f.badSpeedVerdict.Parse(badVerdict, &why))
        return usage("--bad-speed-verdict: " + why);
    if (!drop.empty() && !ParseDropPoint(drop, &f.drop, &why)) return usage("--drop-at: " + why);
    if (!stuckBit.empty() && !ParseOffset(stuckBit, &f.stuckBit))
        return usage("--stuck-bit: '" + stuckBit + "' is not a flash offset");
    if (!readNoise.empty() && !ParseOffset(readNoise, &f.readNoise))
        return usage("--read-noise: '" + readNoise + "' is not a flash offset");
    if (!jobFaults.empty()) {
        std::vector<std::uint8_t> bytes;
        if (!platform::ReadWholeFile(jobFaults.c_str(), bytes))
            return usage("cannot read " + jobFaults);
        std::istringstream lines(std::string(bytes.begin(), bytes.end()));
        std::string line;
        for (int number = 1; std::getline(lines, line); ++number) {
            std::vector<std::string> words{"vbcsim"};
            std::istringstream split(line);
            for (std::string word; split >> word;) words.push_back(word);
            SimulatorOptions job;
            const CommandLine parsed = ParseCommandLine(words, &job);
            if (!parsed.run) {
                std::string why = parsed.err.empty() ? "not fault options" : parsed.err;
                if (why.rfind("vbcsim: ", 0) == 0) why.erase(0, 8);
                while (!why.empty() && why.back() == '\n') why.pop_back();
                return usage("--job-faults: line " + std::to_string(number) + ": " + why);
            }
            o.jobFaults.push_back(job.phone.faults);
        }
        o.faultsPerJob = true;
    }
    result.run = true;
    return result;
}

CommandLine ParseCommandLine(const std::vector<std::string>& argv, SimulatorOptions* options) {
    std::vector<const char*> pointers;
    for (const std::string& a : argv) pointers.push_back(a.c_str());
    if (pointers.empty()) pointers.push_back("vbcsim");
    return ParseCommandLine(static_cast<int>(pointers.size()), pointers.data(), options);
}

}  // namespace vbc::sim
