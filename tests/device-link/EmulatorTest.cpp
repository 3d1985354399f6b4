// The firmware emulator in-process: records, mode switching, streaming and fault injection, read
// back block by block without the host's reassembly.
#include <gtest/gtest.h>

#include <atomic>
#include <cstddef>
#include <random>

#include "MTouch/MTProtocol.h"
#include "TestSupport.h"
#include "VirtualFrame/FirmwareEmulator.h"

using namespace VirtualFrame;
using devlink_test::WaitFor;
using std::chrono::milliseconds;

namespace {

struct Packet {
    uint8_t type = 0;
    std::vector<uint8_t> content;
    bool checksumOk = false;
    std::vector<int> indexes;
};

void Request(FirmwareEmulator& emu, uint8_t id, const std::vector<uint8_t>& payload = {}) {
    uint8_t r[64] = {ORDO_REQUEST_REPORT_ID, id};
    std::copy(payload.begin(), payload.end(), r + 5);
    emu.PushOutputReport(r, 64);
}

std::vector<std::vector<uint8_t>> PullReports(FirmwareEmulator& emu, size_t n,
                                              milliseconds wait = milliseconds(8000)) {
    std::vector<std::vector<uint8_t>> out;
    uint8_t r[64];
    while (out.size() < n && emu.PullInputReport(r, wait) == PullResult::Report) {
        out.emplace_back(r, r + 64);
    }
    return out;
}

// Reads one packet block by block, checking the framing of every block.
Packet PullPacket(FirmwareEmulator& emu) {
    Packet p;
    uint8_t sum = 0;
    for (;;) {
        auto reports = PullReports(emu, 1);
        if (reports.empty()) return p;
        const auto& r = reports[0];
        const int index = r[2] >> 4, count = r[2] & 15;
        EXPECT_EQ(index, int(p.indexes.size()));
        p.indexes.push_back(index);
        p.type = r[1];
        p.content.insert(p.content.end(), r.begin() + 5, r.end());
        for (size_t i = 5; i < 64; ++i) sum = uint8_t(sum + r[i]);
        if (index == count - 1 || index >= count) {
            p.checksumOk = sum == r[4];
            return p;
        }
    }
}

template <typename Record>
Record As(const Packet& p) {
    Record r;
    EXPECT_GE(p.content.size(), sizeof r);
    std::memcpy(&r, p.content.data(), sizeof r);
    return r;
}

// The wire contract with the firmware: every field the service reads, at its byte offset.
TEST(ProtocolRecordsTest, FieldsSitAtTheirWireOffsetsLittleEndian) {
    EXPECT_EQ(offsetof(OrdoConfig, version), 1u);
    EXPECT_EQ(offsetof(OrdoConfig, identity), 2u);
    EXPECT_EQ(offsetof(OrdoConfig, contacts), 10u);
    EXPECT_EQ(offsetof(OrdoConfig, LED_X), 11u);
    EXPECT_EQ(offsetof(OrdoConfig, LEDGAPY), 31u);
    EXPECT_EQ(offsetof(OrdoConfig, LCD_SIZE), 35u);
    EXPECT_EQ(offsetof(OrdoQueryInfo, modeContacts), 9u);
    EXPECT_EQ(offsetof(OrdoQueryInfo, modeContactsValid), 14u);
    EXPECT_EQ(offsetof(OrdoQueryInfo, mode), 15u);
    EXPECT_EQ(offsetof(OrdoSfwInfo, tuioTcpMode), 15u);
    EXPECT_EQ(offsetof(OrdoSfwInfo, win7Mode), 27u);
    EXPECT_EQ(offsetof(OrdoCalib, points), 4u);
    EXPECT_EQ(offsetof(OrdoEffs, smoothLevel), 32u);
    EXPECT_EQ(offsetof(NVMPacket, data), 12u);
    EXPECT_EQ(offsetof(OrdoConfig, reserved0), 0u);
    EXPECT_EQ(offsetof(OrdoConfig, LED_Y), 15u);
    EXPECT_EQ(offsetof(OrdoConfig, LINEX), 19u);
    EXPECT_EQ(offsetof(OrdoConfig, LINEY), 23u);
    EXPECT_EQ(offsetof(OrdoConfig, LEDGAPX), 27u);
    EXPECT_EQ(offsetof(OrdoConfig, reserved36), 36u);
    EXPECT_EQ(offsetof(OrdoSfwInfo, tuioUdpMode), 19u);
    EXPECT_EQ(offsetof(OrdoSfwInfo, mouseEnabled), 23u);
    EXPECT_EQ(offsetof(OrdoEffs, maxBlobs), 0u);
    EXPECT_EQ(offsetof(OrdoEffs, minBlobSize), 4u);
    EXPECT_EQ(offsetof(OrdoEffs, maxBlobSize), 8u);
    EXPECT_EQ(offsetof(OrdoEffs, maxBlobDistance), 12u);
    EXPECT_EQ(offsetof(OrdoEffs, rightClickEnabled), 16u);
    EXPECT_EQ(offsetof(OrdoEffs, rightClickDelayMs), 20u);
    EXPECT_EQ(offsetof(OrdoEffs, clickRange), 24u);
    EXPECT_EQ(offsetof(OrdoEffs, doubleClickDelayMs), 28u);
    EXPECT_EQ(offsetof(NVMPacket, index), 0u);
    EXPECT_EQ(offsetof(NVMPacket, length), 4u);
    EXPECT_EQ(offsetof(NVMPacket, magic), 8u);

    OrdoConfig c{};
    c.LED_Y = 0x01020304u;
    const uint8_t* raw = reinterpret_cast<const uint8_t*>(&c);
    EXPECT_EQ(raw[15], 0x04);
    EXPECT_EQ(raw[18], 0x01);
    OrdoEffs e{};
    e.maxBlobDistance = 2.5f;
    EXPECT_FLOAT_EQ(float(e.maxBlobDistance), 2.5f);

    OrdoCalib cal{};
    cal.points[15] = 0x7ABC;
    raw = reinterpret_cast<const uint8_t*>(&cal);
    EXPECT_EQ(raw[34], 0xBC);
    EXPECT_EQ(raw[35], 0x7A);
    NVMPacket nvm{};
    NVMFillPacket("", 0, 8, &nvm);
    raw = reinterpret_cast<const uint8_t*>(&nvm);
    const uint8_t head[12] = {8, 0, 0, 0, 40, 0, 0, 0, 0x00, 0x99, 0xFC, 0xFC};
    EXPECT_TRUE(std::equal(head, head + 12, raw));
    nvm.SetDataWord(2, 1080);  // the solution's height, third data word
    EXPECT_EQ(raw[20], 0x38);
    EXPECT_EQ(raw[21], 0x04);

    const uint8_t ids[] = {PACKET_IDEN_TOUCH_DATA,      PACKET_IDEN_READ_CONFIG,
                           PACKET_IDEN_QUERY_INFO,      PACKET_IDEN_IDLE,
                           PACKET_IDEN_SET_MODE,        PACKET_IDEN_GET_CALIBRATION,
                           PACKET_IDEN_GET_EFFECTS,     PACKET_IDEN_GET_SOFTWARE_MODE_INFO,
                           PACKET_IDEN_WAKE_UP,         PACKET_IDEN_GET_NVM_ITEM,
                           PACKET_IDEN_WATCHDOG_ENABLE, PACKET_IDEN_FEED_WATCHDOG};
    const uint8_t wire[] = {10, 16, 18, 20, 21, 24, 26, 28, 31, 49, 52, 54};
    EXPECT_TRUE(std::equal(ids, ids + 12, wire));
}

TEST(ProtocolRecordsTest, NvmFillAndIdentityText) {
    NVMPacket p{};
    const uint8_t data[40] = {12, 0, 0, 0, 0x00, 0x04};
    EXPECT_EQ(NVMFillPacket(data, 40, 8, &p), &p);
    EXPECT_EQ(uint32_t(p.index), 8u);
    EXPECT_EQ(uint32_t(p.length), 40u);
    EXPECT_EQ(uint32_t(p.magic), NVM_MAGIC);
    EXPECT_EQ(p.DataWord(0), 12u);
    EXPECT_EQ(p.DataWord(1), 1024u);

    NVMPacket q{};
    NVMFillPacket(nullptr, 0, 2, &q);  // index only
    EXPECT_EQ(uint32_t(q.index), 2u);
    EXPECT_EQ(uint32_t(q.magic), 0u);

    uint8_t id[8];
    ASSERT_TRUE(OrdoParseIdentityHex("00a1B2c3D4e5F6ff", id));
    EXPECT_EQ(OrdoIdentityHex(id), "00A1B2C3D4E5F6FF");
    EXPECT_FALSE(OrdoParseIdentityHex("00a1B2c3D4e5F6f", id));
    EXPECT_FALSE(OrdoParseIdentityHex("00a1B2c3D4e5F6fg", id));
}

TEST(FirmwareEmulatorTest, AnswersEveryRequestWithItsRecord) {
    FrameDescription d;
    std::memcpy(d.identity, "\x01\x02\x03\x04\x05\x06\x07\x08", 8);
    d.ledX = 300;
    d.contacts = 6;
    d.calibrationEnabled = true;
    d.calibrationPoints[2] = 32767;
    d.smoothLevel = 4;
    d.win7Mode = 1;
    d.penEnabled = 1;
    d.solutionWidth = 1920;
    d.solutionHeight = 1080;
    d.customAnswers[70] = std::vector<uint8_t>(100, 0x33);
    FirmwareEmulator emu(d);

    Request(emu, PACKET_IDEN_READ_CONFIG);
    Packet p = PullPacket(emu);
    EXPECT_EQ(p.type, PACKET_IDEN_READ_CONFIG);
    EXPECT_TRUE(p.checksumOk);
    auto cfg = As<OrdoConfig>(p);
    EXPECT_EQ(OrdoIdentityHex(cfg.identity), "0102030405060708");
    EXPECT_EQ(uint32_t(cfg.LED_X), 300u);
    EXPECT_EQ(cfg.contacts, 6);
    EXPECT_EQ(cfg.version, 20);
    EXPECT_EQ(cfg.LCD_SIZE, d.lcdSize);

    Request(emu, PACKET_IDEN_QUERY_INFO);
    EXPECT_EQ(As<OrdoQueryInfo>(PullPacket(emu)).mode, d.initialMode);
    emu.SetScanRate(0);  // keep scans out of this test
    Request(emu, PACKET_IDEN_SET_MODE, {ORDO_MODE_SOFTWARE});
    p = PullPacket(emu);
    EXPECT_EQ(p.type, PACKET_IDEN_SET_MODE);
    EXPECT_EQ(p.content[0], ORDO_MODE_SOFTWARE);
    EXPECT_EQ(emu.Mode(), ORDO_MODE_SOFTWARE);
    Request(emu, PACKET_IDEN_QUERY_INFO);
    EXPECT_EQ(As<OrdoQueryInfo>(PullPacket(emu)).mode, ORDO_MODE_SOFTWARE);

    Request(emu, PACKET_IDEN_GET_CALIBRATION);
    auto cal = As<OrdoCalib>(PullPacket(emu));
    EXPECT_EQ(uint32_t(cal.enabled), 1u);
    EXPECT_EQ(uint16_t(cal.points[2]), 32767);
    Request(emu, PACKET_IDEN_GET_EFFECTS);
    EXPECT_EQ(uint32_t(As<OrdoEffs>(PullPacket(emu)).smoothLevel), 4u);
    Request(emu, PACKET_IDEN_GET_SOFTWARE_MODE_INFO);
    EXPECT_EQ(uint32_t(As<OrdoSfwInfo>(PullPacket(emu)).win7Mode), 1u);
    Request(emu, PACKET_IDEN_WAKE_UP);
    EXPECT_EQ(PullPacket(emu).type, PACKET_IDEN_WAKE_UP);

    NVMPacket req{};
    NVMFillPacket(nullptr, 0, NVM_ITEM_SOLUTION, &req);
    std::vector<uint8_t> payload(reinterpret_cast<uint8_t*>(&req),
                                 reinterpret_cast<uint8_t*>(&req) + sizeof req);
    Request(emu, PACKET_IDEN_GET_NVM_ITEM, payload);
    auto nvm = As<NVMPacket>(PullPacket(emu));
    EXPECT_EQ(uint32_t(nvm.magic), NVM_MAGIC);
    EXPECT_EQ(nvm.DataWord(0), NVM_SOLUTION_TAG);
    EXPECT_EQ(nvm.DataWord(1), 1920u);
    EXPECT_EQ(nvm.DataWord(2), 1080u);
    NVMFillPacket(nullptr, 0, NVM_ITEM_PEN, &req);
    std::memcpy(payload.data(), &req, sizeof req);
    Request(emu, PACKET_IDEN_GET_NVM_ITEM, payload);
    nvm = As<NVMPacket>(PullPacket(emu));
    EXPECT_EQ(uint32_t(nvm.index), NVM_ITEM_PEN);
    EXPECT_EQ(nvm.DataWord(0), 1u);
    NVMFillPacket(nullptr, 0, 5, &req);
    std::memcpy(payload.data(), &req, sizeof req);
    Request(emu, PACKET_IDEN_GET_NVM_ITEM, payload);
    EXPECT_NE(uint32_t(As<NVMPacket>(PullPacket(emu)).magic), NVM_MAGIC);  // nothing stored

    Request(emu, 70);
    p = PullPacket(emu);
    EXPECT_EQ(p.type, 70);
    EXPECT_EQ(p.content.size(), 118u);
    EXPECT_EQ(p.content[99], 0x33);
    EXPECT_EQ(p.content[100], 0);
    EXPECT_TRUE(p.checksumOk);

    // Watchdog writes and unknown commands get no answer.
    Request(emu, PACKET_IDEN_WATCHDOG_ENABLE);
    Request(emu, PACKET_IDEN_FEED_WATCHDOG);
    Request(emu, 71);
    EXPECT_TRUE(emu.WatchdogEnabled());
    EXPECT_TRUE(PullReports(emu, 1, milliseconds(30)).empty());
    const FrameCounters c = emu.Counters();
    EXPECT_EQ(c.watchdogFeeds, 1u);
    EXPECT_EQ(c.ignoredRequests, 1u);
    EXPECT_EQ(emu.RequestCount(PACKET_IDEN_QUERY_INFO), 2u);

    uint8_t bad[63] = {ORDO_REQUEST_REPORT_ID, PACKET_IDEN_READ_CONFIG};
    emu.PushOutputReport(bad, sizeof bad);
    uint8_t wrongId[64] = {0x05, PACKET_IDEN_READ_CONFIG};
    emu.PushOutputReport(wrongId, sizeof wrongId);
    EXPECT_EQ(emu.Counters().malformedReports, 2u);
    EXPECT_TRUE(PullReports(emu, 1, milliseconds(30)).empty());
}

TEST(FirmwareEmulatorTest, SoftwareModeStreamsScansFromTheSource) {
    FirmwareEmulator emu;
    std::atomic<uint64_t> lastIndex{0};
    emu.SetScanSource([&](uint64_t index) {
        lastIndex = index;
        std::vector<uint8_t> v(150);
        for (size_t i = 0; i < v.size(); ++i) v[i] = uint8_t(index + i);
        return v;
    });
    emu.SetScanRate(500);
    EXPECT_TRUE(PullReports(emu, 1, milliseconds(30)).empty());  // hardware mode: silent

    Request(emu, PACKET_IDEN_SET_MODE, {ORDO_MODE_SOFTWARE});
    ASSERT_EQ(PullPacket(emu).type, PACKET_IDEN_SET_MODE);
    for (uint64_t scan = 0; scan < 3; ++scan) {
        Packet p = PullPacket(emu);
        ASSERT_EQ(p.type, PACKET_IDEN_TOUCH_DATA);
        EXPECT_EQ(p.indexes, (std::vector<int>{0, 1, 2}));
        EXPECT_TRUE(p.checksumOk);
        ASSERT_EQ(p.content.size(), 177u);
        EXPECT_EQ(p.content[0], uint8_t(scan));
        EXPECT_EQ(p.content[149], uint8_t(scan + 149));
    }
    EXPECT_GE(lastIndex.load(), 2u);
    EXPECT_GE(emu.Counters().scansSent, 3u);

    emu.SetScanSource([](uint64_t) { return std::vector<uint8_t>(900, 1); });
    ASSERT_TRUE(WaitFor([&] {
        PullReports(emu, 1, milliseconds(20));
        return emu.Counters().oversizeScans > 0;
    }));
}

TEST(FirmwareEmulatorTest, AnswerFaultsAndUnconfiguredFrame) {
    FirmwareEmulator emu;
    FaultSettings f;
    f.answerFaults[PACKET_IDEN_QUERY_INFO] = AnswerFault::WrongType;
    f.answerFaults[PACKET_IDEN_GET_EFFECTS] = AnswerFault::NoAnswer;
    f.answerFaults[PACKET_IDEN_GET_CALIBRATION] = AnswerFault::Short;
    f.unconfigured = true;
    emu.SetFaults(f);

    Request(emu, PACKET_IDEN_QUERY_INFO);
    EXPECT_EQ(PullPacket(emu).type, PACKET_IDEN_QUERY_INFO + 1);
    Request(emu, PACKET_IDEN_GET_EFFECTS);
    EXPECT_TRUE(PullReports(emu, 1, milliseconds(30)).empty());
    Request(emu, PACKET_IDEN_GET_CALIBRATION);
    Packet cal = PullPacket(emu);
    EXPECT_EQ(cal.type, PACKET_IDEN_GET_CALIBRATION);
    EXPECT_TRUE(cal.checksumOk);
    Request(emu, PACKET_IDEN_READ_CONFIG);
    EXPECT_EQ(As<OrdoConfig>(PullPacket(emu)).LCD_SIZE, 0);
}

TEST(FirmwareEmulatorTest, BlockFaults) {
    FirmwareEmulator emu;
    FrameDescription d = emu.Description();
    d.customAnswers[80] = std::vector<uint8_t>(150, 9);  // three blocks
    emu.SetDescription(d);

    FaultSettings f;
    f.badChecksumEvery = 2;
    emu.SetFaults(f);
    Request(emu, 80);
    EXPECT_TRUE(PullPacket(emu).checksumOk);
    Request(emu, 80);
    EXPECT_FALSE(PullPacket(emu).checksumOk);

    f = FaultSettings();
    f.dropBlockEvery = 1;
    emu.SetFaults(f);
    Request(emu, 80);
    auto reports = PullReports(emu, 3, milliseconds(50));
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports[0][2], 0x03);
    EXPECT_EQ(reports[1][2], 0x23);

    f = FaultSettings();
    f.reorderBlocksEvery = 1;
    emu.SetFaults(f);
    Request(emu, 80);
    reports = PullReports(emu, 3);
    ASSERT_EQ(reports.size(), 3u);
    EXPECT_EQ(reports[0][2], 0x03);
    EXPECT_EQ(reports[1][2], 0x23);
    EXPECT_EQ(reports[2][2], 0x13);
}

TEST(FirmwareEmulatorTest, IdleNoticesArriveUnasked) {
    FirmwareEmulator emu;
    FaultSettings f;
    f.idleNoticeMs = 10;
    emu.SetFaults(f);
    Packet p = PullPacket(emu);
    EXPECT_EQ(p.type, PACKET_IDEN_IDLE);
    EXPECT_EQ(PullPacket(emu).type, PACKET_IDEN_IDLE);
    EXPECT_GE(emu.Counters().idleNoticesSent, 2u);
}

TEST(FirmwareEmulatorTest, UnplugAfterReports) {
    FirmwareEmulator emu;
    FaultSettings f;
    f.unplugAfterReports = 2;
    emu.SetFaults(f);
    Request(emu, PACKET_IDEN_WAKE_UP);
    Request(emu, PACKET_IDEN_WAKE_UP);
    Request(emu, PACKET_IDEN_WAKE_UP);
    EXPECT_EQ(PullReports(emu, 5).size(), 2u);
    EXPECT_TRUE(emu.IsUnplugged());
    uint8_t r[64];
    EXPECT_EQ(emu.PullInputReport(r, milliseconds(0)), PullResult::Unplugged);
}

TEST(FirmwareEmulatorTest, RebootRestoresPowerUpStateAndLosesPendingReports) {
    FirmwareEmulator emu;
    emu.SetScanRate(0);
    Request(emu, PACKET_IDEN_SET_MODE, {ORDO_MODE_SOFTWARE});
    Request(emu, PACKET_IDEN_WATCHDOG_ENABLE);
    ASSERT_EQ(emu.Mode(), ORDO_MODE_SOFTWARE);
    emu.Reboot();
    EXPECT_EQ(emu.RebootCount(), 1u);
    EXPECT_EQ(emu.Mode(), emu.Description().initialMode);
    EXPECT_FALSE(emu.WatchdogEnabled());
    EXPECT_TRUE(PullReports(emu, 1, milliseconds(20)).empty());  // the SET_MODE answer is gone
}

TEST(FirmwareEmulatorTest, HungryWatchdogAndRebootLoopRestartTheFrame) {
    FirmwareEmulator emu;
    FaultSettings f;
    f.watchdogTimeoutMs = 20;
    emu.SetFaults(f);
    Request(emu, PACKET_IDEN_WATCHDOG_ENABLE);
    ASSERT_TRUE(WaitFor([&] {
        PullReports(emu, 1, milliseconds(10));
        return emu.RebootCount() == 1;
    }));
    EXPECT_FALSE(emu.WatchdogEnabled());

    f = FaultSettings();
    f.rebootEveryMs = 10;
    emu.SetFaults(f);
    ASSERT_TRUE(WaitFor([&] {
        PullReports(emu, 1, milliseconds(10));
        return emu.RebootCount() >= 3;
    }));
}

TEST(FirmwareEmulatorTest, ArbitraryOutputReportsAreSurvived) {
    FirmwareEmulator emu;
    emu.SetScanRate(0);
    std::mt19937 rng(777);
    uint64_t wellFormed = 0;
    for (int i = 0; i < 5000; ++i) {
        std::vector<uint8_t> r(rng() % 3 ? 64 : rng() % 100);
        for (auto& b : r) b = uint8_t(rng());
        if (!r.empty() && rng() % 2) r[0] = ORDO_REQUEST_REPORT_ID;
        if (r.size() == 64 && r[0] == ORDO_REQUEST_REPORT_ID) ++wellFormed;
        emu.PushOutputReport(r.data(), r.size());
        PullReports(emu, 64, milliseconds(0));
    }
    const FrameCounters c = emu.Counters();
    EXPECT_EQ(c.requests, wellFormed);
    EXPECT_EQ(c.requests + c.malformedReports, 5000u);
    EXPECT_FALSE(emu.IsUnplugged());
}

}  // namespace
