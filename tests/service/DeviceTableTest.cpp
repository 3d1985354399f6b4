// The device table is changed by the main loop while the RPC thread lists it: the whole service
// loop runs in this process against frames that are pulled out and plugged back, and a reader
// lists the devices the way the RPC command does, as fast as it can. Every listing must be a
// whole table: known identities only, each once. Under ThreadSanitizer an unguarded table is
// reported as a race even when no listing happens to come out torn.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "../rpc/RpcTestSupport.h"
#include "MTouch/MTMain.h"
#include "MTouch/MTProtocol.h"
#include "MTouch/MTRpc.h"
#include "VexoSync/VexoSyncobj.h"
#include "VirtualFrame/FirmwareEmulator.h"
#include "VirtualFrame/FrameModel.h"
#include "VirtualFrame/FrameSocketServer.h"
#include "device-link/TestSupport.h"

using namespace VexoSource;
using devlink_test::TempDir;
using devlink_test::WaitFor;

namespace {

constexpr int kFrames = 3;

struct PluggableFrame {
    explicit PluggableFrame(const std::string& dir, int n)
        : emulator(Described(n)), path(dir + "/frame" + std::to_string(n) + ".sock"),
          id(OrdoIdentityHex(emulator.Description().identity)) {}
    static VirtualFrame::FrameDescription Described(int n) {
        VirtualFrame::FrameDescription d = VirtualFrame::defaultFrameModel().firmware;
        d.identity[7] = uint8_t(0x60 + n);
        return d;
    }
    void Plug() {
        server = std::make_unique<VirtualFrame::FrameSocketServer>(emulator, path);
        ASSERT_TRUE(server->Start()) << server->Error();
    }
    void Unplug() { server.reset(); }

    VirtualFrame::FirmwareEmulator emulator;
    std::string path, id;
    std::unique_ptr<VirtualFrame::FrameSocketServer> server;
};

bool Listed(const std::string& id) {
    for (const std::string& listed : MTDeviceIdList())
        if (listed == id) return true;
    return false;
}

// "id:id:...:" then NUL, as the RPC command answers; false when it is not made of known ids.
bool WholeTable(const u8* reply, i32 length, const std::set<std::string>& known, size_t& entries) {
    if (length < 1 || reply[length - 1] != 0) return false;
    const std::string text(reinterpret_cast<const char*>(reply), size_t(length - 1));
    std::set<std::string> seen;
    size_t from = 0;
    while (from < text.size()) {
        const size_t colon = text.find(':', from);
        if (colon == std::string::npos) return false;
        const std::string id = text.substr(from, colon - from);
        if (!known.count(id) || !seen.insert(id).second) return false;
        from = colon + 1;
    }
    entries = seen.size();
    return true;
}

}  // namespace

TEST(DeviceTable, ListingsRacingHotPlugAlwaysSeeAWholeTable) {
    TempDir dir;
    char previous[4096];
    ASSERT_NE(getcwd(previous, sizeof previous), nullptr);
    ASSERT_EQ(chdir(dir.Path().c_str()), 0);
    setenv("ORDALO_VIRTUAL_DIR", dir.Path().c_str(), 1);

    std::vector<std::unique_ptr<PluggableFrame>> frames;
    std::set<std::string> known;
    for (int n = 0; n < kFrames; ++n) {
        frames.push_back(std::make_unique<PluggableFrame>(dir.Path(), n));
        known.insert(frames.back()->id);
        frames.back()->Plug();
    }
    ASSERT_EQ(MTInitial(), 1u);
    std::thread mainLoop(&MTMain);

    std::atomic<bool> reading{true};
    std::atomic<long> listings{0}, torn{0};
    std::atomic<size_t> largest{0};
    std::thread reader([&] {
        const rpc_test::Bytes body = rpc_test::Request(1, 0, 0);
        std::vector<u8> reply(2028);
        while (reading) {
            const i32 n = RPCRequestHandle(body.data(), i32(body.size()), reply.data(),
                                           i32(reply.size()), "OstrelRPC", nullptr);
            size_t entries = 0;
            if (!WholeTable(reply.data(), n, known, entries)) ++torn;
            if (entries > largest) largest = entries;
            ++listings;
            // Often enough to land inside every change, without starving the loop it races.
            std::this_thread::sleep_for(std::chrono::microseconds(50));
        }
    });

    const auto allListed = [&] {
        for (const auto& f : frames)
            if (!Listed(f->id)) return false;
        return true;
    };
    EXPECT_TRUE(WaitFor(allListed, std::chrono::milliseconds(20000)));
    // Each frame leaves the table and comes back in turn.
    for (int cycle = 0; cycle < kFrames; ++cycle) {
        PluggableFrame& f = *frames[cycle % kFrames];
        f.Unplug();
        EXPECT_TRUE(WaitFor([&] { return !Listed(f.id); }, std::chrono::milliseconds(20000)));
        f.Plug();
        EXPECT_TRUE(WaitFor([&] { return Listed(f.id); }, std::chrono::milliseconds(20000)));
    }

    reading = false;
    reader.join();
    VexoEvtNotify(g_stopEvt);
    mainLoop.join();
    MTReset();
    unsetenv("ORDALO_VIRTUAL_DIR");
    ASSERT_EQ(chdir(previous), 0);

    EXPECT_GT(listings.load(), 100);
    EXPECT_EQ(torn.load(), 0);
    EXPECT_EQ(largest.load(), size_t(kFrames));
}
