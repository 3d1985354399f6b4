// The configuration RPC's side of the service: the table from a frame's RPC identity to its
// packet server, and the handler of the "OstrelRPC" procedure on TCP port 28875.
#pragma once

#include "MTouch/MTPacketTo.h"
#include "VexoCommon/VexoCommon.h"
#include "VexoTalk/VexoHIDServer.h"

constexpr VexoSource::u32 MT_RPC_PORT = 28875;

// Creates the RPC object and its server and registers the handler; the server's creation
// result (1 or 0).
VexoSource::i32 RPCRequestInit();
// Deletes the RPC object, closing its server.
void RPCRequestRelease();
// Maps id to server, replacing any entry; waits while a request is being handled.
void RPCRequestAddServer(VexoSource::u32 id, VexoSource::VexoHIDServer* server);
// Erases id if present; once it returns no request is using that server any more.
void RPCRequestRemoveServer(VexoSource::u32 id);
// Sum of the bytes (0 for none).
VexoSource::u32 RPCRequestGetId(const VexoSource::u8* bytes, VexoSource::u32 count);
// The procedure's handler: reply length written into reply (at most capacity).
VexoSource::i32 RPCRequestHandle(const VexoSource::u8* body, VexoSource::i32 length,
                                 VexoSource::u8* reply, VexoSource::i32 capacity,
                                 const char* name, void* context);
