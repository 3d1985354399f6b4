// The "OstrelRPC" handler against an emulated frame behind the real packet server: service
// commands, forwarding and every refusal with its log line.
#include <gtest/gtest.h>

#include "MTouch/MTMain.h"
#include "MTouch/MTRpc.h"
#include "VexoXmlSettings/VexoConfig.h"
#include "RpcTestSupport.h"
#include "VirtualFrame/FirmwareEmulator.h"
#include "VirtualFrame/FrameSocketServer.h"
#include "device-link/TestSupport.h"

using namespace VexoSource;
using namespace VirtualFrame;
using namespace rpc_test;
using devlink_test::LogCapture;
using devlink_test::TempDir;
using devlink_test::WaitFor;

namespace {

constexpr i32 kCapacity = 2028;

class RpcHandler : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s = new Shared;
        ASSERT_TRUE(s->frame.Start());
        ASSERT_EQ(s->server.Bind("virtual:" + s->frame.Path()), 1u);
        ASSERT_TRUE(WaitFor([] { return s->frame.ClientCount() == 1; }));
        const FrameDescription d = s->emu.Description();
        id = RPCRequestGetId(d.identity, sizeof d.identity);
        RPCRequestAddServer(id, &s->server);
    }
    static void TearDownTestSuite() {
        RPCRequestRemoveServer(id);
        delete s;
    }
    void SetUp() override {
        s->server.SetMultiAccess(0);
        s->server.SetCfgEvent(nullptr);
        std::memset(reply, 0xAA, sizeof reply);  // as a previous reply would have left it
    }
    i32 Handle(const Bytes& body) {
        return RPCRequestHandle(body.data(), i32(body.size()), reply, kCapacity, "OstrelRPC",
                                nullptr);
    }

    struct Shared {
        TempDir dir;
        FirmwareEmulator emu;
        FrameSocketServer frame{emu, dir.Path() + "/frame0.sock"};
        VexoHIDServer server;
    };
    static Shared* s;
    static u32 id;
    LogCapture log;
    u8 reply[kCapacity];
};

RpcHandler::Shared* RpcHandler::s;
u32 RpcHandler::id;

}  // namespace

TEST_F(RpcHandler, RefusalsReplyZeroWithTheirLogLines) {
    EXPECT_EQ(Handle(Bytes(11, 0)), 0);
    EXPECT_EQ(log.Count(L"Exception - Invalid input packet"), 1u);
    EXPECT_EQ(Handle(Request(5, id + 1, 1)), 0);
    EXPECT_EQ(log.Count(L"Exception - The server not existed " + std::to_wstring(id + 1)), 1u);
    EXPECT_EQ(Handle(Request(5, id, kCapacity + 1)), 0);
    EXPECT_EQ(log.Count(L"Exception - Expected output too big"), 1u);
    EXPECT_EQ(Handle(Request(PACKET_IDEN_READ_CONFIG, id, 38)), 0);
    EXPECT_EQ(log.Count(L"Debug - Multi-access was locked"), 1u);

    s->server.SetMultiAccess(1);
    const u64 before = s->emu.RequestCount(PACKET_IDEN_READ_CONFIG);
    EXPECT_EQ(Handle(Request(PACKET_IDEN_READ_CONFIG, id, 38, Bytes(60, 1))), 0);
    EXPECT_EQ(log.Count(L"Exception - Forwarded payload too long 60"), 1u);
    // 256 + 16 must not reach the frame as request 16.
    EXPECT_EQ(Handle(Request(256 + PACKET_IDEN_READ_CONFIG, id, 38)), 0);
    EXPECT_EQ(s->emu.RequestCount(PACKET_IDEN_READ_CONFIG), before);
}

TEST_F(RpcHandler, ServiceCommandsAnswerFromTheTable) {
    // No device in the service's table: the list is the lone NUL.
    EXPECT_EQ(Handle(Request(1, 0, 0)), 1);
    EXPECT_EQ(reply[0], 0);

    EXPECT_EQ(Handle(Request(5, id, 4)), 4);
    EXPECT_EQ(Bytes(reply, reply + 4), Bytes(4, 0));
    s->server.SetMultiAccess(1);
    EXPECT_EQ(Handle(Request(5, id, 1)), 1);
    EXPECT_EQ(reply[0], 1);

    EXPECT_EQ(Handle(Request(6, id, 2)), 2);  // no event handed over yet: left alone
    VexoHandle event = VexoEvtCreate(0, nullptr, 0);
    s->server.SetCfgEvent(event);
    EXPECT_EQ(Handle(Request(6, id, 3)), 3);
    EXPECT_EQ(Bytes(reply, reply + 3), Bytes(3, 0));
    EXPECT_EQ(VexoWaitObjectWithTimed(event, 2000), 1u);
    EXPECT_EQ(log.Count(L"Debug - Setting cfg-event"), 2u);
    s->server.SetCfgEvent(nullptr);
    VexoCloseHandle(event);
}

TEST_F(RpcHandler, ForwardedRequestsReturnTheFramesAnswer) {
    s->server.SetMultiAccess(1);
    ASSERT_EQ(Handle(Request(PACKET_IDEN_READ_CONFIG, id, 38)), 38);
    OrdoConfig config;
    std::memcpy(&config, reply, sizeof config);
    EXPECT_EQ(OrdoIdentityHex(config.identity), OrdoIdentityHex(s->emu.Description().identity));

    // A request with a payload: the NVM item the frame is asked for comes back.
    NVMPacket nvm;
    NVMFillPacket(nullptr, 0, NVM_ITEM_SOLUTION, &nvm);
    const Bytes payload(reinterpret_cast<u8*>(&nvm), reinterpret_cast<u8*>(&nvm) + sizeof nvm);
    ASSERT_EQ(Handle(Request(PACKET_IDEN_GET_NVM_ITEM, id, sizeof nvm, payload)),
              i32(sizeof nvm));
    std::memcpy(&nvm, reply, sizeof nvm);
    EXPECT_EQ(nvm.DataWord(1), s->emu.Description().solutionWidth);
    EXPECT_EQ(log.CountContaining(L"Exception"), 0u);
}

// The service's own port: this test program runs in a private network namespace.
TEST(RpcListenAddress, LoopbackUnlessTheSettingsNameAnotherAddress) {
    struct Row {
        const char* setting;  // null: no configuration object at all
        const char* reachable;
        const char* refused;
    };
    const Row rows[] = {{nullptr, "127.0.0.1", "127.0.0.2"},
                        {"", "127.0.0.1", "127.0.0.2"},
                        {"127.0.0.2", "127.0.0.2", "127.0.0.1"},
                        {"not an address", "127.0.0.1", "127.0.0.2"}};
    TempDir dir;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.setting ? row.setting : "(no configuration)");
        std::unique_ptr<VexoConfigOnXML> cfg;
        if (row.setting) {
            cfg = std::make_unique<VexoConfigOnXML>(dir.Path() + "/System.xml");
            if (*row.setting) cfg->SetValue(MT_RPC_ADDRESS_TAG, VexoXString(row.setting));
        }
        g_appCfg = cfg.get();
        ASSERT_EQ(RPCRequestInit(), 1);
        g_appCfg = nullptr;
        EXPECT_TRUE(RawPeer(int(MT_RPC_PORT), row.reachable).Connected());
        EXPECT_FALSE(RawPeer(int(MT_RPC_PORT), row.refused).Connected());
        RPCRequestRelease();
    }
}

TEST_F(RpcHandler, ADepartingFrameLeavesTheEntryThatReplacedIt) {
    // Another frame whose identity bytes have the same sum took the entry over.
    VexoHIDServer other;
    other.SetMultiAccess(1);
    RPCRequestAddServer(id, &other);
    RPCRequestRemoveServer(id, &s->server);
    EXPECT_EQ(Handle(Request(5, id, 1)), 1);
    EXPECT_EQ(reply[0], 1);  // other's flag: s->server's is off
    EXPECT_EQ(log.Count(L"Debug - Remove RPC Server " + std::to_wstring(id)), 0u);

    RPCRequestRemoveServer(id, &other);
    EXPECT_EQ(log.Count(L"Debug - Remove RPC Server " + std::to_wstring(id)), 1u);
    EXPECT_EQ(Handle(Request(5, id, 1)), 0);
    RPCRequestAddServer(id, &s->server);
}
