#include "MTouch/MTDevice.h"

#include <cstring>

#include "MTouch/MTPacketTo.h"
#include "MTouch/MTProtocol.h"
#include "MTouch/MTRpc.h"
#include "VexoLog/VexoLog.h"
#include "VexoUtils/VexoUtils.h"

using namespace VexoSource;

MTDevice::MTDevice() { std::memset(nm_touches, 0, sizeof nm_touches); }

MTDevice::~MTDevice() {
    // Joins the thread: nothing may run against the server or the event freed below.
    delete nm_threadHandle;
    nm_threadHandle = nullptr;
    if (nm_cfgEvent) {
        VexoCloseHandle(nm_cfgEvent);
        nm_cfgEvent = nullptr;
    }
    if (nm_server) {
        // Once removed, no RPC request can still be using the server.
        RPCRequestRemoveServer(nm_rpcId, nm_server);
        delete nm_server;
        nm_server = nullptr;
    }
}

u32 MTDevice::Bind(const std::string& path, VexoThread* stop) {
    nm_path = path;
    nm_server = new VexoHIDServer();
    if (!nm_server->Bind(path)) {
        VEXO_LOG_EXCEPTION(L"HID server installation failed");
        return 0;
    }
    nm_bindTime = VexoGetSystemTime();
    VEXO_LOG_DEBUG(L"Current timestamp %u", nm_bindTime);
    VEXO_LOG_DEBUG(L"Loading device id");

    OrdoConfig config{};
    if (!MTPacketTo(nm_server, PACKET_IDEN_READ_CONFIG, reinterpret_cast<u8*>(&config),
                    sizeof config, g_echoTime, nullptr, nullptr, 0, 1, stop)) {
        VEXO_LOG_EXCEPTION(L"Get response failed! ");
        return 0;
    }
    nm_deviceId = OrdoIdentityHex(config.identity);
    VEXO_LOG_DEBUG(L"ID %hs", nm_deviceId.c_str());

    nm_rpcId = RPCRequestGetId(config.identity, sizeof config.identity);
    RPCRequestAddServer(nm_rpcId, nm_server);

    nm_cfgEvent = VexoEvtCreate(0, nullptr, 0);
    if (!nm_cfgEvent) {
        VEXO_LOG_EXCEPTION(L"Device binding event failed");
        return 0;
    }
    return 1;
}
