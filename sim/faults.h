// Faults the simulated phone can be told to commit, and how they are written on the command line.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vbc::sim {

constexpr int kAny = -1;  // wildcard sector or attempt

// Chosen attempts of chosen sectors: "SECTOR:ATTEMPT[,SECTOR:ATTEMPT...]", either part may be
// "*"; attempts count from 1 per sector and job. With details allowed an entry may carry a third
// part, the byte to report ("SECTOR:ATTEMPT:DETAIL").
class SectorAttempts {
  public:
    struct Entry {
        int sector = kAny;
        int attempt = kAny;
        int detail = 0x01;
    };

    // Replaces the set; false (with a reason) when the text is malformed.
    bool Parse(const std::string& text, bool allowDetail, std::string* error);
    void Add(int sector, int attempt, int detail = 0x01) {
        entries_.push_back({sector, attempt, detail});
    }
    // The first entry that matches, or null.
    const Entry* Find(int sector, int attempt) const;
    bool Contains(int sector, int attempt) const { return Find(sector, attempt) != nullptr; }
    bool Empty() const { return entries_.empty(); }

  private:
    std::vector<Entry> entries_;
};

// Chosen attempts of one command in a job: "ATTEMPT[,ATTEMPT...]" or "*".
class Attempts {
  public:
    bool Parse(const std::string& text, std::string* error);
    void Add(int attempt) { attempts_.push_back(attempt); }
    bool Contains(int attempt) const;
    bool Empty() const { return attempts_.empty(); }

  private:
    std::vector<int> attempts_;
};

// Where the simulator pulls the cable (closes its end of the line).
enum class DropStage {
    kNone,
    kBootWait,        // while announcing itself, once a PC has the line open
    kBootFrames,      // halfway through the bootstrap's block frame
    kAfterJump,       // right after the jump frame, before the bootstrap answers
    kIdentification,  // after the version and the first identification byte
    kSpeedChange,     // after the change-speed parameters, before the verdict
    kSectorCommand,   // after a download-sector command, before 0xCB
    kSectorData,      // halfway through a sector's data
    kChecksumWait,    // after a sector's data, while the PC waits for the checksum
    kSwitchOff,       // after the switch-off command, before its answer
};

struct DropPoint {
    DropStage stage = DropStage::kNone;
    int sector = kAny;  // sector stages only: which sector (its first attempt); any by default
};

// "STAGE[:SECTOR]", STAGE one of the names listed by DropStageNames().
bool ParseDropPoint(const std::string& text, DropPoint* out, std::string* error);
const char* DropStageName(DropStage stage);
std::string DropStageNames();  // "boot-wait, boot-frames, ..." for help texts

struct Faults {
    bool neverAnswer = false;     // the boot loader never announces itself and ignores the PC
    int noiseBytes = 0;           // line noise before the first answer byte
    std::uint32_t noiseSeed = 1;  // noise never holds the answer byte or 0x9D
    bool silentAfterJump = false;
    SectorAttempts badChecksum;  // a byte of the data is corrupted on its way in
    SectorAttempts sectorFail;   // 0xCD and the entry's detail byte; the sector stays erased
    SectorAttempts silentAfterCommand;
    SectorAttempts silentAfterData;
    Attempts badSpeedVerdict;  // 0xC3 0x01 whatever the checksum
    bool noSpeedControl = false;
    bool noSwitchOffAnswer = false;
    DropPoint drop;
    // A flash cell (offset from the flash's first byte) that does not take a write: it stores
    // the byte received with its lowest bit inverted, while the sector's checksum is the sum
    // of what was received. Only a read-back sees it. -1: none.
    std::int64_t stuckBit = -1;
    // The first read of a job that covers this offset sends that byte with its lowest bit
    // inverted, and the checksum of the true data. -1: none.
    std::int64_t readNoise = -1;
};

// Parses a flash offset written as a C integer ("0x11170", "70000"), 0 to 0xFFFFFFFF.
bool ParseOffset(const std::string& text, std::int64_t* out);

// Parses a byte written as a C integer ("0xBE", "190"); false when it is not 0 to 255.
bool ParseByte(const std::string& text, std::uint8_t* out);
// Parses "MAN:DEV" (two bytes, as above).
bool ParseCodes(const std::string& text, std::uint8_t* manufacturer, std::uint8_t* device);

}  // namespace vbc::sim
