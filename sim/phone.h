// The simulated phone: ROM boot loader, bootstrap and command set, over any Channel.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/channel.h"
#include "sim/faults.h"
#include "sim/flashmemory.h"
#include "sim/trace.h"

namespace vbc::sim {

constexpr std::uint32_t kFlashBaseType1 = 0x200000;
constexpr std::uint32_t kFlashBaseType2 = 0x800000;

// Detail bytes that follow 0xCD when the bootstrap refuses a download-sector command.
constexpr std::uint8_t kRefuseUnknownFlash = 0x01;    // the flash is not described
constexpr std::uint8_t kRefuseNotSectorStart = 0x02;  // no sector starts at the address
constexpr std::uint8_t kRefuseSizeMismatch = 0x03;    // the size is not the sector's size
constexpr std::uint8_t kRefuseLengthTooLong = 0x04;   // more data than the sector holds

struct PhoneOptions {
    std::uint8_t answerByte = 0xBE;  // what the ROM boot loader announces itself with
    int announceMs = 30;             // pause between two announcements
    std::uint8_t versionMajor = 2;
    std::uint8_t versionMinor = 5;
    std::uint8_t identByte = 0xC2;  // first byte of the flash identification
    std::uint8_t manufacturer = 0x20;
    std::uint8_t device = 0xCA;
    std::uint8_t extension = 0x00;  // sent only for the devices that have one
    std::uint8_t pmuByte = 0x00;    // the byte after 0xCF
    // When set, a bootstrap that differs from expectedSpm is not started (the phone stays silent).
    bool checkSpm = false;
    std::vector<std::uint8_t> expectedSpm;
    Faults faults;
};

// Whether the bootstrap sends an extension byte after these codes.
bool HasExtensionByte(std::uint8_t manufacturer, std::uint8_t device);

enum class JobEnd {
    kNotStarted,  // stopped before any PC said anything
    kSwitchedOff,
    kPcClosed,
    kDropped,  // the simulator pulled the cable (fault)
    kStopped,  // the simulator was stopped during the job
};
const char* JobEndName(JobEnd end);  // "switched-off", "pc-closed", ...

struct JobReport {
    int number = 0;
    JobEnd end = JobEnd::kNotStarted;
    // ROM boot loader.
    bool answered = false;  // the PC's 0x44 arrived
    int productType = 0;    // 1 or 2, from the configuration bytes; 0 when not known
    std::uint8_t waitStates[4] = {0, 0, 0, 0};
    bool extendedMode = false;
    bool jumped = false;
    std::uint32_t jumpAddress = 0;
    std::vector<std::uint8_t> bootImage;  // the bytes loaded from the jump address on
    bool bootstrapRunning = false;
    std::string bootRefusal;  // why the bootstrap was not started, when it was not
    // Bootstrap.
    std::uint32_t flashBase = 0;
    int speedChanges = 0;    // accepted change-speed commands
    long phoneRate = 38400;  // the phone's line rate at the end of the job
    // The rate the PC had set when its first byte at the phone's current rate came (what the
    // line was paced at from then on); 0 when the line cannot tell.
    long pcRate = 0;
    int sectorWrites = 0;  // sectors answered with 0xCC, resends and corrupted ones included
    // Distinct sectors that hold, at the end of the job, the data of a write answered with
    // 0xCC that arrived intact (not corrupted by a fault, not erased since), and those lengths.
    int sectorsWritten = 0;
    std::uint64_t bytesWritten = 0;
    std::uint64_t bytesReceived = 0;  // every byte of sector data taken, resends included
    int resends = 0;                  // download-sector commands for a sector already tried
    std::vector<std::string> notes;   // protocol errors, faults committed, line mismatches
};

class Phone {
  public:
    // flash stays the caller's and keeps its content from job to job; trace may be null.
    Phone(PhoneOptions options, FlashMemory* flash, Trace* trace = nullptr);

    // Runs one job on the line: from the ROM boot loader to the switch-off, the PC closing
    // the line, a dropped line or a stop.
    JobReport RunJob(Channel& line, int number = 1);

    const PhoneOptions& Options() const { return options_; }

  private:
    PhoneOptions options_;
    FlashMemory* flash_;
    Trace* trace_;
};

}  // namespace vbc::sim
