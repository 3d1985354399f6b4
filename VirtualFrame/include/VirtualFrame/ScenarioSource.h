// Plays a FramePlayer through a FirmwareEmulator: the emulator's raw scans in software mode are
// the player's scans, in order, from the first scan the host receives.
//
//     ScenarioSource source(FramePlayer(model, builtinScenario("tap")), /*loop=*/false);
//     FirmwareEmulator emulator(model.firmware);
//     emulator.SetScanRate(source.player().rateHz());
//     emulator.SetScanSource(source.Callback());   // `source` must outlive the emulator's use
//     ... later: source.Finished() once every scan (idle tail included) has been streamed.
//
// Without looping, scans after the end carry no touches. The callback is thread-safe.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "VirtualFrame/FirmwareEmulator.h"
#include "VirtualFrame/FramePlayer.h"

namespace VirtualFrame {

class ScenarioSource {
public:
    ScenarioSource(FramePlayer player, bool loop);
    ScenarioSource(const ScenarioSource&) = delete;
    ScenarioSource& operator=(const ScenarioSource&) = delete;

    FirmwareEmulator::ScanSource Callback();
    // The raw content of the emulator's scan number `scanIndex`.
    std::vector<uint8_t> Scan(uint64_t scanIndex);

    bool Finished() const { return finished_.load(); }
    uint64_t ScansServed() const { return served_.load(); }
    const FramePlayer& player() const { return player_; }

private:
    std::mutex mutex_;
    FramePlayer player_;
    const bool loop_;
    std::atomic<bool> finished_{false};
    std::atomic<uint64_t> served_{0};
};

}  // namespace VirtualFrame
