// Scenarios played scan by scan: in process, and through the firmware emulator's raw scans.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>

#include "VirtualFrame/FramePlayer.h"
#include "VirtualFrame/ScenarioSource.h"

using namespace VirtualFrame;
using namespace std::chrono;

TEST(FramePlayer, ScansCoverTheScenarioAndItsIdleTail) {
    FramePlayer player(defaultFrameModel(), builtinScenario("tap"));  // finger 100..200 ms
    EXPECT_DOUBLE_EQ(player.rateHz(), 120.0);
    // 200 ms of scenario and 200 ms of idle tail at 120 Hz: scans at 0, 8.3, ... 400 ms.
    EXPECT_EQ(player.scanCount(), 49u);
    size_t touched = 0;
    for (size_t i = 0; i < player.scanCount(); ++i) {
        const auto fingers = player.fingers(i);
        const double t = player.scanTimeMs(i);
        EXPECT_EQ(fingers.size(), t >= 100 && t < 200 ? 1u : 0u) << t;
        touched += !fingers.empty();
        const auto words = player.beamWords(i);
        const BeamModel& layout = player.beams();
        bool blocked = false;
        for (int e = 0; e < layout.entryCount(); ++e) blocked |= words[e] != layout.existingMask(e);
        EXPECT_EQ(blocked, !fingers.empty()) << t;
        EXPECT_EQ(player.rawScan(i), encodeScan(player.model(), words));
    }
    EXPECT_EQ(touched, 12u);

    std::vector<uint8_t> raw;
    size_t walked = 0;
    while (player.next(raw)) ++walked;
    EXPECT_EQ(walked, player.scanCount());
    EXPECT_FALSE(player.next(raw));
    EXPECT_TRUE(player.next(raw, /*loop=*/true));  // a loop starts over
    EXPECT_EQ(player.position(), 1u);

    const Scenario tap = builtinScenario("tap");
    EXPECT_DOUBLE_EQ(FramePlayer(defaultFrameModel(), tap, 0.0).rateHz(), FramePlayer::kMinRateHz);
    EXPECT_DOUBLE_EQ(FramePlayer(defaultFrameModel(), tap, 1e9).rateHz(), FramePlayer::kMaxRateHz);
    EXPECT_DOUBLE_EQ(FramePlayer(defaultFrameModel(), tap, NAN).rateHz(), 120.0);
    EXPECT_EQ(FramePlayer(defaultFrameModel(), tap, 2000.0).scanCount(), 801u);  // 400 ms
}

namespace {

// The host's side of the emulator: requests out, packets reassembled from input reports.
struct Host {
    FirmwareEmulator& emulator;

    void request(uint8_t id, uint8_t payload) {
        uint8_t report[ORDO_REPORT_SIZE] = {ORDO_REQUEST_REPORT_ID, id};
        report[ORDO_HEADER_SIZE] = payload;
        emulator.PushOutputReport(report, sizeof report);
    }
    // Next touch packet's content, polling up to a deadline.
    bool touchPacket(std::vector<uint8_t>& content) {
        const auto deadline = steady_clock::now() + seconds(10);
        std::vector<uint8_t> assembly;
        while (steady_clock::now() < deadline) {
            uint8_t report[ORDO_REPORT_SIZE];
            if (emulator.PullInputReport(report, milliseconds(100)) != PullResult::Report) continue;
            if (report[1] != PACKET_IDEN_TOUCH_DATA) continue;
            const int index = report[2] >> 4, count = report[2] & 0x0F;
            if (index == 0) assembly.clear();
            assembly.insert(assembly.end(), report + ORDO_HEADER_SIZE, report + ORDO_REPORT_SIZE);
            if (index == count - 1) {
                content = assembly;
                return true;
            }
        }
        return false;
    }
};

}  // namespace

TEST(ScenarioSource, EmulatorStreamsThePlayersScansOnceInSoftwareMode) {
    const FrameModel& model = *findFrameModel("32in-144x80-7line");
    ScenarioSource source(FramePlayer(model, builtinScenario("tap"), 1000.0, 20), false);
    FirmwareEmulator emulator(model.firmware);
    emulator.SetScanRate(1000.0);
    emulator.SetScanSource(source.Callback());
    Host host{emulator};

    // Nothing streams before the host asks for software mode.
    uint8_t report[ORDO_REPORT_SIZE];
    EXPECT_EQ(emulator.PullInputReport(report, milliseconds(30)), PullResult::Timeout);
    EXPECT_EQ(source.ScansServed(), 0u);

    host.request(PACKET_IDEN_SET_MODE, ORDO_MODE_SOFTWARE);
    FramePlayer reference(model, builtinScenario("tap"), 1000.0, 20);
    std::vector<uint8_t> content;
    bool sawTouch = false;
    for (size_t i = 0; i < reference.scanCount(); ++i) {
        ASSERT_TRUE(host.touchPacket(content)) << "scan " << i;
        const auto expected = reference.rawScan(i);
        ASSERT_GE(content.size(), expected.size());
        ASSERT_TRUE(std::equal(expected.begin(), expected.end(), content.begin())) << "scan " << i;
        sawTouch |= !reference.fingers(i).empty();
    }
    EXPECT_TRUE(sawTouch);
    EXPECT_TRUE(source.Finished());
    // After the end the frame keeps reporting an untouched screen.
    ASSERT_TRUE(host.touchPacket(content));
    const auto idle = reference.rawScan(reference.scanCount() - 1);
    EXPECT_TRUE(std::equal(idle.begin(), idle.end(), content.begin()));
}

TEST(ScenarioSource, LoopingStartsOverAndNeverFinishes) {
    ScenarioSource source(FramePlayer(defaultFrameModel(), builtinScenario("tap"), 100.0, 0), true);
    const uint64_t count = source.player().scanCount();
    EXPECT_EQ(source.Scan(count + 11), source.Scan(11));
    EXPECT_NE(source.Scan(11), source.Scan(0));  // scan 11 (110 ms) has the finger down
    EXPECT_FALSE(source.Finished());
}
