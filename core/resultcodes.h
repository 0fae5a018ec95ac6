// Names of the result codes, by subsystem. A leaf operation returns kStatusOk (1) or one of its
// subsystem's codes; a job's result pairs a category (ResultCategory) with such a code. The
// values are those shown to the operator and returned as exit statuses: never renumber them.
#pragma once

#include <cstdint>

namespace vbc {

// Status of every leaf operation that succeeded.
constexpr std::int32_t kStatusOk = 1;

// flash.txt and the flash geometry (category ResultFlashFile).
struct FlashFileCode {
    enum : std::int32_t {
        kFileNotFound = 2,
        kBadNewFlash = 3,
        kBadManufacturerName = 4,
        kBadDeviceName = 5,
        kBadNorvaneProduct = 6,
        kBadManufacturerId = 7,
        kBadDeviceId = 8,
        kBadNbBanks = 9,
        kBadNbSectors = 10,
        kBadStartSectors = 11,
        kBadEndFlash = 12,
        kBadSectorStart = 13,
        kBadSectorEnd = 14,
        kUnknownFlash = 15,
        kTooManyFlashes = 16,
        kTooManySectors = 17,
        kNoSectorAtAddress = 18,
        kBadSectorNumber = 19,
        kNotEnoughSectors = 20,
        kRangeOutsideFlash = 21,  // a flash read beyond the flash's last byte
    };
};

// config.txt (category ResultConfigFile).
struct ConfigCode {
    enum : std::int32_t {
        kNoConfigFile = 2,
        kNoSoftwareFile = 3,
        kNoPackageFile = 4,
        kBadComNumber = 5,
        kBadComLine = 6,
        kBadPmuState = 9,
        kBadPmuLine = 10,
        kBadProductType = 11,
        kBadProductTypeLine = 12,
        kBadDownloadType = 13,
        kBadDownloadTypeLine = 14,
    };
};

// Files and the port on the PC's side (category ResultLibPc). The serial layer's own negative
// codes (kComErr... in platform/serial.h) are reported in this category as they are.
struct LibPcCode {
    enum : std::int32_t {
        kFileSizeError = 2,
        kFileNotFound = 3,
        kBootstrapTooLong = 4,
        kBadSwapLength = 5,
        kCannotWriteFile = 6,  // the file a flash read goes into cannot be written
    };
};

// The boot of the phone and the flash identification (category ResultBoot).
struct BootCode {
    enum : std::int32_t {
        kBootstrapMissing = 2,
        kBootstrapTooLong = 3,
        kNoAnswer = 4,  // the boot loader never announced itself
        kWrongProcessor = 7,
        kUnknownProcessor = 8,
        kBadChipSelect = 9,
        kBadConfigurationAck = 10,
        kBadVersionMarker = 11,  // no version marker after the acknowledgement
        kBadIdentificationAck = 12,
        kIdentificationTimeout = 13,
        kUnknownFlashDevice = 14,
        kUnknownFlashManufacturer = 15,
        // The bootstrap's acknowledgement did not come: kAckWaitBase + 256 * the further bytes
        // read in the wait + the last byte read.
        kAckWaitBase = 0x000A0000,
    };
};

// The bootstrap's command set (category ResultCommand).
struct CommandCode {
    enum : std::int32_t {
        kBadAck = 2,
        kBadSpeedAck = 7,
        kBadSpeedChecksum = 8,
        kSpeedControl = 9,
        kBadPmuAck = 10,
        kBadEraseAck = 11,
        kEraseAborted = 12,
        kEraseFailed = 13,
        kEraseFailedDq6 = 14,
        kEraseFailedDq6Bis = 15,
        kEraseDefaultAborted = 16,
        kBadReadAck = 17,
        kBadReadParameters = 18,
        kReadChecksum = 19,
        kSwitchOff = 20,
        kBadGpioAck = 21,
        // The read-back after writing differs from the image (the address is in
        // _mv_VerifyErrorAddress).
        kVerify = 22,
    };
};

// A job the operator stopped (category ResultStopped).
struct StopCode {
    enum : std::int32_t {
        kByOperator = 1,      // Stop, Cancel, the window's close box, SIGINT or SIGTERM
        kReadByOperator = 2,  // the same during a flash read: no file was written
    };
};

}  // namespace vbc
