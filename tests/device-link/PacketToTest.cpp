// Request/answer exchanges with an emulated frame served on a socket, through the real packet
// server and virtual HID backend.
#include <gtest/gtest.h>

#include "MTouch/MTPacketTo.h"
#include "TestSupport.h"
#include "VirtualFrame/FirmwareEmulator.h"
#include "VirtualFrame/FrameSocketServer.h"

using namespace VexoSource;
using namespace VirtualFrame;
using namespace devlink_test;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

namespace {

// An emulated frame served on a socket and a packet server bound to it.
struct BoundFrame {
    explicit BoundFrame(const FrameDescription& d = FrameDescription())
        : emu(d), frame(emu, dir.Path() + "/frame0.sock") {
        if (frame.Start()) server.Bind("virtual:" + frame.Path());
    }
    bool Ready() {
        return server.IsBound() && WaitFor([&] { return frame.ClientCount() == 1; });
    }

    TempDir dir;
    FirmwareEmulator emu;
    FrameSocketServer frame;
    VexoHIDServer server;
};

// One emulated frame and one bound server for the whole suite: binding and releasing a server
// takes about two seconds. Every test starts from a frame without faults and with its counters
// at zero (a reboot would reset more, but it also drops the connection).
class PacketToTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        FrameDescription d;
        d.customAnswers[90] = std::vector<uint8_t>(150, 0x5A);
        bound = new BoundFrame(d);
        emu = &bound->emu;
        frame = &bound->frame;
        server = &bound->server;
    }
    static void TearDownTestSuite() { delete bound; }
    void SetUp() override {
        ASSERT_TRUE(bound->Ready()) << frame->Error();
        emu->SetFaults(FaultSettings());
        emu->SetScanRate(0);
        emu->ResetCounters();
        server->SetFastReply(1);
        server->ClearPackets(VEXO_CLEAR_BOTH);
    }

    static BoundFrame* bound;
    static FirmwareEmulator* emu;
    static FrameSocketServer* frame;
    static VexoHIDServer* server;
    LogCapture log;
};

BoundFrame* PacketToTest::bound;
FirmwareEmulator* PacketToTest::emu;
FrameSocketServer* PacketToTest::frame;
VexoHIDServer* PacketToTest::server;

TEST_F(PacketToTest, ReadsRecordsAndCarriesPayloads) {
    OrdoConfig cfg;
    u32 ok = 9;
    EXPECT_EQ(MTPacketTo(server, PACKET_IDEN_READ_CONFIG, reinterpret_cast<u8*>(&cfg), sizeof cfg,
                         g_echoTime, &ok, nullptr, 0, 1),
              1u);
    EXPECT_EQ(ok, 1u);
    EXPECT_EQ(OrdoIdentityHex(cfg.identity), OrdoIdentityHex(emu->Description().identity));
    EXPECT_EQ(uint32_t(cfg.LED_Y), emu->Description().ledY);

    NVMPacket nvm;
    NVMFillPacket(nullptr, 0, NVM_ITEM_SOLUTION, &nvm);
    MTPacketTo(server, PACKET_IDEN_GET_NVM_ITEM, reinterpret_cast<u8*>(&nvm), sizeof nvm,
               g_echoTime, &ok, reinterpret_cast<const u8*>(&nvm), sizeof nvm, 1);
    ASSERT_EQ(ok, 1u);
    EXPECT_EQ(uint32_t(nvm.magic), NVM_MAGIC);
    EXPECT_EQ(nvm.DataWord(1), emu->Description().solutionWidth);

    u8 mode = ORDO_MODE_SOFTWARE, echo = 0;
    MTPacketTo(server, PACKET_IDEN_SET_MODE, &echo, 1, g_echoTime, &ok, &mode, 1, 1);
    EXPECT_EQ(ok, 1u);
    EXPECT_EQ(emu->Mode(), ORDO_MODE_SOFTWARE);

    // A three-block answer, read whole.
    std::vector<u8> big(150);
    MTPacketTo(server, 90, big.data(), 150, g_echoTime, &ok, nullptr, 0, 1);
    EXPECT_EQ(ok, 1u);
    EXPECT_EQ(big[149], 0x5A);
    EXPECT_EQ(log.CountContaining(L"Exception"), 0u);
}

TEST_F(PacketToTest, WrongTypeAnswersTimeOutAfterTwoOrThreeWrites) {
    FaultSettings f;
    f.answerFaults[PACKET_IDEN_QUERY_INFO] = AnswerFault::WrongType;
    emu->SetFaults(f);
    OrdoQueryInfo info;
    u32 ok = 1;
    const auto start = Clock::now();
    MTPacketTo(server, PACKET_IDEN_QUERY_INFO, reinterpret_cast<u8*>(&info), sizeof info,
               g_echoTime, &ok, nullptr, 0, 1);
    EXPECT_EQ(ok, 0u);
    EXPECT_GE(Clock::now() - start, milliseconds(g_echoTime));
    const uint64_t writes = emu->RequestCount(PACKET_IDEN_QUERY_INFO);
    EXPECT_GE(writes, 2u);
    EXPECT_LE(writes, 3u);
    EXPECT_EQ(log.Count(L"Exception - Request timed out"), 1u);
}

TEST_F(PacketToTest, ShortAnswersCountAsNoneAndTheRequestIsWrittenAgain) {
    FaultSettings f;
    f.answerFaults[90] = AnswerFault::Short;  // 75 bytes: two blocks, 118 < 150
    emu->SetFaults(f);
    std::vector<u8> big(150, 0);
    u32 ok = 1;
    MTPacketTo(server, 90, big.data(), 150, g_echoTime, &ok, nullptr, 0, 1);
    EXPECT_EQ(ok, 0u);
    const uint64_t writes = emu->RequestCount(90);
    EXPECT_GE(writes, 2u);
    EXPECT_LE(writes, 3u);
    EXPECT_EQ(big[0], 0);  // nothing copied from a short answer
    EXPECT_EQ(emu->Counters().answersSent, writes);
}

TEST_F(PacketToTest, NoWaitReturnsAfterOneWriteWithoutReadingTheAnswer) {
    // A stale answer waiting in the queue is thrown away first.
    u8 wake = 0;
    u32 ok = 0;
    MTPacketTo(server, PACKET_IDEN_WAKE_UP, &wake, 1, g_echoTime, &ok, nullptr, 0, 0);
    EXPECT_EQ(ok, 1u);
    ASSERT_TRUE(WaitFor([&] { return !server->Empty(VEXO_QUEUE_ANSWER); }));

    const auto start = Clock::now();
    MTPacketTo(server, PACKET_IDEN_FEED_WATCHDOG, nullptr, 0, g_echoTime, &ok, nullptr, 0, 0);
    EXPECT_EQ(ok, 1u);
    EXPECT_LT(Clock::now() - start, milliseconds(MT_ANSWER_WAIT_MS));
    EXPECT_TRUE(server->Empty(VEXO_QUEUE_ANSWER));
    ASSERT_TRUE(WaitFor([&] { return emu->Counters().watchdogFeeds == 1; }));
    EXPECT_EQ(emu->RequestCount(PACKET_IDEN_FEED_WATCHDOG), 1u);
}

TEST_F(PacketToTest, OverlongPayloadIsRefusedAndNothingIsSent) {
    std::vector<u8> payload(60, 1);
    u8 answer[4];
    u32 ok = 1;
    EXPECT_EQ(MTPacketTo(server, 90, answer, 4, g_echoTime, &ok, payload.data(), 60, 1), 0u);
    EXPECT_EQ(ok, 0u);
    EXPECT_EQ(log.CountContaining(L"Exception - Request 90 refused"), 1u);

    // A 59-byte payload still travels, and is the last thing the frame saw.
    MTPacketTo(server, PACKET_IDEN_WATCHDOG_ENABLE, nullptr, 0, g_echoTime, &ok, payload.data(), 59,
               0);
    EXPECT_EQ(ok, 1u);
    ASSERT_TRUE(WaitFor([&] { return emu->RequestCount(PACKET_IDEN_WATCHDOG_ENABLE) == 1; }));
    EXPECT_EQ(emu->RequestCount(90), 0u);
    EXPECT_EQ(emu->Counters().requests, 1u);
}

TEST_F(PacketToTest, MissingFrameOrAnswerBufferIsRefusedAndLogged) {
    u32 ok = 1;
    EXPECT_EQ(
        MTPacketTo(nullptr, PACKET_IDEN_READ_CONFIG, nullptr, 0, g_echoTime, &ok, nullptr, 0, 0),
        0u);
    EXPECT_EQ(ok, 0u);
    ok = 1;
    EXPECT_EQ(
        MTPacketTo(server, PACKET_IDEN_READ_CONFIG, nullptr, 38, g_echoTime, &ok, nullptr, 0, 1),
        0u);
    EXPECT_EQ(ok, 0u);
    EXPECT_EQ(log.Count(L"Exception - Request 16 refused: no frame"), 1u);
    EXPECT_EQ(log.Count(L"Exception - Request 16 refused: no room for its answer"), 1u);
    // Refused before anything was written: a request the frame then answers proves it saw none.
    u8 wake = 0;
    MTPacketTo(server, PACKET_IDEN_WAKE_UP, &wake, 1, g_echoTime, &ok, nullptr, 0, 1);
    EXPECT_EQ(ok, 1u);
    EXPECT_EQ(emu->RequestCount(PACKET_IDEN_READ_CONFIG), 0u);
}

// Scans streamed through every layer arrive whole; block faults cost scans, never their content.
TEST_F(PacketToTest, StreamedScansArriveWholeDespiteBlockFaults) {
    emu->SetScanSource([](uint64_t index) {
        std::vector<uint8_t> v(150);
        for (size_t i = 0; i < v.size(); ++i) v[i] = uint8_t(index * 3 + i);
        return v;
    });
    FaultSettings f;
    f.dropBlockEvery = 4;
    f.reorderBlocksEvery = 5;
    f.badChecksumEvery = 7;
    emu->SetFaults(f);
    server->SetFastReply(0);
    emu->SetScanRate(400);
    u8 mode = ORDO_MODE_SOFTWARE, echo = 0;
    u32 ok = 0;
    MTPacketTo(server, PACKET_IDEN_SET_MODE, &echo, 1, g_echoTime, &ok, &mode, 1, 1);
    ASSERT_EQ(ok, 1u);

    int whole = 0, corrupt = 0;
    ASSERT_TRUE(WaitFor([&] {
        while (std::unique_ptr<VexoPacket> p{server->GetPacket(VEXO_QUEUE_TOUCH)}) {
            std::vector<u8> c(177);
            EXPECT_EQ(p->GetPacketContent(c.data(), 177), 177);
            // Content is the scan's own: first byte says which scan, the rest follows from it.
            for (size_t i = 1; i < 150; ++i) corrupt += c[i] != u8(c[0] + i);
            EXPECT_EQ(c[150], 0);
            ++whole;
        }
        return whole >= 40;
    }));
    emu->SetScanRate(0);
    server->SetFastReply(1);
    EXPECT_EQ(corrupt, 0);
    EXPECT_GT(log.CountContaining(L"Invalid block!"), 0u);
    EXPECT_GT(log.Count(L"Debug - Packet checksum failed ON VexoHIDServer"), 0u);
    emu->SetScanSource(nullptr);
}

TEST(PacketToUnpluggedTest, UnpluggedFrameFailsAtOnceWithoutRetrying) {
    LogCapture log;
    BoundFrame b;
    ASSERT_TRUE(b.Ready());
    FrameSocketServer& frame = b.frame;
    VexoHIDServer& server = b.server;
    frame.Stop();  // the frame goes away: socket closed and removed
    ASSERT_TRUE(WaitFor([&] { return server.IsPulledOut() == 1; }));
    u8 answer[38];
    u32 ok = 1;
    const auto start = Clock::now();
    MTPacketTo(&server, PACKET_IDEN_READ_CONFIG, answer, 38, g_echoTime, &ok, nullptr, 0, 1);
    EXPECT_EQ(ok, 0u);
    EXPECT_LT(Clock::now() - start, milliseconds(MT_ANSWER_WAIT_MS));
    EXPECT_EQ(log.Count(L"Exception - Unable to SetPacket"), 1u);
    EXPECT_EQ(
        MTPacketTo(nullptr, PACKET_IDEN_READ_CONFIG, answer, 38, g_echoTime, &ok, nullptr, 0, 1),
        0u);
}

TEST(FrameSocketServerTest, RefusesASecondServerAndReplacesAStaleSocket) {
    TempDir dir;
    const std::string path = dir.Path() + "/f.sock";
    FirmwareEmulator a, b;
    {
        // A socket file left behind by a frame that died without cleaning up.
        int fd = socket(AF_UNIX, SOCK_SEQPACKET, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
        ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        close(fd);  // nobody listens: stale
    }
    FrameSocketServer first(a, path);
    ASSERT_TRUE(first.Start()) << first.Error();
    FrameSocketServer second(b, path);
    EXPECT_FALSE(second.Start());
    EXPECT_NE(second.Error().find("already served"), std::string::npos);
    FrameSocketServer tooLong(b, dir.Path() + "/" + std::string(120, 'x') + ".sock");
    EXPECT_FALSE(tooLong.Start());
    first.Stop();
    EXPECT_NE(access(path.c_str(), F_OK), 0);  // removed on stop
}

TEST(FrameSocketServerTest, RemovingTheSocketFileOrUnpluggingEndsServing) {
    TempDir dir;
    FirmwareEmulator emu;
    FrameSocketServer frame(emu, dir.Path() + "/f.sock");
    ASSERT_TRUE(frame.Start());
    unlink(frame.Path().c_str());
    EXPECT_TRUE(frame.WaitFinished(milliseconds(8000)));
    frame.Stop();

    FirmwareEmulator emu2;
    FrameSocketServer frame2(emu2, dir.Path() + "/g.sock");
    ASSERT_TRUE(frame2.Start());
    emu2.Unplug();
    EXPECT_TRUE(frame2.WaitFinished(milliseconds(8000)));
    frame2.Stop();
    EXPECT_NE(access(frame2.Path().c_str(), F_OK), 0);
}

TEST(FrameSocketServerTest, EmptyDatagramIsAMalformedReportNotAHangUp) {
    TempDir dir;
    FirmwareEmulator emu;
    FrameSocketServer frame(emu, dir.Path() + "/f.sock");
    ASSERT_TRUE(frame.Start()) << frame.Error();
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, frame.Path().c_str(), sizeof addr.sun_path - 1);
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_TRUE(WaitFor([&] { return frame.ClientCount() == 1; }));

    ASSERT_EQ(send(fd, "", 0, MSG_NOSIGNAL), 0);
    ASSERT_TRUE(WaitFor([&] { return emu.Counters().malformedReports == 1; }));
    const uint8_t request[64] = {ORDO_REQUEST_REPORT_ID, PACKET_IDEN_WAKE_UP};
    ASSERT_EQ(send(fd, request, sizeof request, MSG_NOSIGNAL), 64);
    uint8_t answer[64] = {};
    timeval tv{8, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    EXPECT_EQ(recv(fd, answer, sizeof answer, 0), 64);  // still connected and answered
    EXPECT_EQ(answer[1], PACKET_IDEN_WAKE_UP);
    EXPECT_EQ(frame.ClientCount(), 1u);

    close(fd);  // a real hang-up still drops the client
    EXPECT_TRUE(WaitFor([&] { return frame.ClientCount() == 0; }));
}

TEST(FrameSocketServerTest, RebootDropsConnectionsAndTheHostSeesPulledOut) {
    LogCapture log;
    BoundFrame b;
    ASSERT_TRUE(b.Ready());
    FirmwareEmulator& emu = b.emu;
    FrameSocketServer& frame = b.frame;
    VexoHIDServer& host = b.server;
    emu.Reboot();
    ASSERT_TRUE(WaitFor([&] { return host.IsPulledOut() == 1; }));
    EXPECT_FALSE(frame.Finished());  // still plugged in: a host can bind again

    VexoHIDServer again;
    ASSERT_EQ(again.Bind("virtual:" + frame.Path()), 1u);
    OrdoConfig cfg;
    u32 ok = 0;
    MTPacketTo(&again, PACKET_IDEN_READ_CONFIG, reinterpret_cast<u8*>(&cfg), sizeof cfg, g_echoTime,
               &ok, nullptr, 0, 1);
    EXPECT_EQ(ok, 1u);
}

}  // namespace
