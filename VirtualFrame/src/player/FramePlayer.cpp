#include "VirtualFrame/FramePlayer.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace VirtualFrame {

FramePlayer::FramePlayer(const FrameModel& model, Scenario scenario, double rateHz,
                         uint32_t idleTailMs)
    : beams_(model),
      scenario_(std::move(scenario)),
      rateHz_(std::isfinite(rateHz) ? std::clamp(rateHz, kMinRateHz, kMaxRateHz) : kDefaultRateHz) {
    const double totalMs = static_cast<double>(scenario_.durationMs()) + idleTailMs;
    count_ = static_cast<size_t>(std::floor(totalMs / periodMs())) + 1;
}

std::vector<Finger> FramePlayer::fingers(size_t index) const {
    return scenario_.fingersAt(scanTimeMs(index));
}

std::vector<uint16_t> FramePlayer::beamWords(size_t index) { return beams_.scan(fingers(index)); }

std::vector<uint8_t> FramePlayer::rawScan(size_t index) {
    return encodeScan(model(), beamWords(index));
}

bool FramePlayer::next(std::vector<uint8_t>& raw, bool loop) {
    if (cursor_ >= count_) {
        if (!loop) return false;
        cursor_ = 0;
    }
    raw = rawScan(cursor_++);
    return true;
}

}  // namespace VirtualFrame
