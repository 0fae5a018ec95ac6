// Boot of the phone: wakes the VBC4410 ROM boot loader, sends the chip-select configuration,
// the bootstrap and a jump, then reads the bootstrap's acknowledgement, its version and the
// identity of the flash chip.
//
// Every read here keeps only the low 8 bits of ComRdByte, so a time-out shows as the
// time-out byte 0x9D. A read fault (the port disappeared) is taken for a time-out as well:
// a dead line is silence to the boot, and every wait below ends on silence.
#include "link/mfl1boot.h"

#include <cstdio>

#include "core/resultcodes.h"
#include "link/mfl12pclib.h"
#include "platform/clock.h"
#include "platform/jobstop.h"
#include "platform/serial.h"
#include "ui/jobevents.h"
#include "ui/mfl52display.h"

namespace vbc {
namespace {

constexpr std::uint8_t kTimeoutByte = 0x9D;  // low byte of kComTimeout
constexpr std::uint8_t kBootAnswerVbc4410 = 0xBE;
constexpr std::uint8_t kBootLoaderAnswer = 0x44;
constexpr std::uint8_t kBootstrapAck = 0x44;
constexpr std::uint8_t kBootstrapVersion = 0xA0;
constexpr std::uint8_t kFlashIdentStart = 0xC2;

constexpr std::int32_t kBootBaudRate = 38400;
constexpr std::uint32_t kBootTimeoutSeconds = 5;

// A phone announces itself and acknowledges within seconds; a line that keeps streaming
// other bytes for this long (a wrong device on the port) is treated as one that stays silent,
// since the boot does not pump events and the operator could not stop it.
constexpr std::int64_t kMaxWaitSeconds = 60;

constexpr std::uint32_t kExtendedModeRegister = 0xFFFF8003;
constexpr std::uint8_t kExtendedModeValue = 0x70;
constexpr std::uint8_t kType2Configuration[8] = {0x86, 0x42, 0x56, 0x02, 0x07, 0x00, 0x07, 0x80};

// One received byte, or the time-out byte for a time-out or any other read fault.
std::uint8_t ReadByte(int port) {
    const int value = ComRdByte(port);
    if (value < 0) return kTimeoutByte;
    return static_cast<std::uint8_t>(value);
}

bool Faulted(int value) {
    return value < 0 && value != kComTimeout;
}

void Comment(const char* format, unsigned value) {
    char line[100];
    std::snprintf(line, sizeof line, format, value);
    AddCommentLine(line);
}

}  // namespace

void _mfl1_50SetStartAddr(std::uint8_t port, std::uint32_t address) {
    ComWrtByte(port, 0x00);
    ComWrtByte(port, 0x03);
    ComWrtByte(port, static_cast<int>((address >> 24) & 0xFF));
    ComWrtByte(port, static_cast<int>((address >> 16) & 0xFF));
    ComWrtByte(port, static_cast<int>((address >> 8) & 0xFF));
    ComWrtByte(port, static_cast<int>(address & 0xFF));
}

void _mfl1_51DownloadBlock(std::uint8_t port, const std::uint8_t* buffer, std::int32_t length) {
    // The header holds length - 1 in 13 bits: 1 to 8191 bytes, nothing else is sent.
    if (length < 1 || length > SPM_MAX_SIZE) return;
    const std::int32_t last = length - 1;
    ComWrtByte(port, 0x40 + (last >> 8));
    ComWrtByte(port, last & 0xFF);
    ComWrt(port, buffer, length);
}

void _mfl1_52JumpToStartAddress(std::uint8_t port) {
    ComWrtByte(port, 0x60);
    ComWrtByte(port, 0x00);
}

std::int32_t _mfl1_1ConfigurationBootstrap(std::uint8_t port, std::int32_t productType,
                                           const std::uint8_t* buffer, std::int32_t length) {
    if (productType == 1) {
        const std::uint8_t* ws = _sg_DownloadContext.csWaitStates;
        ComWrtByte(port, 0xC6);
        ComWrtByte(port, 0x80 + (ws[0] & 7));
        ComWrtByte(port, 0x96);
        ComWrtByte(port, ws[1] & 7);
        ComWrtByte(port, 0xC7);
        ComWrtByte(port, ws[2] & 7);
        ComWrtByte(port, 0xD7);
        ComWrtByte(port, 0x80 + (ws[3] & 7));
    } else if (productType == 2) {
        for (std::uint8_t b : kType2Configuration) ComWrtByte(port, b);
        _mfl1_50SetStartAddr(port, kExtendedModeRegister);
        const std::uint8_t extended = kExtendedModeValue;
        _mfl1_51DownloadBlock(port, &extended, 1);
        AddCommentLine("Extended mode... ");
    } else {
        return BootCode::kBadChipSelect;
    }
    _mfl1_50SetStartAddr(port, 0);
    _mfl1_51DownloadBlock(port, buffer, length);
    _mfl1_50SetStartAddr(port, 0);
    _mfl1_52JumpToStartAddress(port);
    return kStatusOk;
}

std::int32_t _mfl1_2BootCoherence(std::uint8_t answerByte, std::int32_t productType) {
    if (answerByte != kBootAnswerVbc4410) return BootCode::kUnknownProcessor;
    if (productType == 1 || productType == 2) return kStatusOk;
    return BootCode::kWrongProcessor;
}

std::int32_t _mfl1_3GetTypeFlash(DownloadContext* context) {
    const int port = context->comPort;

    if (ReadByte(port) != kFlashIdentStart) return BootCode::kBadIdentificationAck;

    const std::uint8_t manufacturer = ReadByte(port);
    context->targetInfo[2] = manufacturer;
    if (manufacturer == kTimeoutByte) return BootCode::kIdentificationTimeout;
    Comment("Flash Device manufacturer %x ", manufacturer);

    switch (manufacturer) {
        case 0x01:
        case 0x04:
        case 0x07:
        case 0x20:
        case 0x2C:
        case 0x89:
        case 0x98:
            break;
        default:
            return BootCode::kUnknownFlashManufacturer;
    }

    // A time-out on the device code or the extension byte is not tested: the code shows as
    // 0x9D. A line that is gone, though, cannot have identified anything.
    const int device = ComRdByte(port);
    if (Faulted(device)) return BootCode::kIdentificationTimeout;
    context->targetInfo[3] = static_cast<std::uint8_t>(device);

    bool hasExtension = false;
    const char* name = nullptr;
    if (manufacturer == 0x2C) {
        hasExtension = context->targetInfo[3] == 0xB6;
    } else if (manufacturer == 0x01) {
        hasExtension = context->targetInfo[3] == 0xE3 || context->targetInfo[3] == 0xE4;
    } else if (manufacturer == 0x20 || manufacturer == 0x89) {
        Comment("ST Flash Device Id %x ", context->targetInfo[3]);
        switch (context->targetInfo[3]) {
            case 0xCA:
                name = "ST M36DR864CB Flash";
                break;
            case 0x64:
                name = "INTEL 28F640W18 Flash";
                break;
            case 0x10:
                name = "ST M58WR064ET Flash";
                break;
            default:
                break;
        }
        hasExtension = name != nullptr;
    }
    if (hasExtension) {
        const int extension = ComRdByte(port);
        if (Faulted(extension)) return BootCode::kIdentificationTimeout;
        if (name) {
            AddCommentLine(name);
            Comment("Extended bit: %x", static_cast<std::uint8_t>(extension));
        }
    }
    return kStatusOk;
}

void _mfl1_0boot(DownloadResult* result, DownloadContext* context) {
    std::uint8_t bootstrap[SPM_BUFFER_SIZE];
    std::int32_t length = 0;
    const int port = context->comPort;
    const auto framePort = static_cast<std::uint8_t>(port);

    result->category = ResultSuccess;
    result->code = 0;

    std::int32_t status = _mfl12_0UartInit(port, kBootBaudRate, kParityEven, kBootTimeoutSeconds);
    if (status != kStatusOk) {
        result->category = ResultLibPc;
        result->code = status;
        return;
    }
    status = _mfl12_4LoadSpmFile(&length, bootstrap, context->productType);
    if (status != kStatusOk) {
        result->category = ResultLibPc;
        result->code = status;
        return;
    }

    // Wake the ROM boot loader and wait for its answer byte, skipping line noise.
    if (context->productType != 0) ComSetEscape(port, kEscapeSetDtr);
    const std::int64_t waitStart = Time();
    for (;;) {
        context->targetInfo[1] = ReadByte(port);
        if (context->targetInfo[1] == kBootAnswerVbc4410) break;
        if (context->targetInfo[1] == kTimeoutByte) break;
        // A stopped job waits no longer: every read now ends at once.
        if (Time() - waitStart >= kMaxWaitSeconds || JobStopRequested()) {
            context->targetInfo[1] = kTimeoutByte;
            break;
        }
    }
    ComWrtByte(port, kBootLoaderAnswer);
    if (context->productType != 0) ComSetEscape(port, kEscapeClearDtr);
    if (context->targetInfo[1] == kTimeoutByte) {
        result->category = ResultBoot;
        result->code = BootCode::kNoAnswer;
        return;
    }
    CurrentJobObserver().BootLoaderAnswered();

    status = _mfl1_1ConfigurationBootstrap(framePort, context->productType, bootstrap, length);
    if (status != kStatusOk) {
        result->category = ResultBoot;
        result->code = status;
        return;
    }
    status = _mfl1_2BootCoherence(context->targetInfo[1], context->productType);
    if (status != kStatusOk) {
        result->category = ResultBoot;
        result->code = status;
        return;
    }

    // The bootstrap's acknowledgement. The block may still be on the line when this starts,
    // so a first time-out is always followed by a second read.
    std::uint8_t byte = ReadByte(port);
    if (byte != kBootstrapAck) {
        std::uint8_t further = 0;
        const std::int64_t ackStart = Time();
        do {
            byte = ReadByte(port);
            ++further;
            if (byte != kBootstrapAck && byte != kTimeoutByte &&
                (Time() - ackStart >= kMaxWaitSeconds || JobStopRequested())) {
                byte = kTimeoutByte;
            }
        } while (byte != kBootstrapAck && byte != kTimeoutByte);
        if (byte != kBootstrapAck) {
            result->category = ResultBoot;
            result->code = BootCode::kAckWaitBase + 256 * further + byte;
            return;
        }
    }

    byte = ReadByte(port);
    if (byte != kBootstrapVersion) {
        Comment("Target error:%x", byte);
        result->category = ResultBoot;
        result->code = BootCode::kBadVersionMarker;
        return;
    }
    // The version bytes are shown as they come, time-out bytes included.
    const std::uint8_t major = ReadByte(port);
    const std::uint8_t minor = ReadByte(port);
    char line[100];
    std::snprintf(line, sizeof line, "SPM version:%d.%d", major, minor);
    AddCommentLine(line);

    status = _mfl1_3GetTypeFlash(context);
    if (status != kStatusOk) {
        result->category = ResultBoot;
        result->code = status;
        return;
    }
    result->category = ResultSuccess;
    result->code = 0;
}

}  // namespace vbc
