// The live figures of the software transfer, shown under the progress bar (and beside the
// command line's progress bar): bytes written out of the whole, the line's rate over the last
// seconds, the time left at that rate, and the time since Start.
#pragma once

#include <cstdint>
#include <string>

namespace vbc {

// A transfer of totalBytes starts; jobStart is the job's start time (seconds, as Time()).
void BeginTransferStatus(std::uint32_t totalBytes, std::int64_t jobStart);
// Another pass over the flash in the same job (the read-back), of totalBytes; the time still
// counts from the job's start (from now when no transfer began before).
void BeginTransferPass(std::uint32_t totalBytes);
// bytesDone of the image have left the PC (fewer than before when a sector is sent again).
// The panel is updated at most every kTransferStatusPeriodMs, and always when force is set.
void UpdateTransferStatus(std::uint32_t bytesDone, bool force = false);
constexpr int kTransferStatusPeriodMs = 250;

// The text of the figures: "131072/1048576 bytes, 11520 B/s, 1:20 left, 0:42 elapsed";
// a rate below 0 is not known yet ("-- B/s, --:-- left").
std::string TransferStatusText(std::uint32_t bytesDone, std::uint32_t totalBytes,
                               double bytesPerSecond, std::int64_t elapsedSeconds);

}  // namespace vbc
