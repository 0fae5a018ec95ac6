// PC-side library: serial line set-up and speed tables, bootstrap and file helpers.
#pragma once

#include <cstdint>

namespace vbc {

constexpr int NB_SPEED_PARAMETERS = 13;
constexpr int NB_PC_SPEED_VALUES = 9;
constexpr int SPM_MAX_SIZE = 8191;
constexpr int SPM_BUFFER_SIZE = 8192;

extern const std::uint8_t _a_SpeedParameters[NB_SPEED_PARAMETERS][3];
extern const std::uint32_t _a_PCSpeedValue[NB_PC_SPEED_VALUES];

// Base address of the flash in the phone, set with the bootstrap file.
extern std::uint32_t _sg_FlashAddr;

// Opens "COM<port>" with 8N1-style framing and the given rate, parity and time-out.
// 1 on success, otherwise the platform's negative code with bit 31 set.
std::int32_t _mfl12_0UartInit(std::int32_t port, std::int32_t baudRate, std::int32_t parity,
                              std::uint32_t timeoutSeconds);
void _mfl12_1UartStop(std::uint8_t port);

// 1 with the size written, or 2 when the platform cannot size the file.
std::int32_t _mfl12_2CalculateLengthOfFile(const char* fileName, std::int32_t* size);

// The bootstrap file of the product type ("mfl104_5.spm"), nullptr for a type that has none.
const char* BootstrapFileName(std::int32_t productType);

// Reads the bootstrap file of the product type: 1, 3 (cannot open) or 4 (over 8191 bytes).
std::int32_t _mfl12_4LoadSpmFile(std::int32_t* length, std::uint8_t* buffer,
                                 std::int32_t productType);

std::int32_t _mfl12_5ConversionLittleBig(std::uint32_t value, std::uint32_t* result,
                                         std::int32_t length);
std::int32_t _mfl12_6InitializeDefaultPath(char directory[260], const char* fileName);

}  // namespace vbc
