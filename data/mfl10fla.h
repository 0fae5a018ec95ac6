// Flash description table, read from flash.txt, and the sector-geometry queries.
#pragma once

#include <cstdint>

namespace vbc {

constexpr int NB_FLASH_DESCRIPTIONS = 20;
constexpr int NB_SECTORS = 200;
constexpr int FLASH_NAME_SIZE = 15;  // 14 characters and a NUL

struct SectorDescription {
    std::uint8_t bank;
    std::uint32_t size;
};

struct FlashDescription {
    char manufacturerName[FLASH_NAME_SIZE];
    char deviceName[FLASH_NAME_SIZE];
    std::uint8_t manufacturerId;
    std::uint8_t deviceId;
    std::uint8_t bankCount;
    std::uint16_t sectorCount;
    std::uint32_t flashSize;
    SectorDescription sectors[NB_SECTORS];
};

struct FlashDescriptionTable {
    std::uint8_t count;
    FlashDescription descriptions[NB_FLASH_DESCRIPTIONS];
};

struct SectorList {
    std::uint8_t count;
    std::uint32_t totalSize;
    std::uint8_t numbers[NB_SECTORS];
};

extern FlashDescriptionTable _vg_FlashDescritpion;

// Reads flash.txt from the working directory: 1, or a file error code 2 to 17.
std::int32_t _mfl10_100InitFlashDescription();
// Parses a flash.txt image already in memory into a table (what the reader does after
// loading the file into _vg_FlashDescritpion). The table is not cleared first beyond count.
std::int32_t ParseFlashDescription(FlashDescriptionTable* table, const std::uint8_t* data,
                                   std::uint32_t size);

std::int32_t _mfl10_500GetFlashIndex(std::uint8_t manufacturerId, std::uint8_t deviceId,
                                     std::uint8_t* index);
std::int32_t _mfl10_0GetSectorSize(std::uint8_t manufacturerId, std::uint8_t deviceId,
                                   std::uint8_t sector, std::uint32_t* size);
std::int32_t _mfl10_1GetNumberOfSector(std::uint8_t manufacturerId, std::uint8_t deviceId,
                                       std::int32_t* count);
std::int32_t _mfl10_2GetSectorNumberWithStartAddr(std::uint8_t manufacturerId,
                                                  std::uint8_t deviceId, std::uint32_t offset,
                                                  std::uint8_t* sector);
std::int32_t _mfl10_3GetSectorList(std::uint8_t manufacturerId, std::uint8_t deviceId,
                                   std::uint32_t offset, std::uint32_t length, SectorList* list);
std::int32_t _mfl10_4GetSectorBank(std::uint8_t manufacturerId, std::uint8_t deviceId,
                                   std::uint16_t sector, std::uint8_t* bank);
std::int32_t _mfl10_5GetFlashSize(std::uint8_t manufacturerId, std::uint8_t deviceId,
                                  std::uint32_t* size);
std::int32_t _mfl10_6GetManufacturerAndFlashName(std::uint8_t manufacturerId, std::uint8_t deviceId,
                                                 char manufacturerName[FLASH_NAME_SIZE],
                                                 char deviceName[FLASH_NAME_SIZE]);

}  // namespace vbc
