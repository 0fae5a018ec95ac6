// The download context: the one record that describes a download job, and the
// result pair that every stage of a job reports.
#pragma once

#include <cstdint>
#include <type_traits>

#include "core/resultcodes.h"

namespace vbc {

constexpr int kPathSize = 260;

struct DownloadContext {
    std::int32_t comPort = 1;
    std::int32_t simlockKeyOption = 0;
    std::int32_t pmuOption = 0;
    std::int32_t speedIndex = 1;
    std::int32_t downloadType = 0;
    std::int32_t productType = 2;
    std::uint8_t csWaitStates[4] = {0, 0, 0, 0};
    // [0] unused, [1] boot answer byte, [2] flash manufacturer code, [3] flash device code.
    std::uint8_t targetInfo[4] = {0, 0, 0, 0};
    std::int32_t startTime = 0;
    std::int32_t stepTime = 0;
    std::int32_t reserved0 = 0;
    char claFileName[kPathSize] = {};
    char binFileName[kPathSize] = {};
    char defaultPath[kPathSize] = {};
    std::int32_t claFileHandle = 0;
    std::uint8_t* fileBuffer = nullptr;  // owned; fileSize + 1 bytes
    std::int32_t fileSize = 0;
    std::int32_t reserved1[3] = {0, 0, 0};
    // 1: every written byte is read back and compared before the switch-off. Not saved in
    // config.txt: the operator chooses it per session.
    std::int32_t verifyOption = 0;
};
static_assert(std::is_trivially_copyable_v<DownloadContext>,
              "the context is handed to the sequence as a byte copy");

// The single global context, with the load-time defaults above.
extern DownloadContext _sg_DownloadContext;

// Result categories of a download job.
enum ResultCategory : std::int32_t {
    ResultSuccess = 0,
    ResultDownloadError = 1,
    ResultFlashFile = 2,
    ResultConfigFile = 3,
    ResultLibPc = 5,
    ResultBoot = 6,
    ResultCommand = 8,
    ResultSectorStartAck = 9,
    ResultSectorDownload = 10,
    ResultSectorAck = 11,
    ResultChecksum = 12,
    ResultDownloadTimeout = 13,
    ResultStopped = 14,  // the operator stopped the job (StopCode)
};

struct DownloadResult {
    std::int32_t category = 0;
    std::int32_t code = 0;
};

inline bool IsSuccess(const DownloadResult& r) {
    return r.category == ResultSuccess;
}

// Restores the global context to its load-time defaults (releasing any image); for tests.
void ResetDownloadContext();

}  // namespace vbc
