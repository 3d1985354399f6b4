// One attached touch frame: its slot, device thread, packet server, path and identity.
#pragma once

#include <atomic>
#include <string>

#include "VexoCommon/VexoCommon.h"
#include "VexoSync/VexoSyncobj.h"
#include "VexoTUIO/VexoTouch.h"
#include "VexoTalk/VexoHIDServer.h"
#include "VexoThread/VexoThread.h"

// Room for one raw scan's content.
constexpr VexoSource::u32 MT_PACKET_BUF_LEN = 2048;

class MTDevice {
public:
    MTDevice();
    // Deletes the thread (joining it), closes the configuration event, removes the frame from
    // the RPC table and deletes the packet server.
    ~MTDevice();
    MTDevice(const MTDevice&) = delete;
    MTDevice& operator=(const MTDevice&) = delete;

    // Opens the frame at path, reads its identity, registers it with the RPC and creates the
    // configuration event. 1 on success. `stop` (may be null) cuts the identity request short
    // when its thread is told to stop.
    VexoSource::u32 Bind(const std::string& path, VexoSource::VexoThread* stop = nullptr);

    // Written by the device thread, read by the main loop once nm_state is 0.
    std::atomic<VexoSource::u32> nm_state{0};
    VexoSource::VexoThread* nm_threadHandle = nullptr;
    VexoSource::u32 nm_slot = 0;
    std::atomic<VexoSource::u32> nm_rebootPending{0};
    std::atomic<VexoSource::u32> nm_rebootDelay{0};
    VexoSource::u32 nm_startTime = 0;
    VexoSource::u32 nm_quickRebootCount = 0;
    VexoSource::VexoHandle nm_cfgEvent = nullptr;
    VexoSource::VexoTouch_S nm_touches[VexoSource::kVexoTouchTableSize];
    VexoSource::VexoHIDServer* nm_server = nullptr;
    std::string nm_path;
    std::string nm_deviceId;
    VexoSource::u32 nm_rpcId = 0;
    VexoSource::u32 nm_bindTime = 0;

    // When the thread asked for its restart: a restart is "quick" when the run that asked for
    // it had started less than 100 ms before.
    std::atomic<VexoSource::u32> nm_endTime{0};
    // Main loop only: a restart is waiting for its time (nm_restartDue).
    bool nm_restartScheduled = false;
    VexoSource::u32 nm_restartDue = 0;
    // Raw scan scratch of this device's thread; each thread has its own.
    VexoSource::u8 nm_packetBuf[MT_PACKET_BUF_LEN];
};
