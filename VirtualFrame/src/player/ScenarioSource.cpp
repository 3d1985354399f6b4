#include "VirtualFrame/ScenarioSource.h"

#include <utility>

namespace VirtualFrame {

ScenarioSource::ScenarioSource(FramePlayer player, bool loop)
    : player_(std::move(player)), loop_(loop) {}

FirmwareEmulator::ScanSource ScenarioSource::Callback() {
    return [this](uint64_t scanIndex) { return Scan(scanIndex); };
}

std::vector<uint8_t> ScenarioSource::Scan(uint64_t scanIndex) {
    std::lock_guard<std::mutex> lock(mutex_);
    const uint64_t count = player_.scanCount();
    ++served_;
    if (loop_) return player_.rawScan(static_cast<size_t>(scanIndex % count));
    if (scanIndex + 1 >= count) finished_ = true;
    // Past the end the frame is left untouched: the idle tail's last scan has no fingers.
    return player_.rawScan(static_cast<size_t>(scanIndex < count ? scanIndex : count - 1));
}

}  // namespace VirtualFrame
