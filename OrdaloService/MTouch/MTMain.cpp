#include "MTouch/MTMain.h"

#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "MTouch/MTPacketTo.h"
#include "MTouch/MTProtocol.h"
#include "MTouch/MTRpc.h"
#include "MTouch/MTUinput.h"
#include "VexoLog/VexoLog.h"
#include "VexoXmlSettings/VexoConfig.h"
#include "VexoUtils/VexoUtils.h"

using namespace VexoSource;

std::vector<MTDevice*> g_devsContext;
u32 g_idBase[MT_MAX_DEVICES] = {};
VexoHandle g_stopEvt = nullptr;
TUIO* g_tuio = nullptr;
VexoConfgBase* g_appCfg = nullptr;

boost::mutex g_tuioMutex;
VexoTouch_S g_tuioTouches[kVexoTouchTableSize];
u32 g_tuioTouchesCheck[kVexoTouchTableSize];

namespace {

// Readers off the main loop (the RPC listing) copy the table under this lock; the main loop
// holds it only while it changes the table, never while it destroys a device, because a
// device's destructor waits for the RPC lock.
std::mutex g_devsMtx;

VexoThread* g_tuioThread = nullptr;

constexpr u32 kMaxTouchesPerFrame = 32;
constexpr u32 kWatchdogFeedMs = 501;
constexpr u32 kQuickRebootMs = 100;
constexpr u32 kQuickRebootLimit = 11;
constexpr u32 kBindFailureLimit = 4;  // a path is skipped once its count is above this
constexpr u32 kRebootUnconfiguredMs = 5000;
constexpr u32 kRebootSetModeMs = 10000;
constexpr u32 kWaitPasses = 200;
// A TUIO tick this late is not caught up frame by frame: the schedule starts afresh.
constexpr auto kTuioResync = std::chrono::milliseconds(50);

// Tests shorten the reboot delays (ORDALO_TEST_REBOOT_DELAY_MS) so that reboot loops play out
// in seconds; a frame never sees the difference.
u32 MTRebootDelay(u32 ms) {
    static const long overrideMs = [] {
        const char* text = std::getenv("ORDALO_TEST_REBOOT_DELAY_MS");
        if (!text || !*text) return -1L;
        char* end = nullptr;
        const long value = std::strtol(text, &end, 10);
        return (*end == '\0' && value >= 0 && value <= 60000) ? value : -1L;
    }();
    return overrideMs >= 0 ? u32(overrideMs) : ms;
}

// Signed distance from `from` to `to` on the wrapping millisecond clock.
i32 MTTimeDiff(u32 to, u32 from) { return i32(to - from); }

void MTRemoveFromTable(MTDevice* device) {
    std::lock_guard<std::mutex> guard(g_devsMtx);
    for (auto it = g_devsContext.begin(); it != g_devsContext.end(); ++it) {
        if (*it == device) {
            g_devsContext.erase(it);
            return;
        }
    }
}

void MTRemoveDevice(MTDevice* device) {
    VEXO_LOG_DEBUG(L"Clean the device context ");
    if (device->nm_slot < MT_MAX_DEVICES) g_idBase[device->nm_slot] = 0;
    MTRemoveFromTable(device);
    delete device;
    VEXO_LOG_DEBUG(L"Clean finished");
}

// Asks a device thread to end without waiting for it: its wait wakes up at once.
void MTSignalStop(MTDevice* device) {
    if (!device->nm_threadHandle) return;
    device->nm_threadHandle->SetThreadState(VexoEThreadStatus::Stopped);
    if (device->nm_server) VexoEvtNotify(device->nm_server->GetRSync());
}

bool MTStopRequested() {
    return VexoStopRequested() || (g_stopEvt && VexoWaitObjectWithTimed(g_stopEvt, 0) == 1);
}

}  // namespace

std::vector<std::string> MTDeviceIdList() {
    std::lock_guard<std::mutex> guard(g_devsMtx);
    std::vector<std::string> ids;
    ids.reserve(g_devsContext.size());
    for (const MTDevice* device : g_devsContext) ids.push_back(device->nm_deviceId);
    return ids;
}

// ---- Start-up and shutdown ----------------------------------------------------------------

u32 MTInitial() {
    // A fresh working folder has no Data folder yet; without it no setting could ever be saved.
    if (mkdir("Data", 0755) != 0 && errno != EEXIST) {
        VEXO_LOG_EXCEPTION(L"Unable to create the folder Data");
    }
    g_appCfg = new VexoConfigOnXML("Data//System.xml");

    g_tuio = new (std::nothrow) TUIO();
    if (!g_tuio) {
        VEXO_LOG_EXCEPTION(L"new failed");
        return 0;
    }
    g_tuio->Setup("127.0.0.1", TUIO::kDefaultTcpPort, TUIO::kDefaultUdpPort, 1, 1);
    // Profile, datagram size and UDP targets from INFO:TUIO; unusable values are logged.
    g_tuio->Configure(TUIOReadSettings(*g_appCfg));

    {
        boost::lock_guard<boost::mutex> guard(g_tuioMutex);
        std::memset(g_tuioTouchesCheck, 0, sizeof g_tuioTouchesCheck);
    }

    g_stopEvt = VexoEvtCreate(0, nullptr, 0);
    if (!g_stopEvt) {
        VEXO_LOG_EXCEPTION(L"VexoEvtCreate failed");
        return 0;
    }

    VEXO_LOG_DEBUG(L"Binding RPC server");
    if (!RPCRequestInit()) {
        VEXO_LOG_EXCEPTION(L"RPC server initialization failed and take a rest for retry");
        VexoWaitStop(5000);
    }
    VEXO_LOG_DEBUG(L"Initialization finished");
    return 1;
}

void MTReset() {
    VEXO_LOG_DEBUG(L"MTReset was called");
    if (g_tuioThread) {
        g_tuioThread->StopThread();
        delete g_tuioThread;
        g_tuioThread = nullptr;
    }
    delete g_tuio;
    g_tuio = nullptr;
    RPCRequestRelease();

    // All threads are told first, so that they wind down together rather than one by one.
    for (MTDevice* device : g_devsContext) MTSignalStop(device);
    // Each device takes a few seconds to close (its threads and events stop in turn); closing
    // them side by side keeps the stop of five frames as short as that of one.
    std::vector<std::thread> closers;
    while (!g_devsContext.empty()) {
        MTDevice* device = g_devsContext.back();
        if (device->nm_slot < MT_MAX_DEVICES) g_idBase[device->nm_slot] = 0;
        {
            std::lock_guard<std::mutex> guard(g_devsMtx);
            g_devsContext.pop_back();
        }
        closers.emplace_back([device] { delete device; });
    }
    for (std::thread& closer : closers) closer.join();

    if (g_stopEvt) {
        VexoCloseHandle(g_stopEvt);
        g_stopEvt = nullptr;
    }
    // Written back to Data//System.xml as it is deleted.
    delete g_appCfg;
    g_appCfg = nullptr;
}

// ---- Device table -------------------------------------------------------------------------

MTDevice* MTouchDevAdd(const std::string& path) {
    VEXO_LOG_INFO(L"Device Added");
    std::unique_ptr<MTDevice> device(new MTDevice());
    if (!device->Bind(path)) {
        VEXO_LOG_EXCEPTION(L"Unable to bind device %hs", path.c_str());
        return nullptr;
    }
    u32 slot = 0;
    while (slot < MT_MAX_DEVICES && g_idBase[slot]) ++slot;
    if (slot == MT_MAX_DEVICES) {
        VEXO_LOG_EXCEPTION(L"Over the max-ordalo number");
        return nullptr;
    }
    device->nm_threadHandle = new VexoThread(&MTDeviceRun, device.get());
    g_idBase[slot] = 1;
    device->nm_slot = slot;
    device->nm_state = 1;
    device->nm_startTime = VexoGetSystemTime();
    device->nm_threadHandle->StartThread();
    return device.release();
}

void MTouchDevRefresh() {
    // Walk a copy: removal changes the table.
    const std::vector<MTDevice*> devices = g_devsContext;
    for (MTDevice* device : devices) {
        if (device->nm_state.load() != 0) continue;
        if (!device->nm_rebootPending.load()) {
            MTRemoveDevice(device);
            continue;
        }
        if (!device->nm_restartScheduled) {
            if (MTTimeDiff(device->nm_endTime.load(), device->nm_startTime) < i32(kQuickRebootMs)) {
                VEXO_LOG_EXCEPTION(L"Unnormal reboot exception for count %u",
                                   device->nm_quickRebootCount);
                if (++device->nm_quickRebootCount >= kQuickRebootLimit) {
                    VEXO_LOG_EXCEPTION(
                        L"We should drop this device for unnormal reboot over 10 times");
                    device->nm_rebootPending = 0;
                    MTRemoveDevice(device);
                    continue;
                }
            } else {
                device->nm_quickRebootCount = 0;
            }
            const u32 delay = device->nm_rebootDelay.load();
            VEXO_LOG_DEBUG(L"Device will reboot in %u ms ", delay);
            // The other frames are served while this one waits: the restart is only noted.
            device->nm_restartScheduled = true;
            device->nm_restartDue = VexoGetSystemTime() + delay;
        }
        if (device->nm_server && device->nm_server->IsPulledOut()) {
            // Unplugged while waiting for its restart: nothing to restart.
            device->nm_restartScheduled = false;
            device->nm_rebootPending = 0;
            MTRemoveDevice(device);
            continue;
        }
        if (MTTimeDiff(VexoGetSystemTime(), device->nm_restartDue) < 0) continue;
        device->nm_restartScheduled = false;
        device->nm_rebootPending = 0;
        device->nm_rebootDelay = 0;
        // The finished run has cleared its state and is leaving; collect it before the next.
        device->nm_threadHandle->Join();
        device->nm_state = 1;
        device->nm_startTime = VexoGetSystemTime();
        device->nm_threadHandle->StartThread();
    }
}

void MTMain() {
    g_tuioThread = new VexoThread(&MTouchTuio, nullptr);
    g_tuioThread->StartThread();

    std::vector<std::string> paths;
    std::map<std::string, u32> bindFailures;
    for (;;) {
        if (VexoWaitStop(MT_POLL_MS) || MTStopRequested()) {
            // Whoever else waits on the stop event learns of it too.
            if (g_stopEvt) VexoEvtNotify(g_stopEvt);
            VEXO_LOG_DEBUG(L"Stop requested, leaving");
            return;
        }
        paths.clear();
        VexoHIDGetPaths(MT_VENDOR_ID, MT_PRODUCT_ID, paths);
        if (paths.empty()) VEXO_LOG_DEBUG(L"No device available");

        MTouchDevRefresh();

        for (const std::string& path : paths) {
            bool known = false;
            for (const MTDevice* device : g_devsContext) known = known || device->nm_path == path;
            if (known) continue;
            auto failed = bindFailures.find(path);
            if (failed != bindFailures.end() && failed->second > kBindFailureLimit) continue;
            if (MTDevice* device = MTouchDevAdd(path)) {
                std::lock_guard<std::mutex> guard(g_devsMtx);
                g_devsContext.push_back(device);
            } else {
                ++bindFailures[path];
            }
            if (MTStopRequested()) break;
        }

        for (auto it = bindFailures.begin(); it != bindFailures.end();) {
            bool present = false;
            for (const std::string& path : paths) present = present || path == it->first;
            if (present) {
                ++it;
            } else if (it->second == 0) {
                it = bindFailures.erase(it);
            } else {
                --it->second;
                ++it;
            }
        }
    }
}

// ---- Device thread ------------------------------------------------------------------------

namespace {

struct CoreContextFree {
    void operator()(CoreContext* ctx) const { std::free(ctx); }
};

enum class MTRunEnd { Stop, Reboot, Restart };

// One bring-up and steady loop of a frame, with everything it allocates.
class MTDeviceRunner {
public:
    MTDeviceRunner(MTDevice* device, VexoThread* thread, MTUinputRoute& uinput)
        : m_device(device), m_server(device->nm_server), m_thread(thread), m_uinput(uinput) {}

    MTRunEnd Run() {
        const bool up = BringUp();
        MTRunEnd end = m_end;
        if (up) end = SteadyLoop();
        Finish();
        return end;
    }

    bool WatchdogActive() const { return m_watchdogActive; }

private:
    bool Ask(u8 identifier, void* answer, u32 length, const void* payload = nullptr,
             u8 payloadLength = 0) {
        return MTPacketTo(m_server, identifier, static_cast<u8*>(answer), length, g_echoTime,
                          nullptr, static_cast<const u8*>(payload), payloadLength, 1,
                          m_thread) == 1;
    }
    bool Stopping() { return m_thread->GetThreadStatus(); }
    bool Reboot(u32 delayMs) {
        m_end = MTRunEnd::Reboot;
        m_device->nm_rebootDelay = MTRebootDelay(delayMs);
        m_device->nm_rebootPending = 1;
        return false;
    }
    // A request that went unanswered because the thread is stopping is no fault of the frame.
    bool Unanswered() {
        m_end = MTRunEnd::Stop;
        return false;
    }

    u32 ReadNvm(u32 index, NVMPacket& nvm, bool& answered) {
        std::memset(&nvm, 0, sizeof nvm);
        NVMFillPacket(nullptr, 0, index, &nvm);
        answered = Ask(PACKET_IDEN_GET_NVM_ITEM, &nvm, sizeof nvm, &nvm, u8(sizeof nvm));
        if (!answered && !Stopping()) {
            VEXO_LOG_EXCEPTION(L"Get PACKET_IDEN_GET_NVM_ITEM response failed");
        }
        return answered && u32(nvm.magic) == NVM_MAGIC;
    }

    bool BringUp();
    MTRunEnd SteadyLoop();
    void FeedWatchdogIfDue();
    void HandleScan(VexoPacket* packet);
    void Finish();

    MTDevice* m_device;
    VexoHIDServer* m_server;
    VexoThread* m_thread;
    MTUinputRoute& m_uinput;
    MTRunEnd m_end = MTRunEnd::Stop;

    std::unique_ptr<CoreContext, CoreContextFree> m_ctx;
    std::unique_ptr<SetupParams> m_setup;
    std::unique_ptr<u32[]> m_solution;
    OrdoConfig m_config{};
    OrdoQueryInfo m_query{};
    OrdoSfwInfo m_sfw{};
    OrdoCalib m_calib{};
    OrdoEffs m_effs{};
    NVMPacket m_nvm{};
    bool m_watchdogActive = false;
    u32 m_lastFeed = 0;
    u32 m_maxTouches = kMaxTouchesPerFrame;
};

bool MTDeviceRunner::BringUp() {
    VEXO_LOG_INFO(L"MTMain Entry");
    m_device->nm_rebootPending = 0;
    m_device->nm_state = 1;
    std::memset(&m_config, 0, sizeof m_config);
    std::memset(&m_query, 0, sizeof m_query);
    std::memset(&m_sfw, 0, sizeof m_sfw);
    m_ctx.reset(static_cast<CoreContext*>(std::calloc(1, sizeof(CoreContext))));
    m_setup.reset(new SetupParams());
    m_solution.reset(new u32[2]());
    if (!m_ctx) {
        VEXO_LOG_EXCEPTION(L"new failed");
        return Reboot(kRebootUnconfiguredMs);
    }

    m_server->SetFastReply(1);
    VEXO_LOG_DEBUG(L"Enable fast reply");

    if (!Ask(PACKET_IDEN_READ_CONFIG, &m_config, sizeof m_config)) {
        if (Stopping()) return Unanswered();
        VEXO_LOG_EXCEPTION(L"Get PACKET_IDEN_READ_CONFIG response failed! ");
        return false;
    }
    if (m_config.LCD_SIZE == 0) {
        VEXO_LOG_EXCEPTION(L"Device unconfigured!");
        return Reboot(kRebootUnconfiguredMs);
    }
    if (m_config.version < 20) {
        VEXO_LOG_EXCEPTION(
            L"Only support version(s) which above 2.0,Please download the old version "
            L"OrdaloSetup ");
        return Reboot(kRebootUnconfiguredMs);
    }

    if (!Ask(PACKET_IDEN_QUERY_INFO, &m_query, sizeof m_query)) {
        if (Stopping()) return Unanswered();
        VEXO_LOG_EXCEPTION(L"Get PACKET_IDEN_QUERY_INFO response failed ");
        return false;
    }
    const bool software = m_query.mode == ORDO_MODE_SOFTWARE;
    VEXO_LOG_DEBUG(L"Current Ordalo mode : %hs ", software ? "Software-Mode" : "Hardware-Mode");
    if (!software) {
        VEXO_LOG_DEBUG(L"Currently non-software mode ");
        VEXO_LOG_DEBUG(L"Forcibly set to software mode ");
        const u8 mode = ORDO_MODE_SOFTWARE;
        u8 answer = 0;
        if (!Ask(PACKET_IDEN_SET_MODE, &answer, 1, &mode, 1)) {
            if (Stopping()) return Unanswered();
            VEXO_LOG_EXCEPTION(L"Set mode failed");
            return Reboot(kRebootSetModeMs);
        }
    }

    if (!Ask(PACKET_IDEN_GET_SOFTWARE_MODE_INFO, &m_sfw, sizeof m_sfw)) {
        if (Stopping()) return Unanswered();
        VEXO_LOG_EXCEPTION(L"Get PACKET_IDEN_GET_SOFTWARE_MODE_INFO response failed ");
        return false;
    }
    if (!Ask(PACKET_IDEN_GET_CALIBRATION, &m_calib, sizeof m_calib)) {
        if (Stopping()) return Unanswered();
        VEXO_LOG_DEBUG(L"Failed! ");
        return false;
    }
    if (!Ask(PACKET_IDEN_GET_EFFECTS, &m_effs, sizeof m_effs)) {
        if (Stopping()) return Unanswered();
        VEXO_LOG_DEBUG(L"Get PACKET_IDEN_GET_EFFECTS multitouch effects failed");
        return false;
    }

    bool answered = false;
    u32 pen = 0;
    if (ReadNvm(NVM_ITEM_PEN, m_nvm, answered)) {
        pen = m_nvm.DataWord(0);
    } else if (!answered) {
        return Stopping() ? Unanswered() : false;
    } else {
        VEXO_LOG_EXCEPTION(L"Invalid nvm item for index %u", NVM_ITEM_PEN);
    }
    m_solution[0] = 1024;
    m_solution[1] = 768;
    const bool solutionValid = ReadNvm(NVM_ITEM_SOLUTION, m_nvm, answered);
    if (!answered) return Stopping() ? Unanswered() : false;
    if (solutionValid && m_nvm.DataWord(0) == NVM_SOLUTION_TAG) {
        m_solution[0] = m_nvm.DataWord(1);
        m_solution[1] = m_nvm.DataWord(2);
    } else {
        VEXO_LOG_EXCEPTION(L"Invalid nvm item for index %u", NVM_ITEM_SOLUTION);
    }

    m_lastFeed = VexoGetSystemTime();
    m_watchdogActive = MTPacketTo(m_server, PACKET_IDEN_WATCHDOG_ENABLE, nullptr, 0, g_echoTime,
                                  nullptr, nullptr, 0, 0, m_thread) == 1;

    VEXO_LOG_DEBUG(L"Current solution %u:%u", m_solution[0], m_solution[1]);
    VEXO_LOG_DEBUG(
        L"Mouse Configuration - RClick:%d, RClick Delay:%d, RClick Range:%f, DClick Delay:%d",
        int(u32(m_effs.rightClickEnabled)), int(u32(m_effs.rightClickDelayMs)),
        double(float(m_effs.clickRange)), int(u32(m_effs.doubleClickDelayMs)));

    SetupParams& p = *m_setup;
    p.screenInches = float(m_config.LCD_SIZE);
    p.ledsX = i32(u32(m_config.LED_X));
    p.ledsY = i32(u32(m_config.LED_Y));
    p.linesX = i32(u32(m_config.LINEX));
    p.linesY = i32(u32(m_config.LINEY));
    p.ledGapX = i32(u32(m_config.LEDGAPX));
    p.ledGapY = i32(u32(m_config.LEDGAPY));
    p.frameWidth = 1.0f;
    p.frameHeight = 1.0f;
    p.pairGate = m_effs.maxBlobDistance;
    p.minBlobSize = m_effs.minBlobSize;
    p.maxBlobSize = m_effs.maxBlobSize;
    p.maxBlobs = m_effs.maxBlobs;
    p.reserved = 1;
    VEXO_LOG_DEBUG(L"LCD_SIZE:%d, LED_X:%d, LED_Y:%d ", int(m_config.LCD_SIZE), p.ledsX, p.ledsY);
    VEXO_LOG_DEBUG(L"LINEX:%d, LINEY:%d, LEDGAPX:%d, LEDGAPY:%d ", p.linesX, p.linesY, p.ledGapX,
                   p.ledGapY);

    m_ctx->padLedsX = 0;
    m_ctx->padLedsY = 0;
    if (!OrdaloScreenSetup(m_ctx.get(), m_setup.get())) {
        // Running the pipeline on a context that is not ready would publish nothing, silently.
        VEXO_LOG_EXCEPTION(L"The frame's geometry is not supported, set-up failed");
        return Reboot(kRebootUnconfiguredMs);
    }
    m_ctx->fastFrame = 1;
    m_ctx->eraseBackground = 1;
    m_ctx->penEnabled = pen;
    VEXO_LOG_DEBUG(L"Fast Frame Enabled:%i,Erase Background:%i,Pen Enabled:%i", 1, 1, int(pen));

    ODPoint p0{0.0f, 0.0f}, p1{1.0f, 1.0f}, p2{0.0f, 0.0f}, p3{1.0f, 1.0f};
    if (u32(m_calib.enabled)) {
        // Byte offsets 8, 10, 32, 34, 4, 6, 28, 30 of the record.
        auto at = [this](u32 offset) { return u32(u16(m_calib.points[(offset - 4) / 2])); };
        VEXO_LOG_DEBUG(L"Calibration %u:%u - %u:%u - %u:%u - %u:%u ", at(8), at(10), at(32),
                       at(34), at(4), at(6), at(28), at(30));
        auto point = [&](u32 x, u32 y) {
            return ODPoint{float(at(x) / 32767.0), float(at(y) / 32767.0)};
        };
        p0 = point(8, 10);
        p1 = point(32, 34);
        p2 = point(4, 6);
        p3 = point(28, 30);
    } else {
        VEXO_LOG_DEBUG(L"Calibration Default ");
    }
    OrdaloScreenCalibration(m_ctx.get(), p0, p1, p2, p3);

    VEXO_LOG_DEBUG(L"Smooth:%d  ", int(u32(m_effs.smoothLevel)));
    VEXO_LOG_DEBUG(
        L"Mouse enabled : %d, TUIOTcpMode : %d, TUIOUdpMode : %d, Win7Mode : %d. ",
        int(u32(m_sfw.mouseEnabled)), int(u32(m_sfw.tuioTcpMode)), int(u32(m_sfw.tuioUdpMode)),
        int(u32(m_sfw.win7Mode)));

    VEXO_LOG_DEBUG(L"Try to wake the firmware up if it's sleeping");
    u8 awake = 0;
    Ask(PACKET_IDEN_WAKE_UP, &awake, 1);
    if (Stopping()) return Unanswered();

    m_maxTouches = m_query.modeContactsValid == 1 ? m_query.modeContacts : m_config.contacts;

    VexoEvtReset(m_device->nm_cfgEvent);
    m_server->SetMultiAccess(1);
    VEXO_LOG_DEBUG(L"Enable multi-access");
    m_server->SetFastReply(0);
    VEXO_LOG_DEBUG(L"Disable fast reply");
    m_server->SetCfgEvent(m_device->nm_cfgEvent);
    VEXO_LOG_DEBUG(L"Binding cfg-event to current device");
    m_uinput.Start(m_device->nm_deviceId, m_config);
    return true;
}

void MTDeviceRunner::FeedWatchdogIfDue() {
    if (!m_watchdogActive) return;
    const u32 now = VexoGetSystemTime();
    if (now - m_lastFeed < kWatchdogFeedMs) return;
    VEXO_LOG_DEBUG(L"Feed the watchdog");
    m_lastFeed = now;
    MTPacketTo(m_server, PACKET_IDEN_FEED_WATCHDOG, nullptr, 0, g_echoTime, nullptr, nullptr, 0,
               0, m_thread);
}

void MTDeviceRunner::HandleScan(VexoPacket* packet) {
    const i32 length = packet->GetPacketContent(m_device->nm_packetBuf, MT_PACKET_BUF_LEN);
    delete packet;
    if (length <= 0) return;
    CoreContext* ctx = m_ctx.get();
    OrdaloDataFill(ctx, m_device->nm_packetBuf, u32(length));
    OrdaloDataFix(ctx);
    OrdaloUpdateBlobs(ctx);
    i32 n = ctx->outBlobCount;
    if (n < 0) n = 0;
    if (n > 0) VEXO_LOG_DEBUG(L"Current touch %d", n);
    if (n > i32(kMaxTouchesPerFrame)) {
        VEXO_LOG_DEBUG(L"Touches overflow! %d ", n);
        n = i32(kMaxTouchesPerFrame);
    }
    if (n > i32(m_maxTouches)) n = i32(m_maxTouches);
    ctx->outBlobCount = n;
    FillTouches(m_device, ctx->outBlobs, u32(n), m_device->nm_touches);
    MTouchAddTuioMsg(m_device, m_device->nm_touches, u32(n));
    // Straight away, not on the TUIO tick.
    m_uinput.Put(m_device->nm_touches, u32(n));
}

MTRunEnd MTDeviceRunner::SteadyLoop() {
    const VexoHandle rsync = m_server->GetRSync();
    const VexoHandle handles[2] = {m_device->nm_cfgEvent, rsync};
    const u32 timeouts[2] = {0, 8};
    for (;;) {
        if (Stopping()) return MTRunEnd::Stop;
        const u32 woke = VexoWaitObjectsWithTimed(handles, timeouts, 2, kWaitPasses);
        if (woke == 0) {
            if (m_server->IsPulledOut()) {
                VEXO_LOG_INFO(L"Device has pulled out");
                return MTRunEnd::Stop;
            }
            continue;
        }
        FeedWatchdogIfDue();
        if (woke == 1) {
            VEXO_LOG_INFO(L"Device Configuration Changed");
            VexoEvtReset(m_device->nm_cfgEvent);
            return MTRunEnd::Restart;
        }
        VexoPacket* packet = m_server->GetPacket(VEXO_QUEUE_TOUCH);
        if (!packet) {
            // Reset first, then look once more: a scan queued in between still wakes us.
            VexoEvtReset(rsync);
            packet = m_server->GetPacket(VEXO_QUEUE_TOUCH);
            if (!packet) continue;
        }
        if (packet->GetPacketType() == VEXO_PACKET_TYPE_TOUCH) {
            HandleScan(packet);
        } else {
            delete packet;
        }
    }
}

void MTDeviceRunner::Finish() {
    MTouchAddTuioMsg(m_device, nullptr, 0);
    m_uinput.Lift();
    m_ctx.reset();
    m_setup.reset();
    m_solution.reset();
    VEXO_LOG_DEBUG(L"MTMain Exit");
    m_server->SetMultiAccess(0);
    VEXO_LOG_DEBUG(L"Disable multi-access");
    m_server->SetFastReply(1);
    VEXO_LOG_DEBUG(L"Enable fast reply");
}

}  // namespace

void MTDeviceRun(void* context, VexoThread* thread) {
    auto* device = static_cast<MTDevice*>(context);
    {
        // Kept across configuration restarts; its kernel device goes when the frame leaves.
        MTUinputRoute uinput(g_appCfg);
        for (;;) {
            MTDeviceRunner runner(device, thread, uinput);
            const MTRunEnd end = runner.Run();
            if (end != MTRunEnd::Restart || thread->GetThreadStatus()) break;
            if (runner.WatchdogActive()) {
                MTPacketTo(device->nm_server, PACKET_IDEN_FEED_WATCHDOG, nullptr, 0, g_echoTime,
                           nullptr, nullptr, 0, 0, thread);
            }
        }
    }
    device->nm_endTime = VexoGetSystemTime();
    // Last write of this run: the main loop may destroy the device as soon as it reads 0.
    device->nm_state = 0;
}

// ---- Touch frames and the TUIO feed -------------------------------------------------------

void FillTouches(const MTDevice* device, const _MINI_POLYGON* blobs, u32 count,
                 VexoTouch_S* touches) {
    for (u32 i = 0; i < count; ++i) {
        const _MINI_POLYGON& blob = blobs[i];
        VexoTouch_S& touch = touches[i];
        touch.x = blob.cx;
        touch.y = blob.cy;
        touch.width = blob.width;
        touch.height = blob.height;
        touch.area = blob.area;
        // An unassigned (negative) blob id still lands inside this device's range.
        const i32 local = ((blob.id % i32(MT_IDS_PER_SLOT)) + i32(MT_IDS_PER_SLOT)) %
                          i32(MT_IDS_PER_SLOT);
        touch.id = device->nm_slot * MT_IDS_PER_SLOT + u32(local);
    }
}

void MTouchAddTuioMsg(const MTDevice* device, const VexoTouch_S* touches, u32 count) {
    const u32 first = device->nm_slot * MT_IDS_PER_SLOT;
    if (first >= MT_MAX_DEVICES * MT_IDS_PER_SLOT) return;
    boost::lock_guard<boost::mutex> guard(g_tuioMutex);
    std::memset(g_tuioTouchesCheck + first, 0, MT_IDS_PER_SLOT * sizeof(u32));
    if (!touches) return;
    for (u32 i = 0; i < count; ++i) {
        const u32 id = touches[i].id;
        // Only this device's own range: a stray id must not overwrite another frame's touch.
        if (id < first || id >= first + MT_IDS_PER_SLOT) continue;
        g_tuioTouchesCheck[id] = 1;
        g_tuioTouches[id] = touches[i];
    }
}

void MTouchTuio(void*, VexoThread* thread) {
    using Clock = std::chrono::steady_clock;
    const auto period = std::chrono::milliseconds(MT_TUIO_PERIOD_MS);
    // The send happens outside the lock, from a copy: a slow TCP client then holds up only
    // this thread, never the device threads.
    VexoTouch_S touches[kVexoTouchTableSize];
    u32 present[kVexoTouchTableSize];
    auto next = Clock::now();
    while (!thread->GetThreadStatus()) {
        next += period;
        const auto now = Clock::now();
        if (now > next + kTuioResync) {
            next = now;
        } else {
            std::this_thread::sleep_until(next);
        }
        {
            boost::lock_guard<boost::mutex> guard(g_tuioMutex);
            std::memcpy(touches, g_tuioTouches, sizeof touches);
            std::memcpy(present, g_tuioTouchesCheck, sizeof present);
        }
        if (g_tuio) g_tuio->SendMsg(touches, kVexoTouchTableSize, present);
    }
}
