// INCOMPLETE: stand-ins until the configuration RPC exists. The device manager already calls
// these at the places where the RPC server is created, released, and told about frames.
#include "MTouch/MTRpc.h"

using namespace VexoSource;

// Reports success so that a service without the RPC yet logs no false failure at start.
i32 RPCRequestInit() { return 1; }
void RPCRequestRelease() {}
void RPCRequestAddServer(u32, VexoHIDServer*) {}
void RPCRequestRemoveServer(u32) {}
u32 RPCRequestGetId(const u8* bytes, u32 count) {
    u32 sum = 0;
    for (u32 i = 0; i < count; ++i) sum += bytes[i];
    return sum;
}
i32 RPCRequestHandle(const u8*, i32, u8*, i32, const char*, void*) { return 0; }
