// The body of an "OstrelRPC" request, as the configuration tool's peer may send it, handled by
// RPCRequestHandle against a device table of 0..3 listed frames and an RPC table holding an
// emulated frame behind the real packet server (and an entry without a server).
//
// Input: byte 0 sets the scene, the rest is the request body (at most 2028 bytes):
//   bit 0 the frame's multi-access, bit 1 its configuration event present,
//   bits 2..3 the target: 0 the frame, 1 the entry without a server, 2 an unknown one, 3 as
//   written in the body; bits 4..5 how many frames the device table lists.
// Every reply is checked against what the request asks for: its length within the capacity,
// the device list exactly "id:...:" and NUL (or 0 when it does not fit), the multi-access flag
// and the configuration event for commands 5 and 6, zeros where nothing is written, refusals as
// 0, and a forwarded request answered with the frame's own answer bytes.
//
// The frame is an emulator: nothing a request asks of it (a mode, a reboot, a write of
// non-volatile items) reaches hardware or a file. Forwarding is only left open for requests the
// frame answers in full (its answers are known here); any other would just sit out the 4 s
// time-out, which the unit tests cover, and is refused as "multi-access locked" instead.
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "MTouch/MTMain.h"
#include "MTouch/MTProtocol.h"
#include "MTouch/MTRpc.h"
#include "VexoLog/VexoLog.h"
#include "VexoSync/VexoSyncobj.h"
#include "VirtualFrame/FirmwareEmulator.h"
#include "VirtualFrame/FrameSocketServer.h"

using namespace VexoSource;

namespace {

constexpr i32 kCapacity = 2028;

void Check(bool ok) {
    if (!ok) std::abort();
}

u32 ReadLe32(const u8* p) {
    return u32(p[0]) | (u32(p[1]) << 8) | (u32(p[2]) << 16) | (u32(p[3]) << 24);
}

struct Scene {
    std::string dir;
    std::unique_ptr<VirtualFrame::FirmwareEmulator> emu;
    std::unique_ptr<VirtualFrame::FrameSocketServer> frame;
    VexoHIDServer server;
    VexoHandle cfgEvent = nullptr;
    u32 id = 0;
    std::vector<MTDevice*> listed;  // live for the process, as the device table's are
    std::vector<u8> answer[256];    // the frame's answer to each identifier; empty: none
};
Scene* g_scene;

VirtualFrame::FrameDescription Described() {
    VirtualFrame::FrameDescription d;
    for (int id = 0; id < 256; ++id) {
        std::vector<u8> content(ORDO_MAX_PACKET_CONTENT);
        for (std::size_t i = 0; i < content.size(); ++i) content[i] = u8(id * 7 + i);
        d.customAnswers[u8(id)] = content;
    }
    return d;
}

// How many bytes the frame answers to `command` with; -1 when it never answers in full.
long AnswerBytes(u32 command) {
    switch (command) {
        case PACKET_IDEN_READ_CONFIG: return sizeof(OrdoConfig);
        case PACKET_IDEN_QUERY_INFO: return sizeof(OrdoQueryInfo);
        case PACKET_IDEN_SET_MODE: return 1;
        case PACKET_IDEN_GET_CALIBRATION: return sizeof(OrdoCalib);
        case PACKET_IDEN_GET_EFFECTS: return sizeof(OrdoEffs);
        case PACKET_IDEN_GET_SOFTWARE_MODE_INFO: return sizeof(OrdoSfwInfo);
        case PACKET_IDEN_WAKE_UP: return 1;
        case PACKET_IDEN_GET_NVM_ITEM: return sizeof(NVMPacket);
        // Not answered at all, or answered on the touch queue.
        case PACKET_IDEN_WATCHDOG_ENABLE:
        case PACKET_IDEN_FEED_WATCHDOG:
        case PACKET_IDEN_TOUCH_DATA: return -1;
        default: return command <= 0xFF ? long(ORDO_MAX_PACKET_CONTENT) : -1;
    }
}

bool Zero(const u8* p, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i)
        if (p[i]) return false;
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    VexoLogInit(VexoELogLevel::Debug, VEXO_LOG_NO_TIMESTAMP, L"");
    VexoLogSetSink([](const std::wstring&) {});
    g_scene = new Scene;
    Scene& s = *g_scene;
    char templ[] = "/tmp/ordalo-fuzz-rpc-XXXXXX";
    Check(::mkdtemp(templ) != nullptr);
    s.dir = templ;
    s.emu = std::make_unique<VirtualFrame::FirmwareEmulator>(Described());
    const std::string path = s.dir + "/frame0.sock";
    s.frame = std::make_unique<VirtualFrame::FrameSocketServer>(*s.emu, path);
    Check(s.frame->Start());
    Check(s.server.Bind("virtual:" + path) == 1);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (s.frame->ClientCount() != 1) {
        Check(std::chrono::steady_clock::now() < deadline);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    std::atexit([] {
        const std::string socket = g_scene->dir + "/frame0.sock";
        ::unlink(socket.c_str());
        ::rmdir(g_scene->dir.c_str());
    });
    const VirtualFrame::FrameDescription d = s.emu->Description();
    s.id = RPCRequestGetId(d.identity, sizeof d.identity);
    RPCRequestAddServer(s.id, &s.server);
    RPCRequestAddServer(s.id + 1, nullptr);
    s.cfgEvent = VexoEvtCreate(0, nullptr, 0);
    for (int i = 0; i < 3; ++i) {
        MTDevice* device = new MTDevice;
        device->nm_deviceId = std::string(15, "0123"[i]) + char('A' + i);
        s.listed.push_back(device);
    }
    for (int id = 0; id < 256; ++id) {
        const auto custom = d.customAnswers.find(u8(id));
        if (custom != d.customAnswers.end()) s.answer[id] = custom->second;
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    Scene& s = *g_scene;
    const u8 scene = data[0];
    std::vector<u8> body(data + 1, data + std::min<size_t>(size, 1 + kCapacity));
    const int targetMode = (scene >> 2) & 3;
    const u32 targets[3] = {s.id, s.id + 1, s.id + 2};
    if (targetMode < 3 && body.size() >= 8)
        for (int i = 0; i < 4; ++i) body[4 + i] = u8(targets[targetMode] >> (8 * i));

    const bool valid = body.size() >= std::size_t(MT_RPC_REQUEST_HEAD);
    const u32 command = valid ? ReadLe32(body.data()) : 0;
    const u32 target = valid ? ReadLe32(body.data() + 4) : 0;
    const u32 expected = valid ? ReadLe32(body.data() + 8) : 0;
    const long payload = long(body.size()) - MT_RPC_REQUEST_HEAD;
    const bool forwarded = command != RPC_CMD_LIST_DEVICES && command != RPC_CMD_GET_MULTI_ACCESS &&
                           command != RPC_CMD_CONFIG_CHANGED;
    const long answerBytes = AnswerBytes(command);
    bool multi = scene & 1;
    if (forwarded && (answerBytes < 0 || long(expected) > answerBytes)) multi = false;
    s.server.SetMultiAccess(multi ? 1 : 0);
    s.server.SetCfgEvent((scene & 2) ? s.cfgEvent : nullptr);
    VexoEvtReset(s.cfgEvent);
    const std::size_t listed = (scene >> 4) & 3;
    g_devsContext.assign(s.listed.begin(), s.listed.begin() + long(listed));

    // Exactly the capacity, so a write past it shows; filled as an earlier reply would leave it.
    std::unique_ptr<u8[]> reply(new u8[kCapacity]);
    std::memset(reply.get(), 0xAA, kCapacity);
    const i32 n = RPCRequestHandle(body.empty() ? nullptr : body.data(), i32(body.size()),
                                   reply.get(), kCapacity, MT_RPC_NAME, nullptr);
    g_devsContext.clear();

    Check(n >= 0 && n <= kCapacity);
    if (!valid) {
        Check(n == 0);
        return 0;
    }
    if (command == RPC_CMD_LIST_DEVICES) {
        std::string list;
        for (std::size_t i = 0; i < listed; ++i) list += s.listed[i]->nm_deviceId + ":";
        list.push_back('\0');
        const u32 room = expected ? std::min<u32>(expected, kCapacity) : u32(kCapacity);
        if (list.size() <= room) {
            Check(n == i32(list.size()) && std::memcmp(reply.get(), list.data(), list.size()) == 0);
        } else {
            Check(n == 0);
        }
        return 0;
    }
    if (target != s.id || expected > u32(kCapacity)) {
        Check(n == 0);
        return 0;
    }
    if (command == RPC_CMD_CONFIG_CHANGED) {
        Check(n == i32(expected) && Zero(reply.get(), expected));
        Check(VexoWaitObjectWithTimed(s.cfgEvent, 0) == ((scene & 2) ? 1u : 0u));
        return 0;
    }
    if (command == RPC_CMD_GET_MULTI_ACCESS) {
        Check(n == i32(expected));
        if (expected > 0) Check(reply[0] == (multi ? 1 : 0) && Zero(reply.get() + 1, expected - 1));
        return 0;
    }
    if (!multi || command > 0xFF || payload > long(ORDO_BLOCK_PAYLOAD)) {
        Check(n == 0);
        return 0;
    }
    // The frame answers this one in full: the reply is its answer, cut to the length asked for.
    Check(n == i32(expected));
    const std::vector<u8>& known = s.answer[command];
    if (AnswerBytes(command) == long(ORDO_MAX_PACKET_CONTENT) && !known.empty())
        Check(std::memcmp(reply.get(), known.data(), expected) == 0);
    return 0;
}
