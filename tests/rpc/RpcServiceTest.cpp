// End to end: the built OrdaloService with two virtual frames, driven through ordalo-rpc. Runs
// in a private network namespace (fixed ports). Frame 0 is healthy; frame 1 reports itself
// unconfigured, so its bring-up never completes (it restarts every 5 s) and requests for it
// stay locked.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>

#include "common/ChildProcess.h"
#include "device-link/TestSupport.h"
#include "rpc/RpcTestSupport.h"

using ordalo_test::ChildProcess;
using ordalo_test::ReadWholeFile;
using devlink_test::TempDir;
using devlink_test::WaitFor;
using std::chrono::milliseconds;

namespace {

const std::string kId0 = "4F5244414C4F0A01";
const std::string kId1 = "4F5244414C4F0B02";

unsigned RpcId(const std::string& hex) {
    unsigned sum = 0;
    for (std::size_t i = 0; i < hex.size(); i += 2) sum += std::stoul(hex.substr(i, 2), nullptr, 16);
    return sum;
}

struct RpcResult {
    int status;
    std::string out;
};

class RpcService : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir = new TempDir;
        ASSERT_EQ(::chdir(dir->Path().c_str()), 0);  // Data/System.xml lands here
        ::setenv("ORDALO_VIRTUAL_DIR", (dir->Path() + "/vf").c_str(), 1);
        ::setenv("ORDALO_LOG", "stderr", 1);
        ::setenv("ORDALO_LOG_LEVEL", "0", 1);
        frame0 = new ChildProcess({ORDALO_VIRTUAL_FRAME_BIN, "--dir", "vf", "--name", "frame0",
                                   "--id", kId0},
                                  dir->Path() + "/frame0.log");
        service = new ChildProcess({ORDALO_SERVICE_BIN}, dir->Path() + "/service.log");
        // The second frame only once the first is in the table, so the order is known.
        ASSERT_TRUE(WaitFor([] { return Log().find("Add RPC Server") != std::string::npos; },
                            milliseconds(20000)))
            << Log();
        frame1 = new ChildProcess({ORDALO_VIRTUAL_FRAME_BIN, "--dir", "vf", "--name", "frame1",
                                   "--id", kId1, "--unconfigured"},
                                  dir->Path() + "/frame1.log");
        ASSERT_TRUE(WaitFor([] { return Rpc({"list"}).out.find("length 35") != std::string::npos; },
                            milliseconds(30000)));
    }
    static void TearDownTestSuite() {
        delete service;
        delete frame1;
        delete frame0;
        ASSERT_EQ(::chdir("/"), 0);
        delete dir;
    }
    static std::string Log() { return ReadWholeFile(dir->Path() + "/service.log"); }
    static std::size_t LogCount(const std::string& text) {
        const std::string log = Log();
        std::size_t n = 0;
        for (std::size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++n;
        return n;
    }
    static RpcResult Rpc(std::vector<std::string> args) {
        args.insert(args.begin(), ORDALO_RPC_BIN);
        const std::string out = dir->Path() + "/rpc.out";
        ChildProcess rpc(args, out);
        const int status = rpc.Wait(milliseconds(20000));
        return {status, ReadWholeFile(out)};
    }

    static TempDir* dir;
    static ChildProcess* frame0;
    static ChildProcess* frame1;
    static ChildProcess* service;
};

TempDir* RpcService::dir;
ChildProcess* RpcService::frame0;
ChildProcess* RpcService::frame1;
ChildProcess* RpcService::service;

}  // namespace

TEST_F(RpcService, ListsBothFramesInOrderAndRefusesTooSmallARoom) {
    const RpcResult all = Rpc({"list"});
    EXPECT_EQ(all.status, 0);
    EXPECT_EQ(all.out, "length 35\ndevice " + kId0 + "\ndevice " + kId1 + "\nhex " +
                           [] {
                               std::string hex;
                               char b[3];
                               for (char c : kId0 + ":" + kId1 + ":") {
                                   std::snprintf(b, sizeof b, "%02x", unsigned(c));
                                   hex += b;
                               }
                               return hex + "00\n";
                           }());
    EXPECT_EQ(Rpc({"list", "16"}).out, "length 0\nhex \n");  // not even one identity and colon
    EXPECT_EQ(Rpc({"list", "34"}).out, "length 0\nhex \n");  // no room for the NUL
}

TEST_F(RpcService, ForwardsToAReadyFrameAndLocksOneInBringUp) {
    ASSERT_TRUE(WaitFor([] {
        return Rpc({"multi-access", std::to_string(RpcId(kId0))}).out.find("multi-access 1") !=
               std::string::npos;
    }, milliseconds(30000)));
    const RpcResult config = Rpc({"send", std::to_string(RpcId(kId0)), "16", "38"});
    EXPECT_EQ(config.status, 0);
    ASSERT_EQ(config.out.rfind("length 38\nhex ", 0), 0u) << config.out;
    // The record's bytes 2..9 are the frame's identity.
    std::string id = config.out.substr(std::string("length 38\nhex ").size() + 4, 16);
    for (char& c : id) c = char(std::toupper(c));
    EXPECT_EQ(id, kId0);

    EXPECT_EQ(Rpc({"send", std::to_string(RpcId(kId1)), "16", "38"}).out, "length 0\nhex \n");
    EXPECT_TRUE(WaitFor([] { return LogCount("Debug - Multi-access was locked") >= 1; }));

    EXPECT_EQ(Rpc({"send", "12345", "16", "38"}).out, "length 0\nhex \n");
    EXPECT_TRUE(WaitFor([] { return LogCount("Exception - The server not existed 12345") == 1; }));
}

TEST_F(RpcService, ConfigurationChangeRedoesTheBringUp) {
    const std::size_t before = LogCount("Device Configuration Changed");
    const std::size_t modes = LogCount("Setting cfg-event");
    EXPECT_EQ(Rpc({"config-changed", std::to_string(RpcId(kId0))}).out, "length 1\nhex 00\n");
    EXPECT_TRUE(WaitFor([&] { return LogCount("Device Configuration Changed") == before + 1; },
                        milliseconds(20000)))
        << Log();
    EXPECT_EQ(LogCount("Setting cfg-event"), modes + 1);
    // The bring-up runs again and ends with requests allowed once more.
    EXPECT_TRUE(WaitFor([] {
        return Rpc({"multi-access", std::to_string(RpcId(kId0))}).out.find("multi-access 1") !=
               std::string::npos;
    }, milliseconds(30000)));
}

TEST_F(RpcService, NotReachableOnANonLoopbackAddress) {
    // A second address of this (private) network namespace.
    if (std::system("ip addr add 10.254.0.1/32 dev lo 2>/dev/null") != 0)
        GTEST_SKIP() << "cannot add an address";
    rpc_test::RawPeer outside(28875, "10.254.0.1");
    EXPECT_FALSE(outside.Connected());
    rpc_test::RawPeer inside(28875);
    EXPECT_TRUE(inside.Connected());
    EXPECT_NE(Rpc({"--host", "10.254.0.1", "list"}).status, 0);
}
