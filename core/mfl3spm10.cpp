#include "core/mfl3spm10.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <system_error>
#include <vector>

#include "core/resultcodes.h"
#include "data/mfl10fla.h"
#include "link/mfl11command.h"
#include "link/mfl12pclib.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "toolkit/toolkit.h"
#include "ui/jobevents.h"
#include "ui/mfl52display.h"
#include "ui/transferstatus.h"
#include "ui/uirids.h"

namespace vbc {
namespace {

void SetStatusText(const char* text) {
    SetCtrlAttribute(_v_Panel, MAIN_STATUS_TEXT, ATTR_STATUS_TEXT, text);
}

// Stamps stepTime in the copy and shows the time since Start was pressed, "2 min 5 sec".
void ShowElapsedTime(DownloadContext& context) {
    context.stepTime = static_cast<std::int32_t>(Time());
    const std::uint32_t elapsed = static_cast<std::uint32_t>(context.stepTime) -
                                  static_cast<std::uint32_t>(context.startTime);
    char text[48];
    std::snprintf(text, sizeof text, "%u%s%u%s", elapsed / 60u, " min ", elapsed % 60u, " sec");
    SetStatusText(text);
}

void Fail(DownloadResult* result, std::int32_t category, std::int32_t code) {
    result->category = category;
    result->code = code;
}

std::uint32_t gIdentityOffset = 0;
std::uint32_t gIdentityLength = 0;

// The identity range, read with the command verify uses; its bytes go to the observer and, in
// hexadecimal, to the comment list. Before anything is written: a range the flash does not
// hold fails the job with the phone untouched.
void ReadIdentity(DownloadResult* result, const DownloadContext& context) {
    std::uint32_t flashSize = 0;
    const std::int32_t status =
        _mfl10_5GetFlashSize(context.targetInfo[2], context.targetInfo[3], &flashSize);
    if (status != kStatusOk) return Fail(result, ResultFlashFile, status);
    if (gIdentityOffset >= flashSize || gIdentityLength > flashSize - gIdentityOffset)
        return Fail(result, ResultFlashFile, FlashFileCode::kRangeOutsideFlash);
    char text[80];
    std::snprintf(text, sizeof text, "Read the identity: %u bytes from 0x%08X",
                  static_cast<unsigned>(gIdentityLength),
                  static_cast<unsigned>(_sg_FlashAddr + gIdentityOffset));
    AddCommentLine(text);
    std::vector<std::uint8_t> bytes(gIdentityLength);
    const std::int32_t read = _mfl11_55ReadFlash(_sg_FlashAddr + gIdentityOffset, gIdentityLength,
                                                 bytes.data(), context.comPort);
    if (read != kStatusOk) return Fail(result, ResultCommand, read);
    CurrentJobObserver().IdentityRead(bytes.data(), gIdentityLength);
    std::string hex = "Identity ";
    for (const std::uint8_t b : bytes) {
        char two[3];
        std::snprintf(two, sizeof two, "%02x", b);
        hex += two;
    }
    AddFullCommentLine(hex);
}

}  // namespace

void _mfl3_0Generic4410(DownloadResult* result, DownloadContext context) {
    SetStatusText(" ");
    Fail(result, ResultSuccess, 0);

    std::int32_t status = _mfl11_8SetGPIO(context);
    if (status != kStatusOk) return Fail(result, ResultCommand, status);
    status = _mfl11_0SetSpeedAndPMU(context);
    if (status != kStatusOk) return Fail(result, ResultCommand, status);

    // The flash must be described before anything is written into it.
    const std::uint8_t manufacturerId = context.targetInfo[2];
    const std::uint8_t deviceId = context.targetInfo[3];
    std::int32_t sectorCount = 0;
    status = _mfl10_1GetNumberOfSector(manufacturerId, deviceId, &sectorCount);
    if (status != kStatusOk) return Fail(result, ResultFlashFile, status);
    for (std::int32_t k = 0; k < sectorCount; ++k) {
        std::uint32_t size = 0;
        status =
            _mfl10_0GetSectorSize(manufacturerId, deviceId, static_cast<std::uint8_t>(k), &size);
        if (status != kStatusOk) return Fail(result, ResultFlashFile, status);
        _mfl52_0DisplaySector(k, size, 0, "N. A.", &context, &_mv_NbSectorsDisplay);
    }
    if (gIdentityLength > 0) {
        ReadIdentity(result, context);
        if (!IsSuccess(*result)) return;
    }
    AddCommentLine("Check the compatibility");

    if (context.downloadType == 0) {
        AddCommentLine("Download sector by sector");
        _mfl3_1DownloadSoftware(result, context);
        if (IsSuccess(*result) && context.verifyOption == 1) _mfl3_2VerifySoftware(result, context);
    } else {
        Fail(result, ResultDownloadError, 0);
    }

    ShowElapsedTime(context);
    if (IsSuccess(*result) && context.pmuOption == 0) {
        AddCommentLine("You do not need to remove the battery to start the mobile");
    } else {
        AddCommentLine("Remove the battery of the mobile ");
    }

    if (IsSuccess(*result)) {
        status = _mfl11_7SwitchOffCommand(context.comPort);
        if (status != kStatusOk) Fail(result, ResultCommand, status);
    }
}

void SetIdentityRange(std::uint32_t offset, std::uint32_t length) {
    gIdentityOffset = offset;
    gIdentityLength = length;
}

void _mfl3_1DownloadSoftware(DownloadResult* result, DownloadContext context) {
    Fail(result, ResultSuccess, 0);
    _mfl11_54Download(result, context, static_cast<std::uint32_t>(context.fileSize),
                      context.fileBuffer, _sg_FlashAddr);
    if (!IsSuccess(*result)) return;
    ShowElapsedTime(context);
    result->category = ResultSuccess;
}

void _mfl3_2VerifySoftware(DownloadResult* result, DownloadContext context) {
    Fail(result, ResultSuccess, 0);
    AddCommentLine("Verify");
    std::uint32_t difference = 0;
    const std::int32_t status =
        _mfl11_56VerifyFlash(_sg_FlashAddr, static_cast<std::uint32_t>(context.fileSize),
                             context.fileBuffer, context.comPort, &difference);
    if (status == kStatusOk) return;
    if (status == CommandCode::kVerify) {
        _mv_VerifyErrorAddress = difference;
        char text[48];
        std::snprintf(text, sizeof text, "Verify error at 0x%08X",
                      static_cast<unsigned>(difference));
        AddCommentLine(text);
    }
    Fail(result, ResultCommand, status);
}

void _mfl3_3ReadFlash(DownloadResult* result, DownloadContext context, std::uint32_t offset,
                      std::uint32_t length, const char* path) {
    SetStatusText(" ");
    Fail(result, ResultSuccess, 0);
    std::uint32_t flashSize = 0;
    const std::int32_t status =
        _mfl10_5GetFlashSize(context.targetInfo[2], context.targetInfo[3], &flashSize);
    if (status != kStatusOk) return Fail(result, ResultFlashFile, status);
    if (offset >= flashSize || length > flashSize - offset)
        return Fail(result, ResultFlashFile, FlashFileCode::kRangeOutsideFlash);
    if (length == 0) length = flashSize - offset;
    // Minutes of reading for a file that cannot be made: found out before the first byte.
    if (const std::string problem = platform::AtomicWriteProblem(path); !problem.empty()) {
        AddFullCommentLine("Cannot write " + std::string(path) + ": " + problem);
        return Fail(result, ResultLibPc, LibPcCode::kCannotWriteFile);
    }

    char text[64];
    std::snprintf(text, sizeof text, "Read the flash: %u bytes from 0x%08X",
                  static_cast<unsigned>(length), static_cast<unsigned>(_sg_FlashAddr + offset));
    AddCommentLine(text);
    // The transfer line counts this job's time, not that of an earlier one.
    BeginTransferStatus(length, context.startTime);
    std::string bytes(length, '\0');
    const std::int32_t read =
        _mfl11_55ReadFlash(_sg_FlashAddr + offset, length,
                           reinterpret_cast<std::uint8_t*>(bytes.data()), context.comPort);
    ShowElapsedTime(context);
    if (read != kStatusOk) return Fail(result, ResultCommand, read);

    int error = 0;
    if (!platform::WriteFileAtomically(path, bytes, &error)) {
        AddFullCommentLine("Cannot write " + std::string(path) + ": " +
                           platform::AtomicWriteErrorText(error));
        return Fail(result, ResultLibPc, LibPcCode::kCannotWriteFile);
    }
    AddFullCommentLine("Flash read into " + std::string(path));
}

}  // namespace vbc
