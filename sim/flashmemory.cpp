#include "sim/flashmemory.h"

#include <algorithm>
#include <cstring>

#include "platform/files.h"

namespace vbc::sim {

FlashMemory::FlashMemory(const FlashDescription& description) {
    std::uint64_t offset = 0;
    for (int s = 0; s < description.sectorCount && s < NB_SECTORS; ++s) {
        const auto& d = description.sectors[s];
        // A chip larger than the 32-bit address space cannot be a phone's flash.
        if (offset + d.size > 0xFFFFFFFFu) break;
        sectors_.push_back({static_cast<std::uint32_t>(offset), d.size, d.bank});
        offset += d.size;
    }
    size_ = static_cast<std::uint32_t>(offset);
    bytes_.assign(size_, 0xFF);
}

int FlashMemory::SectorStartingAt(std::uint32_t offset) const {
    for (std::size_t s = 0; s < sectors_.size(); ++s) {
        // A sector of size 0 (not described) holds no bytes: the next one starts there.
        if (sectors_[s].offset == offset && sectors_[s].size != 0) return static_cast<int>(s);
        if (sectors_[s].offset > offset) break;
    }
    return -1;
}

void FlashMemory::EraseSector(int sector) {
    std::lock_guard lock(mu_);
    const Sector& s = sectors_[sector];
    std::fill_n(bytes_.begin() + s.offset, s.size, 0xFF);
}

void FlashMemory::EraseAll() {
    std::lock_guard lock(mu_);
    std::fill(bytes_.begin(), bytes_.end(), 0xFF);
}

bool FlashMemory::Program(std::uint32_t offset, const std::uint8_t* data, std::size_t count) {
    if (offset > size_ || count > size_ - offset) return false;
    std::lock_guard lock(mu_);
    std::uint8_t* p = bytes_.data() + offset;
    for (std::size_t i = 0; i < count; ++i) p[i] &= data[i];
    return true;
}

bool FlashMemory::Read(std::uint32_t offset, std::uint8_t* out, std::size_t count) const {
    if (offset > size_ || count > size_ - offset) return false;
    std::lock_guard lock(mu_);
    if (count) std::memcpy(out, bytes_.data() + offset, count);
    return true;
}

void FlashMemory::Force(std::uint32_t offset, std::uint8_t value) {
    if (offset >= size_) return;
    std::lock_guard lock(mu_);
    bytes_[offset] = value;
}

std::vector<std::uint8_t> FlashMemory::Image() const {
    std::lock_guard lock(mu_);
    return bytes_;
}

bool FlashMemory::Load(const std::vector<std::uint8_t>& image, std::string* error) {
    if (image.size() > size_) {
        if (error) {
            *error = "the image holds " + std::to_string(image.size()) +
                     " bytes but the flash only " + std::to_string(size_);
        }
        return false;
    }
    std::lock_guard lock(mu_);
    std::copy(image.begin(), image.end(), bytes_.begin());
    std::fill(bytes_.begin() + static_cast<std::ptrdiff_t>(image.size()), bytes_.end(), 0xFF);
    return true;
}

std::uint32_t FlashMemory::Sum() const {
    std::lock_guard lock(mu_);
    std::uint32_t sum = 0;
    for (std::uint8_t b : bytes_) sum += b;
    return sum;
}

std::uint32_t FlashMemory::Crc32() const {
    std::lock_guard lock(mu_);
    return sim::Crc32(bytes_.data(), bytes_.size());
}

std::uint32_t Crc32(const std::uint8_t* data, std::size_t count) {
    static const auto table = [] {
        std::vector<std::uint32_t> t(256);
        for (std::uint32_t i = 0; i < 256; ++i) {
            std::uint32_t c = i;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[i] = c;
        }
        return t;
    }();
    std::uint32_t crc = 0xFFFFFFFFu;
    for (std::size_t i = 0; i < count; ++i) crc = table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    return crc ^ 0xFFFFFFFFu;
}

bool LoadFlashTable(const std::string& path, FlashDescriptionTable* table, std::string* error) {
    std::vector<std::uint8_t> data;
    if (!platform::ReadWholeFile(path.c_str(), data)) {
        if (error) *error = "cannot read " + path;
        return false;
    }
    *table = FlashDescriptionTable{};
    const std::int32_t status =
        ParseFlashDescription(table, data.data(), static_cast<std::uint32_t>(data.size()));
    if (status != 1) {
        if (error) {
            *error = path + " refused by the flash description reader with code " +
                     std::to_string(status);
        }
        return false;
    }
    return true;
}

const FlashDescription* FindFlash(const FlashDescriptionTable& table, std::uint8_t manufacturer,
                                  std::uint8_t device) {
    for (int i = 0; i < table.count && i < NB_FLASH_DESCRIPTIONS; ++i) {
        const FlashDescription& d = table.descriptions[i];
        if (d.manufacturerId == manufacturer && d.deviceId == device) return &d;
    }
    return nullptr;
}

}  // namespace vbc::sim
