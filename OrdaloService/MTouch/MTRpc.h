// The configuration RPC's side of the service: the table from a frame's RPC identity to its
// packet server, and the handler of the "OstrelRPC" procedure on TCP port 28875.
#pragma once

#include <boost/thread/mutex.hpp>
#include <map>

#include "MTouch/MTPacketTo.h"
#include "VexoCommon/VexoCommon.h"
#include "VexoTalk/VexoHIDServer.h"

constexpr VexoSource::u32 MT_RPC_PORT = 28875;
constexpr const char* MT_RPC_NAME = "OstrelRPC";
// Address the RPC server listens on unless System.xml names another under this tag path: it
// forwards raw requests to the frames and has no authentication.
constexpr const char* MT_RPC_DEFAULT_ADDRESS = "127.0.0.1";
constexpr const char* MT_RPC_ADDRESS_TAG = "INFO:RPC:LISTEN_ADDRESS";

enum : VexoSource::u32 {
    RPC_CMD_LIST_DEVICES = 1,
    RPC_CMD_GET_MULTI_ACCESS = 5,
    RPC_CMD_CONFIG_CHANGED = 6,
};
// Command, target and expected reply length in front of the payload.
constexpr VexoSource::i32 MT_RPC_REQUEST_HEAD = 12;

// RPC identity → packet server. Held for the whole of a request, forwarded exchange included.
extern std::map<VexoSource::u32, VexoSource::VexoHIDServer*> g_rpcmt;
extern boost::mutex g_hrpcMtx;

// Creates the RPC object and its server and registers the handler; the server's creation
// result (1 or 0). Listens on MT_RPC_DEFAULT_ADDRESS, or on the address g_appCfg holds under
// MT_RPC_ADDRESS_TAG when g_appCfg exists. `port` is for tests.
VexoSource::i32 RPCRequestInit(int port = MT_RPC_PORT);
// Deletes the RPC object, closing its server.
void RPCRequestRelease();
// Maps id to server, replacing any entry; waits while a request is being handled.
void RPCRequestAddServer(VexoSource::u32 id, VexoSource::VexoHIDServer* server);
// Erases id if present; once it returns no request is using that server any more.
void RPCRequestRemoveServer(VexoSource::u32 id);
// Erases id only while it still maps to `server`: two frames whose identity bytes have the same
// sum share an id, and the frame that goes first must not take the later one's entry with it.
// Either way, once it returns no request is using `server` any more.
void RPCRequestRemoveServer(VexoSource::u32 id, const VexoSource::VexoHIDServer* server);
// Sum of the bytes (0 for none).
VexoSource::u32 RPCRequestGetId(const VexoSource::u8* bytes, VexoSource::u32 count);
// The procedure's handler: reply length written into reply (at most capacity). For command 1
// an expected reply length other than 0 narrows the capacity, so a client can say how much
// room it has.
VexoSource::i32 RPCRequestHandle(const VexoSource::u8* body, VexoSource::i32 length,
                                 VexoSource::u8* reply, VexoSource::i32 capacity,
                                 const char* name, void* context);
