// Command set of the running bootstrap, and the sector-by-sector download.
#pragma once

#include <cstdint>
#include <ctime>

#include "core/context.h"

namespace vbc {

std::int32_t _mfl11_0SetSpeedAndPMU(DownloadContext context);
std::int32_t _mfl11_50ChangeSpeed(std::uint32_t timeoutSeconds, std::int32_t port,
                                  std::int32_t row);
std::int32_t _mfl11_51SpeedControl(std::int32_t port);
std::int32_t _mfl11_52SetPMU(std::int32_t port);
std::int32_t _mfl11_8SetGPIO(DownloadContext context);
std::int32_t _mfl11_53SetGPIO(std::int32_t port);
std::int32_t _mfl11_7SwitchOffCommand(std::int32_t port);
std::int32_t _mfl11_3DownloadSectorCommand(std::uint32_t address, std::uint32_t sectorSize,
                                           std::uint32_t length, std::int32_t port);
std::int32_t _mfl11_4EraseFlash(std::uint8_t opcode, std::uint32_t value1, std::uint32_t value2,
                                std::uint8_t byteValue, std::int32_t port);
std::int32_t _mfl11_5FlashEraseResult(std::int32_t port, std::int32_t expectStatus);
std::int32_t _mfl11_6ReadCommand(std::uint32_t address, std::uint32_t length, std::uint8_t* buffer,
                                 std::int32_t port);

// Writes length bytes of data at startAddress, sector by sector.
void _mfl11_54Download(DownloadResult* result, DownloadContext context, std::uint32_t length,
                       const std::uint8_t* data, std::uint32_t startAddress);

// Reads length bytes from address into buffer with the read command, in chunks of
// kReadChunkSize; a chunk whose read fails (17, 18 or 19) is read again, up to kReadRetries
// times. Shows the progress as its own pass (0 to 100 %). Returns 1, or the code of the last
// failed read of the chunk that could not be read.
std::int32_t _mfl11_55ReadFlash(std::uint32_t address, std::uint32_t length, std::uint8_t* buffer,
                                std::int32_t port);
// Reads back length bytes from address, as _mfl11_55ReadFlash does, and compares them with
// expected. Returns 1; a read's code; or CommandCode::kVerify with the first differing address
// in *firstDifference.
std::int32_t _mfl11_56VerifyFlash(std::uint32_t address, std::uint32_t length,
                                  const std::uint8_t* expected, std::int32_t port,
                                  std::uint32_t* firstDifference);

constexpr std::uint32_t kReadChunkSize = 65536;
constexpr int kReadRetries = 3;

// Module state of the sector download.
extern DownloadResult _mv_ResultDownload;
extern std::uint32_t _mv_SoftPourcent;
extern std::int32_t _mv_NbSectorsDisplay;

}  // namespace vbc
