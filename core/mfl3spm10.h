// The download sequence that runs after the boot.
#pragma once

#include <cstdint>

#include "core/context.h"

namespace vbc {

void _mfl3_0Generic4410(DownloadResult* result, DownloadContext context);
// The range of every phone's flash (from its first byte) that _mfl3_0Generic4410 reads once the
// flash is identified and before anything is written: the phone's factory identity, told to
// the job's observer (IdentityRead). length 0: none is read.
void SetIdentityRange(std::uint32_t offset, std::uint32_t length);
void _mfl3_1DownloadSoftware(DownloadResult* result, DownloadContext context);
// Reads back what _mfl3_1DownloadSoftware wrote and compares it with the image; fills the
// result: (8, a read code) or (8, CommandCode::kVerify) on failure.
void _mfl3_2VerifySoftware(DownloadResult* result, DownloadContext context);
// Reads length bytes of the flash from offset (from its first byte; length 0: to its end)
// into the file at path, which appears only once every byte was read. The phone must run
// the bootstrap at the job's speed (the service panel's Switch on). Fills the result.
void _mfl3_3ReadFlash(DownloadResult* result, DownloadContext context, std::uint32_t offset,
                      std::uint32_t length, const char* path);

}  // namespace vbc
