#include "MTouch/MTRpc.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "MTouch/MTMain.h"
#include "VexoLog/VexoLog.h"
#include "VexoNetwork/VexoRPC.h"
#include "VexoXmlSettings/VexoConfig.h"

using namespace VexoSource;

std::map<u32, VexoHIDServer*> g_rpcmt;
boost::mutex g_hrpcMtx;

namespace {

std::unique_ptr<VexoRPC> g_rpc;

u32 ReadLe32(const u8* p) {
    return u32(p[0]) | (u32(p[1]) << 8) | (u32(p[2]) << 16) | (u32(p[3]) << 24);
}

std::string ListenAddress() {
    if (!g_appCfg) return MT_RPC_DEFAULT_ADDRESS;
    const std::string address =
        g_appCfg->GetValue(MT_RPC_ADDRESS_TAG, VexoXString(MT_RPC_DEFAULT_ADDRESS)).ToAsii();
    in_addr probe{};
    if (::inet_pton(AF_INET, address.c_str(), &probe) != 1) {
        VEXO_LOG_EXCEPTION(L"RPC listen address %hs is not an IPv4 address; using %hs",
                           address.c_str(), MT_RPC_DEFAULT_ADDRESS);
        return MT_RPC_DEFAULT_ADDRESS;
    }
    return address;
}

i32 ListDevices(u8* reply, i32 capacity) {
    // Taken before g_hrpcMtx: the list's lock belongs to the main loop, which may be waiting
    // for g_hrpcMtx to unregister a frame.
    const std::vector<std::string> ids = MTDeviceIdList();
    i32 written = 0;
    for (const std::string& id : ids) {
        const i32 need = i32(id.size()) + 1;
        if (need > capacity - written) return 0;
        std::memcpy(reply + written, id.data(), id.size());
        written += i32(id.size());
        reply[written++] = ':';
    }
    if (written >= capacity) return 0;
    reply[written++] = 0;
    return written;
}

}  // namespace

i32 RPCRequestInit(int port) {
    g_rpc = std::make_unique<VexoRPC>();
    const i32 created = i32(g_rpc->CreateServer(port, ListenAddress()));
    g_rpc->Register(0, MT_RPC_NAME, RPCRequestHandle, nullptr);
    return created;
}

void RPCRequestRelease() { g_rpc.reset(); }

void RPCRequestAddServer(u32 id, VexoHIDServer* server) {
    boost::mutex::scoped_lock lock(g_hrpcMtx);
    g_rpcmt[id] = server;
    VEXO_LOG_DEBUG(L"Add RPC Server %u", id);
}

void RPCRequestRemoveServer(u32 id) {
    boost::mutex::scoped_lock lock(g_hrpcMtx);
    g_rpcmt.erase(id);
    VEXO_LOG_DEBUG(L"Remove RPC Server %u", id);
}

void RPCRequestRemoveServer(u32 id, const VexoHIDServer* server) {
    boost::mutex::scoped_lock lock(g_hrpcMtx);
    const auto entry = g_rpcmt.find(id);
    if (entry == g_rpcmt.end() || entry->second != server) {
        VEXO_LOG_DEBUG(L"RPC Server %u belongs to another frame; kept", id);
        return;
    }
    g_rpcmt.erase(entry);
    VEXO_LOG_DEBUG(L"Remove RPC Server %u", id);
}

u32 RPCRequestGetId(const u8* bytes, u32 count) {
    u32 sum = 0;
    for (u32 i = 0; i < count; ++i) sum += bytes[i];
    return sum;
}

i32 RPCRequestHandle(const u8* body, i32 length, u8* reply, i32 capacity, const char*, void*) {
    if (!body || !reply || length < MT_RPC_REQUEST_HEAD) {
        VEXO_LOG_EXCEPTION(L"Invalid input packet");
        return 0;
    }
    const u32 command = ReadLe32(body);
    const u32 target = ReadLe32(body + 4);
    const u32 expected = ReadLe32(body + 8);
    if (command == RPC_CMD_LIST_DEVICES)
        return ListDevices(reply, expected ? i32(std::min<u32>(expected, u32(capacity))) : capacity);

    boost::mutex::scoped_lock lock(g_hrpcMtx);
    const auto entry = g_rpcmt.find(target);
    if (entry == g_rpcmt.end() || !entry->second) {
        VEXO_LOG_EXCEPTION(L"The server not existed %u", target);
        return 0;
    }
    VexoHIDServer* server = entry->second;
    if (expected > u32(capacity)) {
        VEXO_LOG_EXCEPTION(L"Expected output too big");
        return 0;
    }
    // The reply is the first `expected` bytes; none of them may be left from anything else.
    std::memset(reply, 0, expected);
    if (command == RPC_CMD_CONFIG_CHANGED) {
        VEXO_LOG_DEBUG(L"Setting cfg-event");
        if (VexoHandle event = server->GetCfgEvent()) VexoEvtNotify(event);
        return i32(expected);
    }
    if (command == RPC_CMD_GET_MULTI_ACCESS) {
        if (expected > 0) reply[0] = u8(server->GetMultiAccess() ? 1 : 0);
        return i32(expected);
    }
    if (!server->GetMultiAccess()) {
        VEXO_LOG_DEBUG(L"Multi-access was locked");
        return 0;
    }
    // A packet identifier is one byte; a wider command would reach the frame as another one.
    if (command > 0xFF) {
        VEXO_LOG_EXCEPTION(L"Unknown RPC command %u", command);
        return 0;
    }
    const i32 payloadLength = length - MT_RPC_REQUEST_HEAD;
    if (payloadLength > i32(ORDO_BLOCK_PAYLOAD)) {
        VEXO_LOG_EXCEPTION(L"Forwarded payload too long %i", payloadLength);
        return 0;
    }
    u32 ok = 0;
    MTPacketTo(server, u8(command), reply, expected, g_echoTime, &ok,
               payloadLength > 0 ? body + MT_RPC_REQUEST_HEAD : nullptr, u8(payloadLength), 1);
    return ok ? i32(expected) : 0;
}
