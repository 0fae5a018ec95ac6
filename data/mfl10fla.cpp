#include "data/mfl10fla.h"

#include <cstddef>
#include <cstring>
#include <memory>
#include <new>
#include <string_view>

#include "core/resultcodes.h"
#include "link/mfl12pclib.h"
#include "platform/files.h"

namespace vbc {

FlashDescriptionTable _vg_FlashDescritpion{};

namespace {

constexpr char kFileName[] = "flash.txt";

// Longest numeric value and longest sector line (without CR LF) the reader takes.
constexpr std::size_t kMaxValueLength = 39;
constexpr std::size_t kMaxSectorLineLength = 39;
constexpr std::size_t kMaxNameLength = FLASH_NAME_SIZE - 1;

constexpr std::uint8_t kCr = 13;
constexpr std::uint8_t kLf = 10;

constexpr std::string_view kNewFlash = "NEW_FLASH";
constexpr std::string_view kManufacturerName = "MANUFACTURER_NAME : ";
constexpr std::string_view kDeviceName = "DEVICE_NAME : ";
constexpr std::string_view kNorvaneProduct = "NORVANE_PRODUCT : ";
constexpr std::string_view kManufacturerId = "MANUFACTURER_ID : ";
constexpr std::string_view kDeviceId = "DEVICE_ID : ";
constexpr std::string_view kNbBanks = "NB_BANKS : ";
constexpr std::string_view kNbSectors = "NB_SECTORS : ";
constexpr std::string_view kStartSectors = "START_SECTOR_DESCRITPION";
constexpr std::string_view kEndSectors = "END_SECTOR_DESCRIPTION";
constexpr std::string_view kEndFlash = "END_FLASH";

// Decimal text to int as the C library's atoi reads it (blanks, sign, digits), except that
// overflow wraps modulo 2^32 instead of being undefined: the low bits that the narrow fields
// keep are those of the written number.
std::uint32_t DecimalValue(const std::uint8_t* p, const std::uint8_t* end) {
    while (p < end && (*p == ' ' || (*p >= '\t' && *p <= '\r'))) ++p;
    bool negative = false;
    if (p < end && (*p == '+' || *p == '-')) {
        negative = *p == '-';
        ++p;
    }
    std::uint32_t value = 0;
    while (p < end && *p >= '0' && *p <= '9') {
        value = value * 10u + static_cast<std::uint32_t>(*p - '0');
        ++p;
    }
    return negative ? 0u - value : value;
}

// A forward reader over the file image that never looks outside it.
class Reader {
  public:
    Reader(const std::uint8_t* data, std::uint32_t size) : data_(data), size_(size) {}

    bool AtEnd() const { return pos_ >= size_; }
    std::uint8_t Peek() const { return data_[pos_]; }

    // The keyword is compared over its own length only.
    bool StartsWith(std::string_view keyword) const {
        return size_ - pos_ >= keyword.size() &&
               std::memcmp(data_ + pos_, keyword.data(), keyword.size()) == 0;
    }

    // Past the next LF, or to the end of the data when there is none.
    void SkipLine() {
        const std::uint32_t lf = Find(kLf);
        Advance(lf - pos_ + (lf < size_ ? 1u : 0u));
    }

    // A keyword-only line: the keyword and the two bytes of its CR LF, unchecked.
    void SkipKeywordLine(std::string_view keyword) {
        Advance(static_cast<std::uint32_t>(keyword.size()) + 2u);
    }

    // After the keyword, the value runs to the next CR; reading resumes two bytes later.
    void TakeValue(std::string_view keyword, const std::uint8_t** begin, const std::uint8_t** end) {
        Advance(static_cast<std::uint32_t>(keyword.size()));
        const std::uint32_t cr = Find(kCr);
        *begin = data_ + pos_;
        *end = data_ + cr;
        pos_ = cr;
        Advance(2);
    }

    // The next line up to its LF (consumed); the LF is not part of the line.
    void TakeLine(const std::uint8_t** begin, const std::uint8_t** end) {
        const std::uint32_t lf = Find(kLf);
        *begin = data_ + pos_;
        *end = data_ + lf;
        pos_ = lf;
        Advance(1);
    }

  private:
    std::uint32_t Find(std::uint8_t byte) const {
        const void* hit = AtEnd() ? nullptr : std::memchr(data_ + pos_, byte, size_ - pos_);
        return hit ? static_cast<std::uint32_t>(static_cast<const std::uint8_t*>(hit) - data_)
                   : size_;
    }
    void Advance(std::uint32_t n) { pos_ = (size_ - pos_ > n) ? pos_ + n : size_; }

    const std::uint8_t* data_;
    std::uint32_t size_;
    std::uint32_t pos_ = 0;
};

void CopyName(char name[FLASH_NAME_SIZE], const std::uint8_t* begin, const std::uint8_t* end) {
    // Names longer than the field are cut to its 14 characters.
    std::size_t n = static_cast<std::size_t>(end - begin);
    if (n > kMaxNameLength) n = kMaxNameLength;
    std::memcpy(name, begin, n);
    name[n] = '\0';
}

// A numeric value line; false when the keyword is missing or the value is too long to be a
// number the reader accepts.
bool ReadNumber(Reader& reader, std::string_view keyword, std::uint32_t* value) {
    if (!reader.StartsWith(keyword)) return false;
    const std::uint8_t* begin;
    const std::uint8_t* end;
    reader.TakeValue(keyword, &begin, &end);
    if (static_cast<std::size_t>(end - begin) > kMaxValueLength) return false;
    *value = DecimalValue(begin, end);
    return true;
}

const std::uint8_t* FindByte(const std::uint8_t* begin, const std::uint8_t* end,
                             std::uint8_t byte) {
    const void* hit = std::memchr(begin, byte, static_cast<std::size_t>(end - begin));
    return hit ? static_cast<const std::uint8_t*>(hit) : nullptr;
}

// One sector line (without its LF): "first*size*bank" or "first-last*size*bank".
std::int32_t ReadSectorLine(FlashDescription* d, const std::uint8_t* begin,
                            const std::uint8_t* end) {
    const std::uint8_t* lineEnd = end;
    if (lineEnd > begin && lineEnd[-1] == kCr) --lineEnd;
    // Too long for a sector line, empty, or a comment: no sector line at all.
    if (static_cast<std::size_t>(lineEnd - begin) > kMaxSectorLineLength)
        return FlashFileCode::kBadSectorStart;
    if (lineEnd == begin || *begin == '#' || *begin == kCr) return FlashFileCode::kBadSectorStart;

    // The fields run to the first CR of the line.
    const std::uint8_t* text = FindByte(begin, lineEnd, kCr);
    if (!text) text = lineEnd;

    const std::uint8_t* sep = begin;
    while (sep < text && *sep != '-' && *sep != '*') ++sep;
    if (sep == text) return FlashFileCode::kBadSectorStart;
    const std::uint8_t first = static_cast<std::uint8_t>(DecimalValue(begin, sep));
    std::uint8_t last = first;
    const bool range = *sep == '-';
    const std::uint8_t* star = sep;
    if (range) {
        star = FindByte(sep + 1, text, '*');
        if (!star) return FlashFileCode::kBadSectorStart;
        last = static_cast<std::uint8_t>(DecimalValue(sep + 1, star));
    }
    const std::uint8_t* star2 = FindByte(star + 1, text, '*');
    if (!star2) return FlashFileCode::kBadSectorStart;
    const std::uint32_t size = DecimalValue(star + 1, star2);
    const std::uint8_t bank = static_cast<std::uint8_t>(DecimalValue(star2 + 1, text));

    // A number may name the sector just past the counted ones, but never a slot the record
    // does not have (sectors are numbered 0 to NB_SECTORS - 1).
    if (first > d->sectorCount || first >= NB_SECTORS) return FlashFileCode::kBadSectorStart;
    if (range && (last > d->sectorCount || last >= NB_SECTORS)) return FlashFileCode::kBadSectorEnd;
    for (int k = first; k <= last; ++k) {
        d->sectors[k].bank = bank;
        d->sectors[k].size = size;
    }
    return kStatusOk;
}

std::uint32_t SumOfSectors(const FlashDescription& d) {
    std::uint32_t sum = 0;
    const int n = d.sectorCount < NB_SECTORS ? d.sectorCount : NB_SECTORS;
    for (int k = 0; k < n; ++k) sum += d.sectors[k].size;
    return sum;
}

std::int32_t ReadBlock(Reader& reader, FlashDescription* d) {
    const std::uint8_t* begin;
    const std::uint8_t* end;

    if (!reader.StartsWith(kManufacturerName)) return FlashFileCode::kBadManufacturerName;
    reader.TakeValue(kManufacturerName, &begin, &end);
    CopyName(d->manufacturerName, begin, end);

    if (!reader.StartsWith(kDeviceName)) return FlashFileCode::kBadDeviceName;
    reader.TakeValue(kDeviceName, &begin, &end);
    CopyName(d->deviceName, begin, end);

    // Read past and not stored, so any length will do.
    if (!reader.StartsWith(kNorvaneProduct)) return FlashFileCode::kBadNorvaneProduct;
    reader.TakeValue(kNorvaneProduct, &begin, &end);

    std::uint32_t value = 0;
    if (!ReadNumber(reader, kManufacturerId, &value)) return FlashFileCode::kBadManufacturerId;
    d->manufacturerId = static_cast<std::uint8_t>(value);
    if (!ReadNumber(reader, kDeviceId, &value)) return FlashFileCode::kBadDeviceId;
    d->deviceId = static_cast<std::uint8_t>(value);
    if (!ReadNumber(reader, kNbBanks, &value)) return FlashFileCode::kBadNbBanks;
    d->bankCount = static_cast<std::uint8_t>(value);
    if (!ReadNumber(reader, kNbSectors, &value)) return FlashFileCode::kBadNbSectors;
    // Kept in 16 bits before the limit is tested; a refused count is not stored, so no query
    // ever scans past the 200 slots.
    const std::uint16_t sectorCount = static_cast<std::uint16_t>(value);
    if (sectorCount > NB_SECTORS) return FlashFileCode::kTooManySectors;
    d->sectorCount = sectorCount;

    if (!reader.StartsWith(kStartSectors)) return FlashFileCode::kBadStartSectors;
    reader.SkipKeywordLine(kStartSectors);

    for (;;) {
        // Data that ends among the sector lines lacks the end of the block.
        if (reader.AtEnd()) return FlashFileCode::kBadEndFlash;
        reader.TakeLine(&begin, &end);
        const std::size_t length = static_cast<std::size_t>(end - begin);
        if (length >= kEndSectors.size() &&
            std::memcmp(begin, kEndSectors.data(), kEndSectors.size()) == 0) {
            break;
        }
        const std::int32_t status = ReadSectorLine(d, begin, end);
        if (status != kStatusOk) return status;
    }

    if (!reader.StartsWith(kEndFlash)) return FlashFileCode::kBadEndFlash;
    reader.SkipKeywordLine(kEndFlash);
    d->flashSize = SumOfSectors(*d);
    return kStatusOk;
}

// The first description with both codes, or null.
const FlashDescription* Find(std::uint8_t manufacturerId, std::uint8_t deviceId) {
    const FlashDescriptionTable& t = _vg_FlashDescritpion;
    const int n = t.count < NB_FLASH_DESCRIPTIONS ? t.count : NB_FLASH_DESCRIPTIONS;
    for (int i = 0; i < n; ++i) {
        if (t.descriptions[i].manufacturerId == manufacturerId &&
            t.descriptions[i].deviceId == deviceId) {
            return &t.descriptions[i];
        }
    }
    return nullptr;
}

int CountedSectors(const FlashDescription& d) {
    return d.sectorCount < NB_SECTORS ? d.sectorCount : NB_SECTORS;
}

std::int32_t SectorAt(const FlashDescription& d, std::uint32_t offset, int* sector) {
    if (offset == 0) {
        *sector = 0;
        return kStatusOk;
    }
    // A 64-bit sum: sizes that add up past 4 GiB must not wrap onto a small offset.
    std::uint64_t sum = 0;
    const int n = CountedSectors(d);
    for (int i = 0; i < n; ++i) {
        sum += d.sectors[i].size;
        if (sum >= offset) {
            if (sum != offset) return FlashFileCode::kNoSectorAtAddress;
            *sector = i + 1;
            return kStatusOk;
        }
    }
    return FlashFileCode::kNoSectorAtAddress;
}

}  // namespace

std::int32_t ParseFlashDescription(FlashDescriptionTable* table, const std::uint8_t* data,
                                   std::uint32_t size) {
    if (!table) return FlashFileCode::kFileNotFound;
    table->count = 0;
    if (!data) size = 0;
    Reader reader(data, size);
    while (!reader.AtEnd()) {
        const std::uint8_t c = reader.Peek();
        if (c == '#' || c == kCr) {
            reader.SkipLine();
            continue;
        }
        if (!reader.StartsWith(kNewFlash)) return FlashFileCode::kBadNewFlash;
        reader.SkipKeywordLine(kNewFlash);
        if (table->count >= NB_FLASH_DESCRIPTIONS) return FlashFileCode::kTooManyFlashes;
        FlashDescription* d = &table->descriptions[table->count];
        // The block counts from here on; fields not yet read stay zero.
        std::memset(d, 0, sizeof *d);
        ++table->count;
        const std::int32_t status = ReadBlock(reader, d);
        if (status != kStatusOk) return status;
    }
    return kStatusOk;
}

std::int32_t _mfl10_100InitFlashDescription() {
    _vg_FlashDescritpion.count = 0;
    if (!platform::FileCanOpen(kFileName)) return FlashFileCode::kFileNotFound;
    std::int32_t size = 0;
    if (_mfl12_2CalculateLengthOfFile(kFileName, &size) != kStatusOk || size < 0)
        return FlashFileCode::kFileNotFound;
    const auto length = static_cast<std::size_t>(size);
    std::unique_ptr<std::uint8_t[]> buffer(new (std::nothrow) std::uint8_t[length ? length : 1]);
    if (!buffer) return FlashFileCode::kFileNotFound;
    if (length && !platform::FileToArray(kFileName, buffer.get(), length))
        return FlashFileCode::kFileNotFound;
    return ParseFlashDescription(&_vg_FlashDescritpion, buffer.get(),
                                 static_cast<std::uint32_t>(length));
}

std::int32_t _mfl10_500GetFlashIndex(std::uint8_t manufacturerId, std::uint8_t deviceId,
                                     std::uint8_t* index) {
    const FlashDescription* d = Find(manufacturerId, deviceId);
    if (!d) return FlashFileCode::kUnknownFlash;
    *index = static_cast<std::uint8_t>(d - _vg_FlashDescritpion.descriptions);
    return kStatusOk;
}

std::int32_t _mfl10_0GetSectorSize(std::uint8_t manufacturerId, std::uint8_t deviceId,
                                   std::uint8_t sector, std::uint32_t* size) {
    const FlashDescription* d = Find(manufacturerId, deviceId);
    if (!d) return FlashFileCode::kUnknownFlash;
    if (sector >= CountedSectors(*d)) return FlashFileCode::kBadSectorNumber;
    *size = d->sectors[sector].size;
    return kStatusOk;
}

std::int32_t _mfl10_1GetNumberOfSector(std::uint8_t manufacturerId, std::uint8_t deviceId,
                                       std::int32_t* count) {
    const FlashDescription* d = Find(manufacturerId, deviceId);
    if (!d) return FlashFileCode::kUnknownFlash;
    *count = d->sectorCount;
    return kStatusOk;
}

std::int32_t _mfl10_2GetSectorNumberWithStartAddr(std::uint8_t manufacturerId,
                                                  std::uint8_t deviceId, std::uint32_t offset,
                                                  std::uint8_t* sector) {
    const FlashDescription* d = Find(manufacturerId, deviceId);
    if (!d) return FlashFileCode::kUnknownFlash;
    int found = 0;
    const std::int32_t status = SectorAt(*d, offset, &found);
    if (status != kStatusOk) return status;
    *sector = static_cast<std::uint8_t>(found);
    return kStatusOk;
}

std::int32_t _mfl10_3GetSectorList(std::uint8_t manufacturerId, std::uint8_t deviceId,
                                   std::uint32_t offset, std::uint32_t length, SectorList* list) {
    list->count = 0;
    list->totalSize = 0;
    const FlashDescription* d = Find(manufacturerId, deviceId);
    if (!d) return FlashFileCode::kUnknownFlash;
    int sector = 0;
    const std::int32_t status = SectorAt(*d, offset, &sector);
    if (status != kStatusOk) return status;
    const int n = CountedSectors(*d);
    std::uint64_t covered = 0;
    while (covered < length) {
        if (sector >= n) return FlashFileCode::kNotEnoughSectors;
        covered += d->sectors[sector].size;
        list->numbers[list->count++] = static_cast<std::uint8_t>(sector);
        ++sector;
    }
    list->totalSize = static_cast<std::uint32_t>(covered);
    return kStatusOk;
}

std::int32_t _mfl10_4GetSectorBank(std::uint8_t manufacturerId, std::uint8_t deviceId,
                                   std::uint16_t sector, std::uint8_t* bank) {
    const FlashDescription* d = Find(manufacturerId, deviceId);
    if (!d) return FlashFileCode::kUnknownFlash;
    // A sector the chip does not have has no bank (and from 200 up, no slot).
    if (sector >= CountedSectors(*d)) return FlashFileCode::kBadSectorNumber;
    *bank = d->sectors[sector].bank;
    return kStatusOk;
}

std::int32_t _mfl10_5GetFlashSize(std::uint8_t manufacturerId, std::uint8_t deviceId,
                                  std::uint32_t* size) {
    *size = 0;
    const FlashDescription* d = Find(manufacturerId, deviceId);
    if (!d) return FlashFileCode::kUnknownFlash;
    *size = SumOfSectors(*d);
    return kStatusOk;
}

std::int32_t _mfl10_6GetManufacturerAndFlashName(std::uint8_t manufacturerId, std::uint8_t deviceId,
                                                 char manufacturerName[FLASH_NAME_SIZE],
                                                 char deviceName[FLASH_NAME_SIZE]) {
    const FlashDescription* d = Find(manufacturerId, deviceId);
    if (!d) return FlashFileCode::kUnknownFlash;
    std::memcpy(manufacturerName, d->manufacturerName, FLASH_NAME_SIZE);
    std::memcpy(deviceName, d->deviceName, FLASH_NAME_SIZE);
    manufacturerName[FLASH_NAME_SIZE - 1] = '\0';
    deviceName[FLASH_NAME_SIZE - 1] = '\0';
    return kStatusOk;
}

}  // namespace vbc
