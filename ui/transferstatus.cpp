#include "ui/transferstatus.h"

#include <cstdio>
#include <deque>

#include "platform/clock.h"
#include "toolkit/toolkit.h"
#include "ui/mfl52display.h"
#include "ui/uirids.h"

namespace vbc {
namespace {

// The rate is taken over this much of the recent past: long enough to smooth a sector's
// start and end, short enough to follow a change of line speed.
constexpr std::int64_t kRateWindowMs = 3000;
// Below this span the rate says nothing yet.
constexpr std::int64_t kRateMinSpanMs = 500;

struct Sample {
    std::int64_t ms;
    std::uint32_t bytes;
};

struct Transfer {
    std::uint32_t total = 0;
    std::int64_t jobStart = 0;
    std::int64_t lastShownMs = 0;
    bool shownOnce = false;
    std::deque<Sample> samples;
};
Transfer gTransfer;

std::string MinutesSeconds(std::int64_t seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%lld:%02lld", static_cast<long long>(seconds / 60),
                  static_cast<long long>(seconds % 60));
    return text;
}

}  // namespace

std::string TransferStatusText(std::uint32_t bytesDone, std::uint32_t totalBytes,
                               double bytesPerSecond, std::int64_t elapsedSeconds) {
    std::string rate = "--";
    std::string left = "--:--";
    if (bytesPerSecond > 0) {
        rate = std::to_string(static_cast<std::uint64_t>(bytesPerSecond + 0.5));
        const std::uint32_t rest = totalBytes > bytesDone ? totalBytes - bytesDone : 0;
        left = MinutesSeconds(static_cast<std::int64_t>(rest / bytesPerSecond + 0.5));
    }
    return std::to_string(bytesDone) + "/" + std::to_string(totalBytes) + " bytes, " + rate +
           " B/s, " + left + " left, " + MinutesSeconds(elapsedSeconds < 0 ? 0 : elapsedSeconds) +
           " elapsed";
}

void BeginTransferStatus(std::uint32_t totalBytes, std::int64_t jobStart) {
    // Field by field: a fresh deque would allocate its map at every pass of every job.
    gTransfer.lastShownMs = 0;
    gTransfer.shownOnce = false;
    gTransfer.samples.clear();
    gTransfer.total = totalBytes;
    gTransfer.jobStart = jobStart;
    UpdateTransferStatus(0, true);
}

void BeginTransferPass(std::uint32_t totalBytes) {
    const std::int64_t jobStart = gTransfer.jobStart != 0 ? gTransfer.jobStart : Time();
    BeginTransferStatus(totalBytes, jobStart);
}

void UpdateTransferStatus(std::uint32_t bytesDone, bool force) {
    Transfer& t = gTransfer;
    const std::int64_t now = platform::CurrentClock().NowMs();
    // A sector sent again starts the count anew: the rate is that of the line, not of the
    // progress.
    if (!t.samples.empty() && bytesDone < t.samples.back().bytes) t.samples.clear();
    t.samples.push_back({now, bytesDone});
    while (t.samples.size() > 2 && now - t.samples[1].ms >= kRateWindowMs) t.samples.pop_front();

    if (!force && t.shownOnce && now - t.lastShownMs < kTransferStatusPeriodMs) return;
    t.lastShownMs = now;
    t.shownOnce = true;

    double rate = -1;
    const Sample& first = t.samples.front();
    if (now - first.ms >= kRateMinSpanMs) {
        rate = static_cast<double>(bytesDone - first.bytes) * 1000.0 /
               static_cast<double>(now - first.ms);
    }
    const std::string text = TransferStatusText(bytesDone, t.total, rate, Time() - t.jobStart);
    SetCtrlVal(_v_Panel, MAIN_TRANSFER_TEXT, text.c_str());
}

}  // namespace vbc
