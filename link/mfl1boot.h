// Boot of the phone: ROM boot loader dialogue, bootstrap transfer, flash identification.
#pragma once

#include <cstdint>

#include "core/context.h"

namespace vbc {

void _mfl1_0boot(DownloadResult* result, DownloadContext* context);
std::int32_t _mfl1_1ConfigurationBootstrap(std::uint8_t port, std::int32_t productType,
                                           const std::uint8_t* buffer, std::int32_t length);
std::int32_t _mfl1_2BootCoherence(std::uint8_t answerByte, std::int32_t productType);
void _mfl1_50SetStartAddr(std::uint8_t port, std::uint32_t address);
void _mfl1_51DownloadBlock(std::uint8_t port, const std::uint8_t* buffer, std::int32_t length);
void _mfl1_52JumpToStartAddress(std::uint8_t port);
std::int32_t _mfl1_3GetTypeFlash(DownloadContext* context);

}  // namespace vbc
