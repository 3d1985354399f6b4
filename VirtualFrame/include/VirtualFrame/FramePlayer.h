// In-process virtual frame: plays a scenario on a frame model and yields, scan by scan, the
// fingers, the logical beam words and the raw packet content the model's firmware would send.
//
// No threads, sockets or clocks: scan i happens at i * 1000 / rateHz ms of scenario time, and a
// caller asks for any scan by index or walks them in order with next(). Typical use in a library
// test:
//
//     VirtualFrame::FramePlayer player(VirtualFrame::defaultFrameModel(),
//     VirtualFrame::builtinScenario("tap"));
//     // a CoreContext set up with librarySetupFor(player.model()) (LibrarySetup.h)
//     for (size_t i = 0; i < player.scanCount(); ++i) {
//         std::vector<uint8_t> raw = player.rawScan(i);
//         OrdaloDataFill(ctx, raw.data(), raw.size()); OrdaloDataFix(ctx); ...
//         // player.fingers(i) are where the library should report the touches
//     }
//
// The raw content is what the frame's firmware packs into one type-10 packet (before the split
// into 59-byte blocks); it is never longer than kMaxRawContentBytes for catalogue models.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "VirtualFrame/BeamModel.h"
#include "VirtualFrame/FrameModel.h"
#include "VirtualFrame/RawEncoder.h"
#include "VirtualFrame/Scenario.h"

namespace VirtualFrame {

class FramePlayer {
public:
    static constexpr double kDefaultRateHz = 120.0;
    // Touch-free scans after the scenario's end, so that the last lift is seen.
    static constexpr uint32_t kDefaultIdleTailMs = 200;

    static constexpr double kMinRateHz = 0.1;
    static constexpr double kMaxRateHz = 10000.0;

    // rateHz is clamped to kMinRateHz..kMaxRateHz (not a number: the default).
    FramePlayer(const FrameModel& model, Scenario scenario, double rateHz = kDefaultRateHz,
                uint32_t idleTailMs = kDefaultIdleTailMs);

    const FrameModel& model() const { return beams_.model(); }
    const Scenario& scenario() const { return scenario_; }
    double rateHz() const { return rateHz_; }
    double periodMs() const { return 1000.0 / rateHz_; }

    // Scans from time 0 up to the scenario's end plus the idle tail (at least one).
    size_t scanCount() const { return count_; }
    double scanTimeMs(size_t index) const { return index * periodMs(); }

    // Fingers down during scan `index` (screen positions, as the library should report them).
    std::vector<Finger> fingers(size_t index) const;
    // Logical beam words (dirt and noise of beams() included) and raw content of scan `index`.
    std::vector<uint16_t> beamWords(size_t index);
    std::vector<uint8_t> rawScan(size_t index);

    // Sequential walk: the raw content of the next scan; with `loop`, scan 0 follows the last
    // one, otherwise false once every scan has been given.
    bool next(std::vector<uint8_t>& raw, bool loop = false);
    size_t position() const { return cursor_; }
    void rewind() { cursor_ = 0; }

    // Dirt and noise settings.
    BeamModel& beams() { return beams_; }

private:
    BeamModel beams_;
    Scenario scenario_;
    double rateHz_;
    size_t count_;
    size_t cursor_ = 0;
};

}  // namespace VirtualFrame
