// The device manager, the device thread and the TUIO feed of the service.
#pragma once

#include <boost/thread/mutex.hpp>
#include <string>
#include <vector>

#include "MTouch/MTDevice.h"
#include "PanoraCore.h"
#include "VexoCommon/VexoCommon.h"
#include "VexoTUIO/TUIO.h"
#include "VexoThread/VexoThread.h"

namespace VexoSource {
class VexoConfgBase;
}

constexpr VexoSource::u16 MT_VENDOR_ID = 0x4B5D;
constexpr VexoSource::u16 MT_PRODUCT_ID = 0x1001;
constexpr VexoSource::u32 MT_MAX_DEVICES = 5;
// Each slot owns this many touch identities.
constexpr VexoSource::u32 MT_IDS_PER_SLOT = 48;
constexpr VexoSource::u32 MT_POLL_MS = 200;
constexpr VexoSource::u32 MT_TUIO_PERIOD_MS = 10;

// The device table, in order of addition. Changed only by the main loop, under the lock that
// MTDeviceIdList takes.
extern std::vector<MTDevice*> g_devsContext;
extern VexoSource::u32 g_idBase[MT_MAX_DEVICES];
extern VexoSource::VexoHandle g_stopEvt;
extern VexoSource::TUIO* g_tuio;
extern VexoSource::VexoConfgBase* g_appCfg;

// The TUIO hand-off table, indexed by touch id: each device writes only its own 48 entries.
extern boost::mutex g_tuioMutex;
extern VexoSource::VexoTouch_S g_tuioTouches[VexoSource::kVexoTouchTableSize];
extern VexoSource::u32 g_tuioTouchesCheck[VexoSource::kVexoTouchTableSize];

// The identities (16 hex digits) of the devices in the table, in table order, taken as one
// consistent copy; safe from any thread.
std::vector<std::string> MTDeviceIdList();

VexoSource::u32 MTInitial();
// Runs until a stop is requested (SIGTERM, SIGINT or g_stopEvt).
void MTMain();
void MTReset();
MTDevice* MTouchDevAdd(const std::string& path);
void MTouchDevRefresh();

// Device thread entry; context is the MTDevice.
void MTDeviceRun(void* context, VexoSource::VexoThread* thread);

void FillTouches(const MTDevice* device, const _MINI_POLYGON* blobs, VexoSource::u32 count,
                 VexoSource::VexoTouch_S* touches);
// Replaces the device's touches in the TUIO table; count 0 removes them all.
void MTouchAddTuioMsg(const MTDevice* device, const VexoSource::VexoTouch_S* touches,
                      VexoSource::u32 count);
// TUIO thread entry.
void MTouchTuio(void* context, VexoSource::VexoThread* thread);
