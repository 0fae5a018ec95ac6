// Fuzzes the flash.txt reader and the geometry queries on whatever table it leaves.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "data/mfl10fla.h"

namespace {

void Check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

// Query arguments come from the input, so that a finding replays from the file alone.
struct Random {
    std::uint64_t state;
    std::uint32_t Next() {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        return static_cast<std::uint32_t>(state >> 32);
    }
};

std::uint64_t Hash(const std::uint8_t* data, std::size_t size) {
    std::uint64_t h = 1469598103934665603ull;
    for (std::size_t i = 0; i < size; ++i) h = (h ^ data[i]) * 1099511628211ull;
    return h;
}

bool Terminated(const char* name) {
    return std::memchr(name, '\0', vbc::FLASH_NAME_SIZE);
}

// Every query on one pair of codes, with offsets drawn both at random and on the sector
// boundaries where the answers change.
void Query(std::uint8_t m, std::uint8_t d, const vbc::FlashDescription* known, Random& r) {
    using namespace vbc;
    std::uint8_t index = 0;
    const std::int32_t found = _mfl10_500GetFlashIndex(m, d, &index);
    Check(found == 1 || found == 15, "index status");
    Check((found == 1) == (known != nullptr), "index agrees with the table");
    if (found == 1) Check(index < _vg_FlashDescritpion.count, "index in range");

    std::uint32_t size = 0;
    std::int32_t s = _mfl10_0GetSectorSize(m, d, static_cast<std::uint8_t>(r.Next()), &size);
    Check(s == 1 || s == 15 || s == 19, "sector size status");

    std::int32_t count = -1;
    s = _mfl10_1GetNumberOfSector(m, d, &count);
    Check(s == 1 || s == 15, "sector count status");
    if (s == 1) Check(count >= 0 && count <= NB_SECTORS, "sector count in range");

    std::uint32_t flashSize = 0;
    s = _mfl10_5GetFlashSize(m, d, &flashSize);
    Check(s == 1 || s == 15, "flash size status");

    std::uint8_t bank = 0;
    s = _mfl10_4GetSectorBank(m, d, static_cast<std::uint16_t>(r.Next()), &bank);
    Check(s == 1 || s == 15 || s == 19, "bank status");

    char maker[FLASH_NAME_SIZE];
    char device[FLASH_NAME_SIZE];
    s = _mfl10_6GetManufacturerAndFlashName(m, d, maker, device);
    Check(s == 1 || s == 15, "names status");
    if (s == 1) Check(Terminated(maker) && Terminated(device), "names terminated");

    for (int i = 0; i < 4; ++i) {
        std::uint32_t offset = r.Next();
        if (known && known->sectorCount && (i & 1)) {
            // The start of a random sector (or the end of the flash).
            const std::uint32_t k = r.Next() % (known->sectorCount + 1u);
            offset = 0;
            for (std::uint32_t j = 0; j < k; ++j) offset += known->sectors[j].size;
        }
        std::uint8_t sector = 0;
        s = _mfl10_2GetSectorNumberWithStartAddr(m, d, offset, &sector);
        Check(s == 1 || s == 15 || s == 18, "start sector status");
        if (s == 1 && known) Check(sector <= known->sectorCount, "start sector in range");

        SectorList list;
        const std::uint32_t length = (i & 2) ? r.Next() : r.Next() % (1u << 20);
        s = _mfl10_3GetSectorList(m, d, offset, length, &list);
        Check(s == 1 || s == 15 || s == 18 || s == 20, "sector list status");
        if (s != 1) continue;
        Check(list.count <= NB_SECTORS, "list length");
        std::uint64_t total = 0;
        for (int j = 0; j < list.count; ++j) {
            Check(list.numbers[j] < known->sectorCount, "listed sector exists");
            if (j) Check(list.numbers[j] == list.numbers[j - 1] + 1, "listed sectors consecutive");
            total += known->sectors[list.numbers[j]].size;
        }
        Check(total >= length, "list covers the length");
        Check(static_cast<std::uint32_t>(total) == list.totalSize, "list total");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vbc;
    if (size > (1u << 20)) return -1;
    std::memset(&_vg_FlashDescritpion, 0xA5, sizeof _vg_FlashDescritpion);
    const std::int32_t status =
        ParseFlashDescription(&_vg_FlashDescritpion, data, static_cast<std::uint32_t>(size));
    Check(status == 1 || (status >= 3 && status <= 17 && status != 15), "parse status");

    const FlashDescriptionTable& t = _vg_FlashDescritpion;
    Check(t.count <= NB_FLASH_DESCRIPTIONS, "description count");
    Check(status != 16 || t.count == NB_FLASH_DESCRIPTIONS, "16 leaves twenty");
    for (int i = 0; i < t.count; ++i) {
        const FlashDescription& f = t.descriptions[i];
        Check(f.sectorCount <= NB_SECTORS, "sector count");
        Check(Terminated(f.manufacturerName) && Terminated(f.deviceName), "names terminated");
        if (status == 1 || i + 1 < t.count) {
            std::uint32_t sum = 0;
            for (int k = 0; k < f.sectorCount; ++k) sum += f.sectors[k].size;
            Check(sum == f.flashSize, "flash size is the sum of the sectors");
        }
    }

    Random r{Hash(data, size)};
    for (int i = 0; i < t.count; ++i) {
        const FlashDescription& f = t.descriptions[i];
        // The first description with these codes is the one every query answers for.
        const FlashDescription* first = &f;
        for (int j = 0; j < i; ++j) {
            if (t.descriptions[j].manufacturerId == f.manufacturerId &&
                t.descriptions[j].deviceId == f.deviceId) {
                first = &t.descriptions[j];
                break;
            }
        }
        Query(f.manufacturerId, f.deviceId, first, r);
    }
    for (int i = 0; i < 2; ++i) {
        const std::uint8_t m = static_cast<std::uint8_t>(r.Next());
        const std::uint8_t d = static_cast<std::uint8_t>(r.Next());
        const FlashDescription* known = nullptr;
        for (int j = 0; j < t.count && !known; ++j) {
            if (t.descriptions[j].manufacturerId == m && t.descriptions[j].deviceId == d)
                known = &t.descriptions[j];
        }
        Query(m, d, known, r);
    }
    return 0;
}
