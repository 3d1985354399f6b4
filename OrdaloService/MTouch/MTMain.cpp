#include "MTouch/MTMain.h"

#include <mutex>

using namespace VexoSource;

std::vector<MTDevice*> g_devsContext;
u32 g_idBase[MT_MAX_DEVICES] = {};
VexoHandle g_stopEvt = nullptr;
TUIO* g_tuio = nullptr;
VexoConfgBase* g_appCfg = nullptr;

namespace {
std::mutex g_devsMtx;
}

std::vector<std::string> MTDeviceIdList() {
    std::lock_guard<std::mutex> guard(g_devsMtx);
    std::vector<std::string> ids;
    for (const MTDevice* device : g_devsContext) ids.push_back(device->nm_deviceId);
    return ids;
}
