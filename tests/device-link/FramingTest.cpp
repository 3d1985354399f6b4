// Block reassembly, checksum, fast reply and the queue rules, fed report by report.
#include <gtest/gtest.h>

#include <memory>
#include <random>

#include "TestSupport.h"
#include "VexoTalk/VexoBlockAssembler.h"
#include "VexoTalk/VexoHIDServer.h"

using namespace VexoSource;
using devlink_test::Block;
using devlink_test::LogCapture;
using devlink_test::Sum;

namespace {

constexpr uint8_t kTouch = 10;
constexpr uint8_t kConfig = 16;

std::vector<uint8_t> Pattern(size_t n, uint8_t seed) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = uint8_t(seed + 7 * i);
    return v;
}

std::vector<uint8_t> Slice(const std::vector<uint8_t>& v, size_t block) {
    const size_t from = std::min(v.size(), block * 59);
    return std::vector<uint8_t>(v.begin() + from, v.begin() + std::min(v.size(), from + 59));
}

// Feeds one report as the talk thread does: bytes 1..63 and the report id.
void Feed(VexoHIDServer& server, const std::vector<uint8_t>& report) {
    server.ProcessBytes(report.data() + 1, report[0]);
}

std::unique_ptr<VexoPacket> Take(VexoHIDServer& server, u32 queue) {
    return std::unique_ptr<VexoPacket>(server.GetPacket(queue));
}

class FramingTest : public ::testing::Test {
protected:
    LogCapture log;
    VexoHIDServer server;
};

TEST_F(FramingTest, ThreeBlocksMakeOnePacketOf177Bytes) {
    const auto content = Pattern(150, 3);  // the last block is padded with zeros
    const uint8_t sum = Sum(content);
    for (int i = 0; i < 3; ++i) Feed(server, Block(kConfig, i, 3, sum, Slice(content, i), 0x25));

    auto p = Take(server, VEXO_QUEUE_ANSWER);
    ASSERT_TRUE(p);
    EXPECT_EQ(p->GetPacketSize(), 177);
    EXPECT_EQ(p->GetPacketType(), kConfig);
    EXPECT_EQ(p->GetPacketState(), 5);  // the low nibble of byte 3 only
    std::vector<uint8_t> got(177);
    ASSERT_EQ(p->GetPacketContent(got.data(), 177), 177);
    EXPECT_TRUE(std::equal(content.begin(), content.end(), got.begin()));
    EXPECT_TRUE(std::all_of(got.begin() + 150, got.end(), [](uint8_t b) { return b == 0; }));
    EXPECT_EQ(log.CountContaining(L"checksum failed"), 0u);
    EXPECT_FALSE(Take(server, VEXO_QUEUE_ANSWER));
}

TEST_F(FramingTest, SingleBlockPacketHasIndexZeroAndCountOne) {
    const auto content = Pattern(59, 9);
    Feed(server, Block(kConfig, 0, 1, Sum(content), content));
    auto p = Take(server, VEXO_QUEUE_ANSWER);
    ASSERT_TRUE(p);
    EXPECT_EQ(p->GetPacketSize(), 59);
    uint8_t first[4];
    EXPECT_EQ(p->GetPacketContent(first, 4), 4);  // copies no more than asked
    EXPECT_EQ(first[3], content[3]);
}

TEST_F(FramingTest, OutOfOrderBlockIsDroppedAndNextPacketStartsClean) {
    const auto content = Pattern(177, 1);
    const uint8_t sum = Sum(content);
    Feed(server, Block(kConfig, 0, 3, sum, Slice(content, 0)));
    Feed(server, Block(kConfig, 2, 3, sum, Slice(content, 2)));
    EXPECT_EQ(log.Count(L"Debug - Invalid block! index:2, previous index:0 ON VexoHIDServer"), 1u);
    EXPECT_TRUE(server.Empty(VEXO_QUEUE_ANSWER));

    // The stray packet is never completed; a new index-0 block starts afresh.
    for (int i = 0; i < 3; ++i) Feed(server, Block(kConfig, i, 3, sum, Slice(content, i)));
    auto p = Take(server, VEXO_QUEUE_ANSWER);
    ASSERT_TRUE(p);
    EXPECT_EQ(p->GetPacketSize(), 177);
    EXPECT_FALSE(Take(server, VEXO_QUEUE_ANSWER));
}

TEST_F(FramingTest, IndexBeyondCountIsDropped) {
    Feed(server, Block(kConfig, 0, 1, 0));  // completes at once (an empty packet sums to 0)
    ASSERT_TRUE(Take(server, VEXO_QUEUE_ANSWER));
    Feed(server, Block(kConfig, 0, 1, 0));
    Feed(server, Block(kConfig, 1, 1, 0));  // index 1 of a one-block packet
    EXPECT_EQ(log.Count(L"Debug - Invalid block! count:1,index:1 ON VexoHIDServer "), 1u);
    EXPECT_TRUE(Take(server, VEXO_QUEUE_ANSWER));
    EXPECT_TRUE(server.Empty(VEXO_QUEUE_ANSWER));
}

TEST_F(FramingTest, BlocksOfDifferentPacketsAreNeverJoined) {
    // Packet A loses its block 1; packet B loses its block 0. B's block 1 follows A's block 0 in
    // index order but belongs to another packet of another length.
    const auto a = Pattern(177, 5), b = Pattern(118, 40);
    Feed(server, Block(kConfig, 0, 3, Sum(a), Slice(a, 0)));
    Feed(server, Block(kConfig, 1, 2, Sum(b), Slice(b, 1)));
    EXPECT_TRUE(server.Empty(VEXO_QUEUE_ANSWER));
    EXPECT_EQ(log.CountContaining(L"Invalid block! type:16, count:2"), 1u);
    // The abandoned packet A cannot be continued either.
    Feed(server, Block(kConfig, 2, 3, Sum(a), Slice(a, 2)));
    EXPECT_TRUE(server.Empty(VEXO_QUEUE_ANSWER));
}

TEST_F(FramingTest, WrongChecksumIsLoggedAndThePacketStillQueued) {
    const auto content = Pattern(59, 77);
    Feed(server, Block(kConfig, 0, 1, uint8_t(Sum(content) + 1), content));
    EXPECT_EQ(log.Count(L"Debug - Packet checksum failed ON VexoHIDServer"), 1u);
    auto p = Take(server, VEXO_QUEUE_ANSWER);
    ASSERT_TRUE(p);
    EXPECT_EQ(p->GetPacketSize(), 59);
}

TEST_F(FramingTest, FastReplyDiscardsTouchPacketsButNotAnswers) {
    ASSERT_EQ(server.GetFastReply(), 1u);  // as constructed
    Feed(server, Block(kTouch, 0, 1, 0));
    Feed(server, Block(kConfig, 0, 1, 0));
    EXPECT_TRUE(server.Empty(VEXO_QUEUE_TOUCH));
    EXPECT_FALSE(server.Empty(VEXO_QUEUE_ANSWER));

    server.SetFastReply(0);
    Feed(server, Block(kTouch, 0, 1, 0));
    auto p = Take(server, VEXO_QUEUE_TOUCH);
    ASSERT_TRUE(p);
    EXPECT_EQ(p->GetPacketType(), kTouch);
}

TEST_F(FramingTest, ThirtyFirstAnswerEmptiesTheQueueAndStaysAlone) {
    for (int i = 0; i < 30; ++i) Feed(server, Block(uint8_t(30 + i), 0, 1, 0));
    EXPECT_EQ(log.CountContaining(L"queue filled"), 0u);
    Feed(server, Block(99, 0, 1, 0));
    EXPECT_EQ(log.Count(L"Debug - The answer packets queue filled! "), 1u);
    auto p = Take(server, VEXO_QUEUE_ANSWER);
    ASSERT_TRUE(p);
    EXPECT_EQ(p->GetPacketType(), 99);
    EXPECT_TRUE(server.Empty(VEXO_QUEUE_ANSWER));
}

TEST_F(FramingTest, TouchQueueOverflowLeavesAnswersAlone) {
    server.SetFastReply(0);
    Feed(server, Block(kConfig, 0, 1, 0));
    for (int i = 0; i < 31; ++i) Feed(server, Block(kTouch, 0, 1, 0));
    EXPECT_EQ(log.Count(L"Debug - The touch packets queue filled! "), 1u);
    EXPECT_TRUE(Take(server, VEXO_QUEUE_TOUCH));
    EXPECT_TRUE(server.Empty(VEXO_QUEUE_TOUCH));
    EXPECT_FALSE(server.Empty(VEXO_QUEUE_ANSWER));
}

TEST_F(FramingTest, ClearPacketsSelectsItsQueue) {
    server.SetFastReply(0);
    auto fill = [&] {
        Feed(server, Block(kTouch, 0, 1, 0));
        Feed(server, Block(kConfig, 0, 1, 0));
    };
    fill();
    server.ClearPackets(VEXO_CLEAR_TOUCH);
    EXPECT_TRUE(server.Empty(VEXO_QUEUE_TOUCH));
    EXPECT_FALSE(server.Empty(VEXO_QUEUE_ANSWER));
    server.ClearPackets(VEXO_CLEAR_ANSWER);
    EXPECT_TRUE(server.Empty(VEXO_QUEUE_ANSWER));
    fill();
    server.ClearPackets(VEXO_CLEAR_BOTH);
    EXPECT_TRUE(server.Empty(VEXO_QUEUE_TOUCH));
    EXPECT_TRUE(server.Empty(VEXO_QUEUE_ANSWER));
}

TEST_F(FramingTest, TimedGetPacketDiscardsOtherTypesUntilTheTimeOut) {
    Feed(server, Block(20, 0, 1, 0));  // idle notice
    Feed(server, Block(kConfig, 0, 1, 0));
    u32 found = 7;
    const auto start = std::chrono::steady_clock::now();
    VexoPacket* p = server.GetPacket(100, 18, found);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(found, 0u);
    EXPECT_TRUE(server.Empty(VEXO_QUEUE_ANSWER));  // both other answers were thrown away

    Feed(server, Block(20, 0, 1, 0));
    Feed(server, Block(18, 0, 1, 0));
    Feed(server, Block(kConfig, 0, 1, 0));
    std::unique_ptr<VexoPacket> q(server.GetPacket(1000, 18, found));
    ASSERT_TRUE(q);
    EXPECT_EQ(found, 1u);
    EXPECT_EQ(q->GetPacketType(), 18);
    EXPECT_FALSE(server.Empty(VEXO_QUEUE_ANSWER));  // the answer behind it stays queued
}

TEST_F(FramingTest, TimedGetPacketWakesForAnAnswerArrivingLater) {
    std::thread producer([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        Feed(server, Block(20, 0, 1, 0));
        Feed(server, Block(18, 0, 1, 0));
    });
    u32 found = 0;
    std::unique_ptr<VexoPacket> p(server.GetPacket(8000, 18, found));
    producer.join();
    ASSERT_TRUE(p);
    EXPECT_EQ(found, 1u);
}

TEST_F(FramingTest, ArbitraryReportsNeverYieldMalformedPackets) {
    // Whatever a device sends, a packet is whole blocks of one packet's count, and no queue grows
    // past its capacity.
    std::mt19937 rng(12345);
    server.SetFastReply(0);
    std::vector<uint8_t> report(64);
    size_t packets = 0;
    for (int i = 0; i < 20000; ++i) {
        for (auto& b : report) b = uint8_t(rng());
        // Mostly plausible headers, so that many packets complete.
        if (rng() % 4) report[1] = rng() % 2 ? kTouch : kConfig;
        if (rng() % 2) report[2] = uint8_t((rng() % 4) << 4 | (1 + rng() % 3));
        Feed(server, report);
        if (i % 50 == 0) {
            for (u32 q : {VEXO_QUEUE_TOUCH, VEXO_QUEUE_ANSWER}) {
                int n = 0;
                while (auto p = Take(server, q)) {
                    ++n;
                    ++packets;
                    EXPECT_EQ(p->GetPacketSize() % 59, 0);
                    EXPECT_GE(p->GetPacketSize(), 59);
                    EXPECT_LE(p->GetPacketSize(), 15 * 59);
                    EXPECT_EQ(p->GetPacketType() == kTouch, q == VEXO_QUEUE_TOUCH);
                }
                EXPECT_LE(n, 30);
            }
        }
    }
    EXPECT_GT(packets, 500u);  // the stream did exercise completion
}

TEST(VexoPacketTest, CopiesAreDeep) {
    const uint8_t bytes[] = {1, 2, 3};
    VexoPacket a(bytes, 3, 16, 2);
    VexoPacket b;
    EXPECT_EQ(b.GetPacketContent(nullptr, 10), 0);
    uint8_t none[1];
    EXPECT_EQ(b.GetPacketContent(none, 1), 0);
    b = a;
    a = VexoPacket();
    uint8_t out[8] = {};
    EXPECT_EQ(b.GetPacketContent(out, 8), 3);
    EXPECT_EQ(out[2], 3);
    EXPECT_EQ(b.GetPacketType(), 16);
    EXPECT_EQ(b.GetPacketState(), 2);
}

}  // namespace
