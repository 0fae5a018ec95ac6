// Command set of the running bootstrap, and the sector-by-sector download.
//
// Every parameter goes out most significant byte first; every checksum the bootstrap sends
// comes back least significant byte first. Status bytes are the low 8 bits of ComRdByte, so a
// read that times out (-99) is simply a wrong answer here.
#include "link/mfl11command.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "core/resultcodes.h"
#include "data/mfl10fla.h"
#include "link/mfl12pclib.h"
#include "platform/clock.h"
#include "platform/jobstop.h"
#include "platform/serial.h"
#include "toolkit/toolkit.h"
#include "ui/jobevents.h"
#include "ui/mfl52display.h"
#include "ui/transferstatus.h"
#include "ui/uirids.h"

namespace vbc {

DownloadResult _mv_ResultDownload = {};
std::uint32_t _mv_SoftPourcent = 0;
std::int32_t _mv_NbSectorsDisplay = 0;

namespace {

// Opcodes.
constexpr std::uint8_t kOpChangeSpeed = 0xE0;
constexpr std::uint8_t kOpEraseAll = 0xE2;
constexpr std::uint8_t kOpEraseSector = 0xE3;
constexpr std::uint8_t kOpEraseRange = 0xE4;
constexpr std::uint8_t kOpRead = 0xE6;
constexpr std::uint8_t kOpSwitchOff = 0xE8;
constexpr std::uint8_t kOpSpeedControl = 0xE9;
constexpr std::uint8_t kOpDownloadSector = 0xEA;
constexpr std::uint8_t kOpSetGpio = 0xEB;
constexpr std::uint8_t kOpSetPmu = 0xEF;

// Status bytes.
constexpr std::uint8_t kAckCommand = 0xC0;
constexpr std::uint8_t kAckEraseRefused = 0xC1;
constexpr std::uint8_t kAckSpeedParameters = 0xC3;
constexpr std::uint8_t kSpeedChecksumGood = 0x00;
constexpr std::uint8_t kAckEraseStatus = 0xC5;
constexpr std::uint8_t kAckReadParameters = 0xC7;
constexpr std::uint8_t kAckGpio = 0xC9;
constexpr std::uint8_t kAckSpeedControl = 0xCA;
constexpr std::uint8_t kAckSectorReady = 0xCB;
constexpr std::uint8_t kAckSectorChecksum = 0xCC;
constexpr std::uint8_t kAckSectorFailed = 0xCD;
constexpr std::uint8_t kAckPmu = 0xCF;
constexpr std::uint8_t kEraseFailed = 0xF3;
constexpr std::uint8_t kEraseFailedDq6 = 0xF4;
constexpr std::uint8_t kEraseFailedDq6Bis = 0xF5;
constexpr std::uint8_t kEraseDone = 0xF6;

constexpr int kSpeedChangeTries = 4;
constexpr int kSpeedControlTries = 4;
constexpr int kPmuTries = 3;
constexpr std::uint32_t kSpeedChangeTimeoutSeconds = 10;

// The port's output queue: the data goes out in blocks of its size.
constexpr std::uint32_t kBlockSize = 65536;
// Whole-second clock readings more than this apart end an answer wait.
constexpr std::int64_t kAnswerWaitSeconds = 10;
constexpr int kSectorAttempts = 3;
constexpr int kDownloadFailures = 5;

// How long one sleep on the device lasts while waiting: short enough to keep the operator
// interface live, long enough to cost nothing.
constexpr int kAnswerPollMs = 20;
constexpr int kDrainPollMs = 20;
// An output queue that has not shrunk for more than this many whole seconds never will.
constexpr std::int64_t kDrainStallSeconds = 10;

std::uint8_t ReadStatus(std::int32_t port) {
    return static_cast<std::uint8_t>(ComRdByte(port));
}

void PutBigEndian32(std::uint8_t* out, std::uint32_t value) {
    out[0] = static_cast<std::uint8_t>(value >> 24);
    out[1] = static_cast<std::uint8_t>(value >> 16);
    out[2] = static_cast<std::uint8_t>(value >> 8);
    out[3] = static_cast<std::uint8_t>(value);
}

void WriteBigEndian32(std::int32_t port, std::uint32_t value) {
    std::uint8_t bytes[4];
    PutBigEndian32(bytes, value);
    ComWrt(port, bytes, 4);
}

// Four bytes as the bootstrap sends a checksum: least significant first.
std::uint32_t LittleEndian32(const std::uint8_t* bytes) {
    return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
           static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

// Adds the bytes, read where they lie, to a running 32-bit sum: eight at a time, each pair added
// into a 16-bit lane (at most 510) and the four lanes by one multiplication (at most 2040 in the
// top lane), so that a checked build does not pay a check per byte of a 64 KiB block. Out of
// line, so that the fuzz build can leave it out of the coverage (inlined, its loop would be
// traced as part of the download).
[[gnu::noinline]] std::uint32_t AddBytes(std::uint32_t sum, const std::uint8_t* data,
                                         std::size_t count) {
    constexpr std::uint64_t kLowBytes = 0x00FF00FF00FF00FFull;
    constexpr std::uint64_t kLaneSum = 0x0001000100010001ull;
    std::size_t i = 0;
    for (; i + 8 <= count; i += 8) {
        std::uint64_t word;
        std::memcpy(&word, data + i, 8);
        const std::uint64_t lanes = (word & kLowBytes) + ((word >> 8) & kLowBytes);
        sum += static_cast<std::uint32_t>((lanes * kLaneSum) >> 48);
    }
    for (; i < count; ++i) sum += data[i];
    return sum;
}

enum class DrainEnd { kEmpty, kStalled, kFault };

// Waits, asleep on the device, until every queued byte has left. Gives up on a fault of the
// line and when the queue length has not moved for more than kDrainStallSeconds. With
// imageEnd, the queue ends at that offset of the image: the live transfer figures follow it.
DrainEnd DrainOutQueue(std::int32_t port, bool pumpEvents,
                       const std::uint32_t* imageEnd = nullptr) {
    int last = -1;
    std::int64_t lastProgress = Time();
    for (;;) {
        const int queued = GetOutQLen(port);
        if (queued == 0) return DrainEnd::kEmpty;
        if (queued < 0) return DrainEnd::kFault;
        if (imageEnd && static_cast<std::uint32_t>(queued) <= *imageEnd)
            UpdateTransferStatus(*imageEnd - static_cast<std::uint32_t>(queued));
        if (pumpEvents) ProcessSystemEvents();
        const std::int64_t now = Time();
        if (queued != last) {
            last = queued;
            lastProgress = now;
        } else if (now - lastProgress > kDrainStallSeconds) {
            return DrainEnd::kStalled;
        }
        if (WaitOutQEmpty(port, kDrainPollMs) < 0) return DrainEnd::kFault;
    }
}

// Waits up to the answer time for one byte from the bootstrap, keeping the operator
// interface live. False when the time ran out or the line failed (nothing will come then).
bool AnswerWait(std::int32_t port, std::uint8_t* answer) {
    const auto start = static_cast<std::time_t>(Time());
    for (;;) {
        const std::int32_t queued = GetInQLen(port);
        if (queued > 0) {
            const int byte = ComRdByte(port);
            if (byte < 0) return false;
            *answer = static_cast<std::uint8_t>(byte);
            return true;
        }
        if (queued < 0) return false;
        ProcessSystemEvents();
        const auto now = static_cast<std::time_t>(Time());
        if (static_cast<std::uint64_t>(now - start) >
            static_cast<std::uint64_t>(kAnswerWaitSeconds)) {
            return false;
        }
        if (WaitInQ(port, kAnswerPollMs) < 0) return false;
    }
}

// The comment line for a port that refused the new rate: which port (and the device it stands
// for), which rate, and the system's reason, all within one line of the comment list.
void ReportRetuneFailure(std::int32_t port, std::uint32_t rate, std::int32_t code) {
    constexpr std::size_t kLineLimit = 97;  // what AddCommentLine shows of a text
    const std::string com = "COM" + std::to_string(port);
    std::string reason = ComLastSystemErrorText(port);
    if (reason.empty()) reason = "error " + std::to_string(code);
    const std::string tail = " to " + std::to_string(rate) + " bit/s: " + reason;
    std::string device = ComDevicePath(port);
    if (device == com) device.clear();
    std::string text = "Cannot set " + com;
    if (!device.empty()) {
        const std::size_t room = kLineLimit - std::min(kLineLimit, text.size() + tail.size() + 3);
        // A long path loses its beginning: the end names the device.
        if (device.size() > room)
            device = room > 3 ? "..." + device.substr(device.size() - (room - 3)) : "";
        if (!device.empty()) text += " (" + device + ")";
    }
    text += tail;
    AddCommentLine(text.c_str());
}

void TimedOut(DownloadResult* result) {
    _mv_ResultDownload.category = ResultDownloadTimeout;
    *result = _mv_ResultDownload;
}

// pass: "write", or "verify" / "read" for the flash read back.
void ShowProgress(std::uint32_t bytesSent, std::uint32_t length, const char* pass = "write") {
    UpdateTransferStatus(bytesSent, true);
    CurrentJobObserver().Progress(pass, bytesSent, length);
    // An empty pass is whole as soon as it begins.
    _mv_SoftPourcent = length == 0
                           ? 100
                           : static_cast<std::uint32_t>(static_cast<double>(bytesSent) /
                                                        static_cast<double>(length) * 100.0);
    SetCtrlVal(_v_Panel, MAIN_PROGRESS_A, static_cast<int>(_mv_SoftPourcent));
    SetCtrlVal(_v_Panel, MAIN_PROGRESS_B, static_cast<int>(_mv_SoftPourcent));
    ProcessSystemEvents();
}

}  // namespace

std::int32_t _mfl11_0SetSpeedAndPMU(DownloadContext context) {
    std::int32_t status = 0;
    for (int i = 0; i < kSpeedChangeTries; ++i) {
        status =
            _mfl11_50ChangeSpeed(kSpeedChangeTimeoutSeconds, context.comPort, context.speedIndex);
        if (status == kStatusOk) break;
    }
    if (status != kStatusOk) return status;
    if (context.pmuOption != 1) return kStatusOk;
    for (int i = 0; i < kPmuTries; ++i) {
        status = _mfl11_52SetPMU(context.comPort);
        if (status == kStatusOk) break;
    }
    return status;
}

std::int32_t _mfl11_50ChangeSpeed(std::uint32_t timeoutSeconds, std::int32_t port,
                                  std::int32_t row) {
    // A row without a PC rate would leave the phone at a speed the PC cannot follow: the
    // phone is not asked to change at all.
    if (row < 0 || row >= NB_PC_SPEED_VALUES) return CommandCode::kSpeedControl;

    ComWrtByte(port, kOpChangeSpeed);
    if (ReadStatus(port) != kAckCommand) return CommandCode::kBadAck;

    const std::uint8_t* p = _a_SpeedParameters[row];
    const std::uint16_t sum = static_cast<std::uint16_t>(p[0] + p[1] + p[2]);
    const std::uint8_t frame[5] = {p[0], p[1], p[2], static_cast<std::uint8_t>(sum >> 8),
                                   static_cast<std::uint8_t>(sum)};
    ComWrt(port, frame, 5);
    if (ReadStatus(port) != kAckSpeedParameters) return CommandCode::kBadSpeedAck;
    if (ReadStatus(port) != kSpeedChecksumGood) return CommandCode::kBadSpeedChecksum;

    // No byte may leave at the new rate. A dead line or a queue that never drains must not
    // hold the job forever: the reopen and the speed control below then decide.
    DrainOutQueue(port, false);
    const std::uint32_t rate = _a_PCSpeedValue[row];
    const std::int32_t opened =
        _mfl12_0UartInit(port, static_cast<std::int32_t>(rate), kParityNone, timeoutSeconds);
    // The job goes on as before (the speed control then fails at the old rate); the operator
    // learns why it will.
    if (opened != kStatusOk) ReportRetuneFailure(port, rate, opened);
    if (_mfl11_51SpeedControl(port) != kStatusOk) return CommandCode::kSpeedControl;
    return kStatusOk;
}

std::int32_t _mfl11_51SpeedControl(std::int32_t port) {
    std::uint8_t answer = 0;
    for (int i = 0; i < kSpeedControlTries; ++i) {
        ComWrtByte(port, kOpSpeedControl);
        answer = ReadStatus(port);
        if (answer == kAckSpeedControl) break;
    }
    return answer == kAckSpeedControl ? kStatusOk : CommandCode::kSpeedControl;
}

std::int32_t _mfl11_52SetPMU(std::int32_t port) {
    ComWrtByte(port, kOpSetPmu);
    if (ReadStatus(port) != kAckCommand) return CommandCode::kBadAck;
    if (ReadStatus(port) != kAckPmu) return CommandCode::kBadPmuAck;
    ComRdByte(port);  // its meaning is not used
    return kStatusOk;
}

std::int32_t _mfl11_8SetGPIO(DownloadContext context) {
    if (context.speedIndex > 2) {
        const std::int32_t status = _mfl11_53SetGPIO(context.comPort);
        if (status != kStatusOk) return status;
    }
    return kStatusOk;
}

std::int32_t _mfl11_53SetGPIO(std::int32_t port) {
    ComWrtByte(port, kOpSetGpio);
    if (ReadStatus(port) != kAckCommand) return CommandCode::kBadAck;
    if (ReadStatus(port) != kAckGpio) return CommandCode::kBadGpioAck;
    return kStatusOk;
}

std::int32_t _mfl11_7SwitchOffCommand(std::int32_t port) {
    ComWrtByte(port, kOpSwitchOff);
    return ReadStatus(port) == kAckCommand ? kStatusOk : CommandCode::kSwitchOff;
}

std::int32_t _mfl11_3DownloadSectorCommand(std::uint32_t address, std::uint32_t sectorSize,
                                           std::uint32_t length, std::int32_t port) {
    ComWrtByte(port, kOpDownloadSector);
    WriteBigEndian32(port, sectorSize);
    WriteBigEndian32(port, address);
    WriteBigEndian32(port, length);
    return kStatusOk;
}

std::int32_t _mfl11_4EraseFlash(std::uint8_t opcode, std::uint32_t value1, std::uint32_t value2,
                                std::uint8_t byteValue, std::int32_t port) {
    // Only three erase forms exist; another opcode is never sent to the bootstrap.
    if (opcode != kOpEraseAll && opcode != kOpEraseSector && opcode != kOpEraseRange)
        return CommandCode::kBadEraseAck;

    ComWrtByte(port, opcode);
    const std::uint8_t status = ReadStatus(port);
    if (status != kAckEraseRefused) {
        if (opcode == kOpEraseSector) {
            WriteBigEndian32(port, value1);
        } else if (opcode == kOpEraseRange) {
            ComWrtByte(port, byteValue);
            WriteBigEndian32(port, value2);
            WriteBigEndian32(port, value1);
        }
    }
    return status == kAckCommand ? kStatusOk : CommandCode::kBadEraseAck;
}

std::int32_t _mfl11_5FlashEraseResult(std::int32_t port, std::int32_t expectStatus) {
    if (expectStatus != 0 && ReadStatus(port) != kAckEraseStatus) return CommandCode::kEraseAborted;
    switch (ReadStatus(port)) {
        case kEraseFailed:
            return CommandCode::kEraseFailed;
        case kEraseFailedDq6:
            return CommandCode::kEraseFailedDq6;
        case kEraseFailedDq6Bis:
            return CommandCode::kEraseFailedDq6Bis;
        case kEraseDone:
            return kStatusOk;
        default:
            return CommandCode::kEraseDefaultAborted;
    }
}

namespace {

// How long a flash read lets the data gather before it takes what came: byte by byte, the
// PC would wake for each one of a whole flash.
constexpr int kGatherMs = 10;
constexpr int kGatherBytes = 1024;

// The read command; with gather, the data is taken in batches (the bytes on the wire are the
// same).
std::int32_t ReadCommand(std::uint32_t address, std::uint32_t length, std::uint8_t* buffer,
                         std::int32_t port, bool gather) {
    ComWrtByte(port, kOpRead);
    if (ReadStatus(port) != kAckCommand) return CommandCode::kBadReadAck;
    WriteBigEndian32(port, length);
    WriteBigEndian32(port, address);
    if (ReadStatus(port) != kAckReadParameters) return CommandCode::kBadReadParameters;

    std::uint32_t sum = 0;
    for (std::uint32_t i = 0; i < length;) {
        std::uint32_t take = 1;
        if (gather) {
            int queued = GetInQLen(port);
            if (queued > 0 && queued < kGatherBytes &&
                length - i > static_cast<std::uint32_t>(queued)) {
                platform::CurrentClock().SleepMs(kGatherMs);
                queued = GetInQLen(port);
            }
            if (queued > 0) take = std::min(length - i, static_cast<std::uint32_t>(queued));
        }
        if (take == 1) {
            const int byte = ComRdByte(port);
            // A byte that never came leaves a hole in the buffer: the read has failed, and the
            // rest would only add one port time-out after another.
            if (byte < 0) return CommandCode::kReadChecksum;
            buffer[i] = static_cast<std::uint8_t>(byte);
        } else if (ComRd(port, buffer + i, static_cast<int>(take)) != static_cast<int>(take)) {
            return CommandCode::kReadChecksum;
        }
        sum = AddBytes(sum, buffer + i, take);
        i += take;
    }
    std::uint8_t checksum[4] = {0, 0, 0, 0};
    ComRd(port, checksum, 4);
    return LittleEndian32(checksum) == sum ? kStatusOk : CommandCode::kReadChecksum;
}

}  // namespace

std::int32_t _mfl11_6ReadCommand(std::uint32_t address, std::uint32_t length, std::uint8_t* buffer,
                                 std::int32_t port) {
    return ReadCommand(address, length, buffer, port, false);
}

namespace {

// Before a chunk is read again: whatever the phone still sends of the failed read is not the
// answer to the next one. Waits until the line has been quiet for a moment (within the answer
// time), dropping what came.
void DiscardLateBytes(std::int32_t port) {
    constexpr int kQuietMs = 100;
    const std::int64_t start = Time();
    while (WaitInQ(port, kQuietMs) > 0 && Time() - start <= kAnswerWaitSeconds) {
        platform::CurrentClock().SleepMs(kQuietMs);  // let the rest come, then drop it at once
        FlushInQ(port);
    }
}

// Reads [address, address + length) chunk by chunk, each retried on failure: chunk k lands at
// where(offset of k), then take(offset, bytes, count) sees it and returns false to end the read
// (with 1). Shows the progress of the pass. Returns 1 or the code of the chunk that could not
// be read.
template <typename Where, typename Take>
std::int32_t ReadChunks(const char* pass, std::uint32_t address, std::uint32_t length,
                        std::int32_t port, Where where, Take take) {
    BeginTransferPass(length);
    ShowProgress(0, length, pass);
    for (std::uint32_t done = 0; done < length;) {
        const std::uint32_t count = std::min(kReadChunkSize, length - done);
        std::uint8_t* chunk = where(done);
        std::int32_t status = ReadCommand(address + done, count, chunk, port, true);
        for (int retry = 0; status != kStatusOk && retry < kReadRetries; ++retry) {
            // A stopped job reads nothing more.
            if (JobStopRequested()) return status;
            char text[64];
            std::snprintf(text, sizeof text, "Read error %d at 0x%08X -> read again",
                          static_cast<int>(status), static_cast<unsigned>(address + done));
            AddCommentLine(text);
            DiscardLateBytes(port);
            status = ReadCommand(address + done, count, chunk, port, true);
        }
        if (status != kStatusOk) return status;
        if (!take(done, chunk, count)) return kStatusOk;
        done += count;
        ShowProgress(done, length, pass);
    }
    return kStatusOk;
}

}  // namespace

std::int32_t _mfl11_55ReadFlash(std::uint32_t address, std::uint32_t length, std::uint8_t* buffer,
                                std::int32_t port) {
    if (!buffer && length > 0) return CommandCode::kReadChecksum;
    // Each chunk is read into its place.
    return ReadChunks(
        "read", address, length, port, [&](std::uint32_t offset) { return buffer + offset; },
        [](std::uint32_t, const std::uint8_t*, std::uint32_t) { return true; });
}

std::int32_t _mfl11_56VerifyFlash(std::uint32_t address, std::uint32_t length,
                                  const std::uint8_t* expected, std::int32_t port,
                                  std::uint32_t* firstDifference) {
    if (!expected && length > 0) return CommandCode::kVerify;
    // One chunk at a time: the image is not copied.
    std::vector<std::uint8_t> chunk(std::min(kReadChunkSize, length));
    bool differs = false;
    const std::int32_t status = ReadChunks(
        "verify", address, length, port, [&](std::uint32_t) { return chunk.data(); },
        [&](std::uint32_t offset, const std::uint8_t* bytes, std::uint32_t count) {
            const auto mismatch = std::mismatch(bytes, bytes + count, expected + offset);
            if (mismatch.first == bytes + count) return true;
            differs = true;
            if (firstDifference)
                *firstDifference =
                    address + offset + static_cast<std::uint32_t>(mismatch.first - bytes);
            return false;
        });
    if (status != kStatusOk) return status;
    return differs ? CommandCode::kVerify : kStatusOk;
}

void _mfl11_54Download(DownloadResult* result, DownloadContext context, std::uint32_t length,
                       const std::uint8_t* data, std::uint32_t startAddress) {
    *result = DownloadResult{};
    const std::int32_t port = context.comPort;
    const std::uint8_t manufacturer = context.targetInfo[2];
    const std::uint8_t device = context.targetInfo[3];

    SectorList list;
    std::int32_t status =
        _mfl10_3GetSectorList(manufacturer, device, startAddress - _sg_FlashAddr, length, &list);
    if (status != kStatusOk) {
        *result = {ResultFlashFile, status};
        return;
    }
    // Without the image there is nothing to send: never report a write that did not happen.
    if (!data && list.count > 0) {
        *result = {ResultDownloadError, 0};
        return;
    }

    BeginTransferStatus(length, context.startTime);
    std::uint32_t bytesSent = 0;
    std::uint32_t address = startAddress;
    std::uint8_t sectorFailures = 0;
    std::uint8_t downloadFailures = 0;
    int i = 0;
    while (i < list.count) {
        const std::uint8_t sector = list.numbers[i];
        std::uint32_t pcChecksum = 0;
        std::uint32_t size = 0;
        status = _mfl10_0GetSectorSize(manufacturer, device, sector, &size);
        if (status != kStatusOk) {
            *result = {ResultFlashFile, status};
            return;
        }
        const std::uint32_t left = length - bytesSent;
        const std::uint32_t transfer = size < left ? size : left;
        const std::uint8_t* next = data + bytesSent;
        bytesSent += transfer;

        _mfl11_3DownloadSectorCommand(address, size, transfer, port);
        std::uint8_t answer = 0;
        if (!AnswerWait(port, &answer)) {
            TimedOut(result);
            return;
        }
        if (answer != kAckSectorReady) {
            *result = {ResultSectorStartAck, 0};
            return;
        }

        // Whole blocks, each drained before the next; then the rest.
        for (std::uint32_t block = 0; block < transfer / kBlockSize; ++block) {
            if (ComWrt(port, next, static_cast<int>(kBlockSize)) < 0) {
                TimedOut(result);
                return;
            }
            pcChecksum = AddBytes(pcChecksum, next, kBlockSize);
            next += kBlockSize;
            const auto blockEnd = static_cast<std::uint32_t>(next - data);
            if (DrainOutQueue(port, true, &blockEnd) != DrainEnd::kEmpty) {
                TimedOut(result);
                return;
            }
        }
        const std::uint32_t rest = transfer % kBlockSize;
        if (ComWrt(port, next, static_cast<int>(rest)) < 0) {
            TimedOut(result);
            return;
        }
        pcChecksum = AddBytes(pcChecksum, next, rest);

        if (!AnswerWait(port, &answer)) {
            TimedOut(result);
            return;
        }
        if (answer == kAckSectorChecksum) {
            // Bytes that do not arrive within the port's time-out stay 0.
            std::uint8_t checksum[4] = {0, 0, 0, 0};
            ComRd(port, checksum, 4);
            if (LittleEndian32(checksum) == pcChecksum) {
                _mfl52_0DisplaySector(sector, size, transfer, "Downloaded", &context,
                                      &_mv_NbSectorsDisplay);
                ShowProgress(bytesSent, length);
                address += size;
                sectorFailures = 0;
                ++i;
                continue;
            }
            AddCommentLine("CkeckSum NOK -> try again");
            _mfl52_0DisplaySector(sector, size, transfer, "wait...", &context,
                                  &_mv_NbSectorsDisplay);
            ++sectorFailures;
            ++downloadFailures;
            if (sectorFailures >= kSectorAttempts || downloadFailures >= kDownloadFailures) {
                _mfl52_0DisplaySector(sector, size, transfer, "Error", &context,
                                      &_mv_NbSectorsDisplay);
                *result = {ResultChecksum, kAckSectorChecksum};
                return;
            }
        } else {
            char text[16];
            std::snprintf(text, sizeof text, "Bad Ack: %x", static_cast<unsigned>(answer));
            AddCommentLine(text);
            if (answer != kAckSectorFailed) {
                *result = {ResultSectorAck, answer};
                return;
            }
            const std::uint8_t detail = ReadStatus(port);
            _mfl52_0DisplaySector(sector, size, transfer, "Wait...", &context,
                                  &_mv_NbSectorsDisplay);
            ++sectorFailures;
            ++downloadFailures;
            if (sectorFailures >= kSectorAttempts || downloadFailures >= kDownloadFailures) {
                _mfl52_0DisplaySector(sector, size, transfer, "Error", &context,
                                      &_mv_NbSectorsDisplay);
                *result = {ResultSectorDownload, detail};
                return;
            }
        }
        // The same sector again, from the same offset of the image to the same address.
        bytesSent -= transfer;
        CurrentJobObserver().SectorResent();
    }
}

}  // namespace vbc
