#include "sim/channel.h"

namespace vbc::sim {

void MemoryChannel::Feed(std::initializer_list<std::uint8_t> bytes) {
    Feed(bytes.begin(), bytes.size());
}

void MemoryChannel::Feed(const std::vector<std::uint8_t>& bytes) {
    Feed(bytes.data(), bytes.size());
}

void MemoryChannel::Feed(const std::uint8_t* data, std::size_t count) {
    input_.insert(input_.end(), data, data + count);
}

void MemoryChannel::FeedHangup() {
    input_.push_back(kHangupMark);
}

int MemoryChannel::Read(int timeoutMs) {
    if (dropped_) return kReadStopped;
    if (!input_.empty()) {
        const int v = input_.front();
        input_.pop_front();
        idleMs_ = 0;
        return v == kHangupMark ? kReadHangup : v;
    }
    nowMs_ += timeoutMs;
    idleMs_ += timeoutMs;
    return idleMs_ >= idleLimitMs ? kReadStopped : kReadTimeout;
}

void MemoryChannel::Write(const std::uint8_t* data, std::size_t count) {
    if (dropped_) return;
    sent_.insert(sent_.end(), data, data + count);
    if (onWrite) onWrite(*this, data, count);
}

}  // namespace vbc::sim
