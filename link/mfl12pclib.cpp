#include "link/mfl12pclib.h"

#include <cstdio>
#include <cstring>
#include <limits>
#include <string>

#include "core/resultcodes.h"
#include "platform/files.h"
#include "platform/serial.h"
#include "ui/mfl52display.h"

namespace vbc {

const std::uint8_t _a_SpeedParameters[NB_SPEED_PARAMETERS][3] = {
    {0x00, 0xFF, 0xEB}, {0x00, 0xFF, 0xF9}, {0x00, 0xFF, 0xFB}, {0x00, 0xFF, 0xFC},
    {0xB0, 0xFF, 0xFD}, {0x60, 0xFF, 0xFD}, {0x20, 0xFF, 0xFD}, {0x00, 0xFF, 0xFD},
    {0xB0, 0xFF, 0xFE}, {0xA0, 0xFF, 0xFE}, {0x90, 0xFF, 0xFE}, {0x80, 0xFF, 0xFE},
    {0x70, 0xFF, 0xFE},
};

const std::uint32_t _a_PCSpeedValue[NB_PC_SPEED_VALUES] = {
    38400, 115200, 162500, 203125, 220338, 240740, 260000, 270833, 302325,
};

std::uint32_t _sg_FlashAddr = 0;

std::int32_t _mfl12_0UartInit(std::int32_t port, std::int32_t baudRate, std::int32_t parity,
                              std::uint32_t timeoutSeconds) {
    const std::string name = "COM" + std::to_string(port);
    const bool reopen = !ComDevicePath(port).empty();
    const int opened = OpenComConfig(port, name.c_str(), baudRate, parity, 8, 1, 65536, 65536);
    if (opened != 0) {
        // The result says that the port failed; this line says why, and what to do.
        if (!reopen && opened == kComErrCannotOpen)
            AddFullCommentLine(ExplainOpenFailure(port, name));
        return static_cast<std::int32_t>(static_cast<std::uint32_t>(opened) | 0x80000000u);
    }
    SetCTSMode(port, 0);
    SetXMode(port, 0);
    FlushInQ(port);
    FlushOutQ(port);
    ComSetEscape(port, kEscapeClearDtr);
    SetComTime(port, static_cast<double>(timeoutSeconds));
    return kStatusOk;
}

void _mfl12_1UartStop(std::uint8_t port) {
    ComSetEscape(port, kEscapeClearDtr);
    CloseCom(port);
}

std::int32_t _mfl12_2CalculateLengthOfFile(const char* fileName, std::int32_t* size) {
    std::int64_t bytes = 0;
    if (platform::GetFileInfo(fileName, &bytes) != 1) return LibPcCode::kFileSizeError;
    // The image buffer holds size + 1 bytes in an int32 count: anything larger cannot load.
    if (bytes < 0 || bytes >= std::numeric_limits<std::int32_t>::max())
        return LibPcCode::kFileSizeError;
    *size = static_cast<std::int32_t>(bytes);
    return kStatusOk;
}

const char* BootstrapFileName(std::int32_t productType) {
    switch (productType) {
        case 1:
            return "mfl104_4.spm";
        case 2:
            return "mfl104_5.spm";
        default:
            return nullptr;
    }
}

std::int32_t _mfl12_4LoadSpmFile(std::int32_t* length, std::uint8_t* buffer,
                                 std::int32_t productType) {
    const char* name = BootstrapFileName(productType);
    // No bootstrap exists for other product types: nothing to open.
    if (!name) return LibPcCode::kFileNotFound;
    _sg_FlashAddr = productType == 1 ? 0x200000 : 0x800000;
    std::FILE* f = std::fopen(name, "rb");
    if (!f) return LibPcCode::kFileNotFound;
    std::int32_t count = 0;
    int c;
    while ((c = std::fgetc(f)) != EOF) {
        if (count >= SPM_MAX_SIZE) {
            std::fclose(f);
            return LibPcCode::kBootstrapTooLong;
        }
        buffer[count++] = static_cast<std::uint8_t>(c);
    }
    // A read that failed part-way (or a directory of that name) must not pass for a
    // shorter bootstrap.
    if (std::ferror(f)) {
        std::fclose(f);
        return LibPcCode::kFileNotFound;
    }
    std::fclose(f);
    *length = count;
    return kStatusOk;
}

std::int32_t _mfl12_5ConversionLittleBig(std::uint32_t value, std::uint32_t* result,
                                         std::int32_t length) {
    *result = 0;
    switch (length) {
        case 1:
            *result = value;
            return kStatusOk;
        case 2:
            *result = (value >> 8) | ((value & 0xFFu) << 8);
            return kStatusOk;
        case 3:
            *result = (value >> 16) | (value & 0xFF00u) | ((value & 0xFFu) << 16);
            return kStatusOk;
        case 4:
            *result = ((value & 0xFFu) << 24) | ((value & 0xFF00u) << 8) |
                      ((value >> 8) & 0xFF00u) | (value >> 24);
            return kStatusOk;
        default:
            return LibPcCode::kBadSwapLength;
    }
}

std::int32_t _mfl12_6InitializeDefaultPath(char directory[260], const char* fileName) {
    // The directory ends at the last backslash; on POSIX the slash separates directories too.
    const char* last = std::strrchr(fileName, '\\');
#ifndef _WIN32
    const char* slash = std::strrchr(fileName, '/');
    if (slash && (!last || slash > last)) last = slash;
#endif
    if (last) {
        std::size_t n = static_cast<std::size_t>(last - fileName);
        if (n > 259) n = 259;
        std::memcpy(directory, fileName, n);
        directory[n] = '\0';
    }
    return kStatusOk;
}

}  // namespace vbc
