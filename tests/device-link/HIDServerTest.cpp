// The HID device object and the packet server's talk thread over real transports: a raw frame
// peer on a virtual-frame socket, and a scripted link for transfer failures.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <deque>
#include <future>
#include <memory>

#include "TestSupport.h"
#include "VexoDevs/VexoHID.h"
#include "VexoTalk/VexoHIDServer.h"

using namespace VexoSource;
using namespace devlink_test;
using std::chrono::milliseconds;

namespace {

// A link whose transfers succeed or fail as scripted; reads without a script find nothing.
struct Script {
    std::mutex mutex;
    std::deque<int> results;  // per transfer: > 0 success with that length, -1 failure
    std::atomic<int> transfers{0};
    u32 reportSize = 64;
    u32 outputSize = 0;   // 0: the same as reportSize
    int readWaitMs = -1;  // >= 0: reads only wait this long and find nothing
};

class ScriptedLink : public VexoHIDLink {
public:
    explicit ScriptedLink(std::shared_ptr<Script> s) : m_s(std::move(s)) {}
    int Read(u8*, size_t, int) override {
        if (m_s->readWaitMs >= 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(m_s->readWaitMs));
            return 0;
        }
        return Next(0);
    }
    int Write(const u8*, size_t length) override { return Next(int(length)); }
    bool GetCaps(VexoHIDCaps_S& caps) override {
        caps = {m_s->reportSize, m_s->outputSize ? m_s->outputSize : m_s->reportSize, 1, 0xFF00};
        return true;
    }

private:
    int Next(int idle) {
        std::lock_guard<std::mutex> lock(m_s->mutex);
        ++m_s->transfers;
        if (m_s->results.empty()) return idle;
        int r = m_s->results.front();
        m_s->results.pop_front();
        return r;
    }
    std::shared_ptr<Script> m_s;
};

class ScriptedHID : public VexoHID {
public:
    explicit ScriptedHID(std::shared_ptr<Script> s, bool openable = true)
        : m_s(std::move(s)), m_openable(openable) {}

protected:
    std::unique_ptr<VexoHIDLink> OpenLink(const std::string&) override {
        if (!m_openable) return nullptr;
        return std::make_unique<ScriptedLink>(m_s);
    }

private:
    std::shared_ptr<Script> m_s;
    bool m_openable;
};

// Counts the talk thread's read attempts, whether the device takes them or refuses them.
class CountingHID : public ScriptedHID {
public:
    using ScriptedHID::ScriptedHID;
    i32 ReadTimed(u8* buffer, u32 length, u32 timeoutMs) override {
        ++reads;
        return ScriptedHID::ReadTimed(buffer, length, timeoutMs);
    }
    std::atomic<int> reads{0};
};

// A packet server whose device is scripted.
class ScriptedServer : public VexoHIDServer {
public:
    explicit ScriptedServer(std::shared_ptr<Script> s) : m_s(std::move(s)) {}
    ~ScriptedServer() override { Reset(); }
    CountingHID* device = nullptr;

protected:
    VexoHID* CreateDevice() override { return device = new CountingHID(m_s); }

private:
    std::shared_ptr<Script> m_s;
};

TEST(VexoHIDTest, WrongLengthIsRefusedWithoutCounting) {
    auto script = std::make_shared<Script>();
    ScriptedHID hid(script);
    u8 buf[65] = {};
    EXPECT_EQ(hid.Read(buf, 64), 0);  // not initialised yet
    ASSERT_EQ(hid.Init(), 1u);
    ASSERT_EQ(hid.IsPrepared("scripted"), 1u);

    script->results = {-1, -1, -1, -1, -1, -1};
    EXPECT_EQ(hid.Read(buf, 63), 0);
    EXPECT_EQ(hid.Write(buf, 65), 0);
    EXPECT_EQ(script->transfers.load(), 0);  // refused before reaching the device
    EXPECT_EQ(hid.ErrorCount(), 0u);
    EXPECT_EQ(hid.IsRemoved(), 0u);
}

TEST(VexoHIDTest, SixFailuresInterleavedWithSuccessesCloseTheDevice) {
    auto script = std::make_shared<Script>();
    ScriptedHID hid(script);
    hid.Init();
    ASSERT_EQ(hid.IsPrepared("scripted"), 1u);
    u8 buf[64] = {};
    script->results = {-1, 64, -1, -1, 64, -1, -1, -1};
    EXPECT_EQ(hid.Read(buf, 64), 0);
    EXPECT_EQ(hid.Read(buf, 64), 64);
    EXPECT_EQ(hid.Write(buf, 64), -1);
    EXPECT_EQ(hid.Read(buf, 64), 0);
    EXPECT_EQ(hid.Write(buf, 64), 64);
    EXPECT_EQ(hid.ErrorCount(), 3u);  // a success does not clear the count
    EXPECT_EQ(hid.Write(buf, 64), -1);
    EXPECT_EQ(hid.Read(buf, 64), 0);
    EXPECT_EQ(hid.ErrorCount(), 5u);
    EXPECT_EQ(hid.IsRemoved(), 0u);
    EXPECT_EQ(hid.Read(buf, 64), 0);  // the sixth failure
    EXPECT_EQ(hid.IsRemoved(), 1u);
    EXPECT_EQ(hid.IsInitialized(), 0u);
    EXPECT_EQ(hid.ErrorCount(), 0u);

    const int before = script->transfers.load();
    EXPECT_EQ(hid.Write(buf, 64), 0);  // the seventh call is refused
    EXPECT_EQ(script->transfers.load(), before);
    EXPECT_EQ(hid.TakeRemoved(), 1u);
    EXPECT_EQ(hid.IsRemoved(), 0u);
}

TEST(VexoHIDTest, WriteFailuresCloseTheDeviceWhileAReaderKeepsWaiting) {
    auto script = std::make_shared<Script>();
    script->readWaitMs = 2;
    ScriptedHID hid(script);
    hid.Init();
    ASSERT_EQ(hid.IsPrepared("scripted"), 1u);
    std::atomic<bool> stop{false};
    std::thread reader([&] {
        u8 buf[64];
        while (!stop) hid.ReadTimed(buf, 64, 2);
    });
    script->results = {-1, -1, -1, -1, -1, -1};
    u8 buf[64] = {};
    for (int i = 0; i < 6; ++i) EXPECT_EQ(hid.Write(buf, 64), -1);
    EXPECT_EQ(hid.IsRemoved(), 1u);
    EXPECT_EQ(hid.Write(buf, 64), 0);
    stop = true;
    reader.join();
}

TEST(VexoHIDTest, UnopenablePathFailsAndLogsEveryAttempt) {
    LogCapture log;
    auto script = std::make_shared<Script>();
    ScriptedHID hid(script, false);
    hid.Init();
    EXPECT_EQ(hid.IsPrepared("nowhere"), 0u);
    EXPECT_EQ(hid.IsPrepared("nowhere"), 0u);
    EXPECT_EQ(log.Count(L"Exception - Unable to open device nowhere"), 2u);
}

TEST(VexoHIDTest, RealBackendOnMissingPathFailsCleanly) {
    LogCapture log;
    VexoHID hid;
    hid.Init();
    EXPECT_EQ(hid.IsPrepared("virtual:/nonexistent-dir/frame.sock"), 0u);
    EXPECT_EQ(hid.IsPrepared("/dev/hidraw-none"), 0u);
    EXPECT_EQ(log.CountContaining(L"Unable to open device"), 2u);
    EXPECT_EQ(VexoHIDGetCapsByPath("virtual:/nonexistent-dir/frame.sock"), nullptr);
}

TEST(VexoHIDPathsTest, VirtualFramesAreListedAfterRealOnesInNameOrder) {
    TempDir dir;
    RawFramePeer b(dir.Path() + "/b.sock"), a(dir.Path() + "/a.sock");
    ASSERT_TRUE(a.Listening() && b.Listening());
    {
        FILE* f = fopen((dir.Path() + "/c.sock.txt").c_str(), "w");
        fclose(f);
    }
    {
        FILE* f = fopen((dir.Path() + "/d.sock").c_str(), "w");
        fclose(f);
    }  // not a socket

    setenv(VEXO_VIRTUAL_DIR_ENV, dir.Path().c_str(), 1);
    std::vector<std::string> paths{"kept"};
    EXPECT_EQ(VexoHIDGetPaths(VEXO_FRAME_VENDOR_ID, VEXO_FRAME_PRODUCT_ID, paths), 1);
    const std::vector<std::string> virtuals(paths.end() - 2, paths.end());
    EXPECT_EQ(paths.front(), "kept");
    EXPECT_EQ(virtuals, (std::vector<std::string>{"virtual:" + dir.Path() + "/a.sock",
                                                  "virtual:" + dir.Path() + "/b.sock"}));

    // Another product never matches a virtual frame.
    std::vector<std::string> other;
    const u8 found = VexoHIDGetPaths(0x1234, 0x5678, other);
    EXPECT_EQ(found, other.empty() ? 0 : 1);
    for (const auto& p : other) EXPECT_FALSE(VexoHIDIsVirtualPath(p));
    unsetenv(VEXO_VIRTUAL_DIR_ENV);

    std::unique_ptr<VexoHIDCaps_S, void (*)(VexoHIDCaps_S*)> caps(
        VexoHIDGetCapsByPath(a.HostPath()), VexoHIDFreeCaps);
    ASSERT_TRUE(caps);
    EXPECT_EQ(caps->maxInputReportSize, 64u);
    EXPECT_EQ(caps->maxOutputReportSize, 64u);
}

TEST(VexoHIDPathsTest, NoMatchLeavesTheListUnchanged) {
    unsetenv(VEXO_VIRTUAL_DIR_ENV);
    std::vector<std::string> paths{"kept"};
    // No real device has this vendor and product here.
    EXPECT_EQ(VexoHIDGetPaths(0xFFFE, 0xFFFD, paths), 0);
    EXPECT_EQ(paths, std::vector<std::string>{"kept"});
}

TEST(ReportDescriptorTest, SizesIncludeTheReportIdOfNumberedReports) {
    // Vendor page 0xFF00, usage 1; report 4: 63 input bytes and 63 output bytes; report 5:
    // 8 input bytes.
    const u8 desc[] = {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x85, 0x04, 0x75,
                       0x08, 0x95, 0x3F, 0x09, 0x01, 0x81, 0x02, 0x09, 0x01, 0x91,
                       0x02, 0x85, 0x05, 0x95, 0x08, 0x09, 0x01, 0x81, 0x02, 0xC0};
    VexoHIDCaps_S caps{};
    ASSERT_TRUE(VexoHIDParseReportDescriptor(desc, sizeof desc, caps));
    EXPECT_EQ(caps.maxInputReportSize, 64u);
    EXPECT_EQ(caps.maxOutputReportSize, 64u);
    EXPECT_EQ(caps.usagePage, 0xFF00);
    EXPECT_EQ(caps.usage, 1);
}

TEST(ReportDescriptorTest, UnnumberedReportsAndPushPop) {
    // 16 bits x 4 input; push, 8 bits x 2 output; pop leaves 16-bit size for the next input.
    const u8 desc[] = {0x05, 0x01, 0x09, 0x02, 0xA1, 0x01, 0x75, 0x10, 0x95, 0x04, 0x81, 0x02,
                       0xA4, 0x75, 0x08, 0x95, 0x02, 0x91, 0x02, 0xB4, 0x81, 0x02, 0xC0};
    VexoHIDCaps_S caps{};
    ASSERT_TRUE(VexoHIDParseReportDescriptor(desc, sizeof desc, caps));
    EXPECT_EQ(caps.maxInputReportSize, 16u);
    EXPECT_EQ(caps.maxOutputReportSize, 2u);
    EXPECT_EQ(caps.usagePage, 1);
    EXPECT_EQ(caps.usage, 2);
}

TEST(ReportDescriptorTest, TruncatedOrEmptyDescriptorsAreRejected) {
    VexoHIDCaps_S caps{64, 64, 0, 0};
    const u8 truncated[] = {0x75, 0x08, 0x95};  // report count without its data byte
    EXPECT_FALSE(VexoHIDParseReportDescriptor(truncated, sizeof truncated, caps));
    EXPECT_FALSE(VexoHIDParseReportDescriptor(nullptr, 0, caps));
    EXPECT_EQ(caps.maxInputReportSize, 64u);  // left as they were
}

// A server bound to a raw peer.
class TalkThreadTest : public ::testing::Test {
protected:
    void SetUp() override {
        peer = std::make_unique<RawFramePeer>(dir.Path() + "/frame.sock");
        ASSERT_TRUE(peer->Listening());
        ASSERT_EQ(server.Bind(peer->HostPath()), 1u);
        ASSERT_TRUE(peer->Accept());
    }

    LogCapture log;
    TempDir dir;
    std::unique_ptr<RawFramePeer> peer;
    VexoHIDServer server;
};

TEST_F(TalkThreadTest, ReportsBecomePacketsAndRequestsReachTheFrame) {
    EXPECT_EQ(server.Bind(peer->HostPath()), 1u);  // same path again
    EXPECT_EQ(server.Bind("virtual:/elsewhere.sock"), 0u);
    EXPECT_TRUE(WaitFor([&] { return log.CountContaining(L"Talk-thread entry 0x") == 1; }));

    server.SetFastReply(0);
    std::vector<uint8_t> payload(59, 2);
    ASSERT_TRUE(peer->Send(Block(10, 0, 2, uint8_t(Sum(payload) * 2), payload)));
    ASSERT_TRUE(peer->Send(Block(10, 1, 2, uint8_t(Sum(payload) * 2), payload)));
    ASSERT_TRUE(peer->Send(Block(18, 0, 1, 0)));
    ASSERT_TRUE(WaitFor([&] { return !server.Empty(VEXO_QUEUE_TOUCH); }));
    EXPECT_EQ(VexoWaitObjectWithTimed(server.GetRSync(), 8000), 1u);
    std::unique_ptr<VexoPacket> touch(server.GetPacket(VEXO_QUEUE_TOUCH));
    ASSERT_TRUE(touch);
    EXPECT_EQ(touch->GetPacketSize(), 118);
    u32 found = 0;
    std::unique_ptr<VexoPacket> answer(server.GetPacket(8000, 18, found));
    ASSERT_TRUE(answer);

    u8 request[70] = {0x04, 16};
    request[64] = 0xEE;  // past the report: never sent
    EXPECT_EQ(server.SetPacket(request, 63), 0u);
    EXPECT_EQ(server.SetPacket(nullptr, 64), 0u);
    EXPECT_EQ(server.SetPacket(request, 70), 1u);
    auto got = peer->Receive(milliseconds(8000));
    ASSERT_EQ(got.size(), 64u);
    EXPECT_EQ(got[0], 0x04);
    EXPECT_EQ(got[1], 16);
    EXPECT_TRUE(peer->Receive(milliseconds(50)).empty());  // exactly one report
}

TEST_F(TalkThreadTest, ShortReportsAreZeroPaddedAndTooShortOnesIgnored) {
    // A full report first, so that stale bytes would show in a short one that is not padded.
    const std::vector<uint8_t> full(59, 0xAB);
    ASSERT_TRUE(peer->Send(Block(19, 0, 1, Sum(full), full)));
    ASSERT_TRUE(peer->Send({0x04, 18, 0x01}));  // no checksum byte: no block at all
    std::vector<uint8_t> shortReport = Block(18, 0, 1, 15, {1, 2, 3, 4, 5});
    shortReport.resize(10);
    ASSERT_TRUE(peer->Send(shortReport));

    u32 found = 0;
    std::unique_ptr<VexoPacket> p(server.GetPacket(8000, 18, found));
    ASSERT_TRUE(p);
    std::vector<uint8_t> content(59);
    ASSERT_EQ(p->GetPacketContent(content.data(), 59), 59);
    EXPECT_EQ(content[4], 5);
    EXPECT_TRUE(std::all_of(content.begin() + 5, content.end(), [](uint8_t b) { return !b; }));
    EXPECT_EQ(log.CountContaining(L"checksum failed"), 0u);
    EXPECT_EQ(log.Count(L"Debug - Report of 3 bytes has no block header ON VexoHIDServer"), 1u);
    EXPECT_TRUE(server.Empty(VEXO_QUEUE_ANSWER));
}

TEST_F(TalkThreadTest, TalkThreadLogsItsEntryAndExitWithTheServersAddress) {
    char address[16];
    std::snprintf(address, sizeof address, "0x%08X", VexoAddr32(&server));
    const std::wstring hex(address, address + std::strlen(address));
    ASSERT_TRUE(WaitFor([&] { return log.Count(L"Debug - Talk-thread entry " + hex) == 1; }));
    server.Reset();
    EXPECT_EQ(log.Count(L"Debug - Talk-thread exit " + hex), 1u);
    EXPECT_EQ(server.IsBound(), 0u);
    EXPECT_EQ(server.GetRSync(), nullptr);
}

TEST_F(TalkThreadTest, EmptyDatagramsAreNotMistakenForAnUnplug) {
    for (int i = 0; i < 8; ++i) ASSERT_TRUE(peer->Send({}));
    ASSERT_TRUE(peer->Send(Block(18, 0, 1, 0)));
    u32 found = 0;
    std::unique_ptr<VexoPacket> p(server.GetPacket(8000, 18, found));
    ASSERT_TRUE(p);  // read after every empty datagram
    EXPECT_EQ(server.IsPulledOut(), 0);
    EXPECT_EQ(log.CountContaining(L"pulled out"), 0u);
    u8 request[64] = {0x04, 16};
    EXPECT_EQ(server.SetPacket(request, 64), 1u);
}

TEST_F(TalkThreadTest, FrameThatStopsReadingFailsWritesInsteadOfBlockingThem) {
    // The frame never reads: its socket fills up, then a write must give up, not wait for ever.
    auto fill = std::async(std::launch::async, [&] {
        u8 request[64] = {0x04, 54};
        for (int i = 0; i < 100000; ++i) {
            if (!server.SetPacket(request, 64)) return i;
        }
        return -1;
    });
    const bool returned = fill.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
    if (!returned) peer->Close();  // releases a blocked writer so that the test can end
    ASSERT_TRUE(returned);
    EXPECT_GT(fill.get(), 0);
    EXPECT_EQ(server.IsPulledOut(), 0);  // one failed transfer is not an unplug

    // Once the frame reads again, requests travel again.
    while (!peer->Receive(milliseconds(50)).empty()) {
    }
    u8 request[64] = {0x04, 16};
    EXPECT_EQ(server.SetPacket(request, 64), 1u);
    auto got = peer->Receive(milliseconds(8000));
    ASSERT_EQ(got.size(), 64u);
    EXPECT_EQ(got[1], 16);
}

TEST_F(TalkThreadTest, UnplugIsReportedAsPulledOutAndWritesFail) {
    ASSERT_EQ(server.IsPulledOut(), 0);
    peer->Close();
    ASSERT_TRUE(WaitFor([&] { return server.IsPulledOut() == 1; }));
    EXPECT_EQ(log.Count(L"Exception - HID Event that device has pulled out"), 1u);
    u8 request[64] = {0x04, 16};
    EXPECT_EQ(server.SetPacket(request, 64), 0u);
    EXPECT_EQ(server.GetThreadStatusEx(), VexoEThreadStatus::Paused);
}

TEST(TalkThreadBindTest, BindFailsOnMissingFrameAndResetsCleanly) {
    LogCapture log;
    VexoHIDServer server;
    EXPECT_EQ(server.Bind("virtual:/nonexistent-dir/frame.sock"), 0u);
    EXPECT_EQ(server.IsBound(), 0u);
    EXPECT_EQ(server.GetRSync(), nullptr);
    u8 request[64] = {0x04, 16};
    EXPECT_EQ(server.SetPacket(request, 64), 0u);
    EXPECT_EQ(log.Count(L"Debug - Device Unprepared ON VexoHIDServer"), 1u);
}

TEST(TalkThreadBindTest, DeviceWithOtherReportSizeIdlesInsteadOfSpinning) {
    LogCapture log;
    auto script = std::make_shared<Script>();
    script->reportSize = 65;  // every 64-byte read is refused at once
    script->outputSize = 64;
    ScriptedServer server(script);
    ASSERT_EQ(server.Bind("scripted"), 1u);
    EXPECT_EQ(log.Count(L"Exception - Unsupported input report size 65 of scripted"), 1u);
    ASSERT_TRUE(WaitFor([&] { return log.CountContaining(L"Talk-thread entry") == 1; }));

    // Idling, the thread looks at its device about every 8 ms; spinning on refused reads it
    // would try hundreds of thousands of times in this window.
    const int before = server.device->reads.load();
    std::this_thread::sleep_for(milliseconds(300));
    EXPECT_LT(server.device->reads.load() - before, 200);

    // Its removal is still noticed.
    script->results = {-1, -1, -1, -1, -1, -1};
    u8 request[64] = {0x04, 16};
    for (int i = 0; i < 6; ++i) EXPECT_EQ(server.SetPacket(request, 64), 0u);
    EXPECT_TRUE(WaitFor([&] { return server.IsPulledOut() == 1; }));
}

}  // namespace
