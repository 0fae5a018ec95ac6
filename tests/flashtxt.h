// Builds flash.txt texts for tests, benchmarks and fuzz targets: one chip's fields as they are
// written in the file, so a case changes only what it is about.
#pragma once

#include <initializer_list>
#include <string>
#include <vector>

namespace vbc::test {

struct FlashChip {
    std::string manufacturerName = "MAKER A";
    std::string deviceName = "FLASH 8M BOT";
    std::string product = "handset";
    std::string manufacturerId = "1";
    std::string deviceId = "91";
    std::string banks = "1";
    std::string sectorCount = "19";
    // 19 sectors, 1 MiB.
    std::vector<std::string> sectors = {"0*16384*0", "1-2*8192*0", "3*32768*0", "4-18*65536*0"};
    std::string endSectors = "END_SECTOR_DESCRIPTION";
};

// The lines of one chip's block, from NEW_FLASH to END_FLASH, without line ends.
inline std::vector<std::string> FlashBlockLines(const FlashChip& c) {
    std::vector<std::string> lines = {"NEW_FLASH",
                                      "MANUFACTURER_NAME : " + c.manufacturerName,
                                      "DEVICE_NAME : " + c.deviceName,
                                      "NORVANE_PRODUCT : " + c.product,
                                      "MANUFACTURER_ID : " + c.manufacturerId,
                                      "DEVICE_ID : " + c.deviceId,
                                      "NB_BANKS : " + c.banks,
                                      "NB_SECTORS : " + c.sectorCount,
                                      "START_SECTOR_DESCRITPION"};
    lines.insert(lines.end(), c.sectors.begin(), c.sectors.end());
    lines.push_back(c.endSectors);
    lines.push_back("END_FLASH");
    return lines;
}

// Lines joined with CR LF after each one, as flash.txt is written.
inline std::string CrlfJoin(const std::vector<std::string>& lines) {
    std::string s;
    for (const auto& l : lines) s += l + "\r\n";
    return s;
}

// A whole file: an optional comment line, then each chip's block.
inline std::string FlashTxt(std::initializer_list<FlashChip> chips,
                            const std::string& comment = "") {
    std::string s = comment.empty() ? "" : comment + "\r\n";
    for (const auto& c : chips) s += CrlfJoin(FlashBlockLines(c));
    return s;
}

}  // namespace vbc::test
