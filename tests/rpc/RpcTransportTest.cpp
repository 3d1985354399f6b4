// The RPC layer over real sockets: dispatch by name, reply framing, message boundaries, client
// removal and calls from the client side.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <utility>

#include "RpcTestSupport.h"
#include "VexoNetwork/VexoRPC.h"
#include "device-link/TestSupport.h"

using namespace VexoSource;
using namespace rpc_test;
using devlink_test::LogCapture;
using devlink_test::WaitFor;

namespace {

// Echoes the request body back, or replies with the length its first byte asks for.
struct Recorder {
    std::atomic<int> calls{0};
    std::atomic<int> lastLength{-1};
    std::atomic<u32> removed{0xFFFFFFFF};
};

i32 Echo(const u8* body, i32 length, u8* reply, i32 capacity, const char*, void* context) {
    auto* r = static_cast<Recorder*>(context);
    ++r->calls;
    r->lastLength = length;
    if (length > capacity) return capacity + 1;  // too long: must not be sent
    std::memcpy(reply, body, std::size_t(length));
    return length;
}

i32 Empty(const u8*, i32, u8*, i32, const char*, void*) { return 0; }

i32 Removed(const u8* body, i32 length, u8* reply, i32, const char* name, void* context) {
    if (length == 4 && !reply && std::string(name) == "ClientRemoved") {
        u32 id;
        std::memcpy(&id, body, 4);
        static_cast<Recorder*>(context)->removed = id;
    }
    return 0;
}

class RpcTransport : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(rpc.Register(0, "Echo", Echo, &rec), 0);
        ASSERT_EQ(rpc.Register(1, "Empty", Empty, nullptr), 1);
        ASSERT_EQ(rpc.Register(VexoRPC::kClientRemovedSlot, "", Removed, &rec), 15);
        ASSERT_EQ(rpc.Register(20, "Nope", Empty, nullptr), -1);
        ASSERT_EQ(rpc.CreateServer(0), 1u);
        ASSERT_EQ(rpc.CreateServer(0), 0u);  // one server per object
    }
    LogCapture log;
    Recorder rec;
    VexoRPC rpc;
};

Bytes Body(std::size_t n) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = u8(i * 7 + 1);
    return b;
}

}  // namespace

TEST_F(RpcTransport, RepliesCarryTheNameKindTwoAndTheHandlersBytes) {
    RawPeer peer(rpc.GetPort());
    ASSERT_TRUE(peer.Connected());

    ASSERT_TRUE(peer.Send(Message("Unknown", 1, Body(8))));   // no such procedure
    ASSERT_TRUE(peer.Send(Message("Echo", 1)));                  // exactly 20 bytes
    EXPECT_EQ(peer.Read(20), Message("Echo", 2));
    EXPECT_EQ(rec.lastLength, 0);

    ASSERT_TRUE(peer.Send(Message("Empty", 1, Body(30))));
    EXPECT_EQ(peer.Read(20), Message("Empty", 2));

    const Bytes full = Message("Echo", 1, Body(VexoRPC::kMaxBodyBytes));  // 2048 bytes
    ASSERT_EQ(full.size(), 2048u);
    ASSERT_TRUE(peer.Send(full));
    EXPECT_EQ(peer.Read(2048), Message("Echo", 2, Body(VexoRPC::kMaxBodyBytes)));

    // Sixteen name bytes without a NUL match nothing, not even a name they begin with.
    ASSERT_TRUE(peer.Send(Message("EchoEchoEchoEcho", 1, Body(4))));
    EXPECT_TRUE(peer.Quiet());
    EXPECT_EQ(rec.calls, 2);
}

// The larger pair overruns one read's 2048 bytes: the second message must still arrive whole.
TEST_F(RpcTransport, TwoMessagesInOneWriteGetTwoWholeReplies) {
    const std::pair<std::size_t, std::size_t> rows[] = {{5, 9}, {1500, 1400}};
    for (const auto& [first, second] : rows) {
        SCOPED_TRACE(std::to_string(first) + " + " + std::to_string(second));
        RawPeer peer(rpc.GetPort());
        Bytes both = Message("Echo", 1, Body(first));
        const Bytes next = Message("Echo", 1, Body(second));
        both.insert(both.end(), next.begin(), next.end());
        ASSERT_TRUE(peer.Send(both));
        Bytes expected = Message("Echo", 2, Body(first));
        const Bytes nextReply = Message("Echo", 2, Body(second));
        expected.insert(expected.end(), nextReply.begin(), nextReply.end());
        EXPECT_EQ(peer.Read(expected.size()), expected);
        EXPECT_TRUE(peer.Quiet());
    }
    EXPECT_EQ(rec.calls, 4);
}

TEST_F(RpcTransport, AHeaderSplitOverTwoWritesIsJoined) {
    RawPeer peer(rpc.GetPort());
    const Bytes m = Message("Echo", 1, Body(3));
    ASSERT_TRUE(peer.Send(Bytes(m.begin(), m.begin() + 10)));
    ASSERT_TRUE(WaitFor([&] { return log.CountContaining(L"connected on port") == 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // let the fragment be read alone
    ASSERT_TRUE(peer.Send(Bytes(m.begin() + 10, m.end())));
    EXPECT_EQ(peer.Read(23), Message("Echo", 2, Body(3)));
    EXPECT_TRUE(peer.Quiet());
}

TEST_F(RpcTransport, ADepartedClientIsReportedAndRemoved) {
    {
        RawPeer peer(rpc.GetPort());
        ASSERT_TRUE(peer.Send(Message("Echo", 1)));
        ASSERT_EQ(peer.Read(20).size(), 20u);
    }
    EXPECT_TRUE(WaitFor([&] { return log.Count(L"Information - Client removed 0") == 1; }));
    EXPECT_TRUE(WaitFor([&] { return rec.removed == 0u; }));
    RawPeer next(rpc.GetPort());  // the server carries on
    ASSERT_TRUE(next.Send(Message("Echo", 1, Body(2))));
    EXPECT_EQ(next.Read(22), Message("Echo", 2, Body(2)));
}

TEST_F(RpcTransport, ClientModeCallsGetTheResponseBody) {
    VexoRPC client;
    ASSERT_EQ(client.CreateClient("127.0.0.1", rpc.GetPort()), 1u);
    u8 answer[VexoRPC::kMaxBodyBytes];
    const Bytes body = Body(100);
    EXPECT_EQ(client.Call("Echo", body.data(), 100, answer, sizeof answer), 100);
    EXPECT_EQ(Bytes(answer, answer + 100), body);
    EXPECT_EQ(client.Call("Empty", body.data(), 10, answer, sizeof answer), 0);
    EXPECT_EQ(client.Call("Echo", body.data(), VexoRPC::kMaxBodyBytes + 1, answer, 10), -1);
    // An answer that does not fit the caller's buffer counts as none.
    EXPECT_EQ(client.Call("Echo", body.data(), 100, answer, 50), -1);
    EXPECT_EQ(client.Call("Unknown", body.data(), 4, answer, sizeof answer), -1);
    EXPECT_EQ(log.Count(L"Exception - RPC Unknown failed"), 1u);
    EXPECT_EQ(log.CountContaining(L"RPC Echo failed"), 0u);
}

TEST(RpcServerAddress, ListensOnLoopbackOnlyByDefault) {
    VexoRPC rpc;
    ASSERT_EQ(rpc.CreateServer(0), 1u);
    // Any address of this machine other than 127.0.0.1 must be refused.
    RawPeer loop(rpc.GetPort());
    EXPECT_TRUE(loop.Connected());
    RawPeer other(rpc.GetPort(), "127.0.0.2");
    EXPECT_FALSE(other.Connected());
}
