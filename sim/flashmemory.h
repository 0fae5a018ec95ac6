// The phone's NOR flash: erased state 0xFF, programming only clears bits, erasing is by sector.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "data/mfl10fla.h"

namespace vbc::sim {

class FlashMemory {
  public:
    // No chip the simulator can describe: no sectors, no bytes.
    FlashMemory() = default;
    // A chip laid out as the description says, fully erased.
    explicit FlashMemory(const FlashDescription& description);

    bool Known() const { return !sectors_.empty(); }
    std::uint32_t Size() const { return size_; }
    int SectorCount() const { return static_cast<int>(sectors_.size()); }
    std::uint32_t SectorOffset(int sector) const { return sectors_[sector].offset; }
    std::uint32_t SectorSize(int sector) const { return sectors_[sector].size; }
    std::uint8_t SectorBank(int sector) const { return sectors_[sector].bank; }
    // The sector that starts exactly at offset, or -1.
    int SectorStartingAt(std::uint32_t offset) const;

    void EraseSector(int sector);
    void EraseAll();
    // ANDs the bytes into the flash (a 0 bit cannot become 1 again without an erase).
    // False, with nothing written, when the range leaves the flash.
    bool Program(std::uint32_t offset, const std::uint8_t* data, std::size_t count);
    bool Read(std::uint32_t offset, std::uint8_t* out, std::size_t count) const;
    // Sets one byte whatever it held: a cell that does not obey programming (faults).
    void Force(std::uint32_t offset, std::uint8_t value);

    std::vector<std::uint8_t> Image() const;
    // Sets the content; an image shorter than the flash leaves the rest erased.
    bool Load(const std::vector<std::uint8_t>& image, std::string* error);
    // Plain 32-bit sum and CRC-32 of the whole flash.
    std::uint32_t Sum() const;
    std::uint32_t Crc32() const;

  private:
    struct Sector {
        std::uint32_t offset;
        std::uint32_t size;
        std::uint8_t bank;
    };
    std::vector<Sector> sectors_;
    std::uint32_t size_ = 0;
    mutable std::mutex mu_;  // the host thread writes while a test may take the image
    std::vector<std::uint8_t> bytes_;
};

// Reads a flash description file into the caller's table (never the tool's own table).
bool LoadFlashTable(const std::string& path, FlashDescriptionTable* table, std::string* error);
// The first description with both codes, or null.
const FlashDescription* FindFlash(const FlashDescriptionTable& table, std::uint8_t manufacturer,
                                  std::uint8_t device);

std::uint32_t Crc32(const std::uint8_t* data, std::size_t count);

}  // namespace vbc::sim
