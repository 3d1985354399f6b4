#include "VexoSync/VexoSyncobj.h"

#include <sys/mman.h>

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <cerrno>
#include <chrono>
#include <string>

#include "VexoLog/VexoLog.h"
#include "VexoUtils/VexoUtils.h"

namespace VexoSource {

// Never destroyed: threads may still close handles while the process exits.
VexoTree<const VexoHandle_*>& g_synobjs_RefTable = *new VexoTree<const VexoHandle_*>();

namespace {

constexpr u32 kWaitSliceMs = 8;
constexpr int kRelayIdleMs = 400;
constexpr u64 kRelayStartLimitMs = 10000;

// Holds a use of a live event for the length of one handle function, so that a concurrent
// VexoCloseHandle waits before freeing it.
class EventUse {
public:
    explicit EventUse(VexoHandle handle) {
        if (!handle) return;
        g_synobjs_RefTable.WithLock(handle, [&](bool live) {
            if (!live) return 0;
            m_event = dynamic_cast<VexoSyncobj*>(handle);
            if (m_event) m_event->AddUse();
            return 0;
        });
    }
    ~EventUse() {
        if (m_event) m_event->ReleaseUse();
    }
    EventUse(const EventUse&) = delete;
    EventUse& operator=(const EventUse&) = delete;
    VexoSyncobj* get() const { return m_event; }

private:
    VexoSyncobj* m_event = nullptr;
};

}  // namespace

VexoHandle_::VexoHandle_() {
    g_synobjs_RefTable.Insert(this);
    VexoLog(VexoELogLevel::Debug, 0, kVexoLogPrefixDebug, L"Insert syncobj reference 0x%0.8X",
            VexoAddr32(this));
}

VexoHandle_::~VexoHandle_() {
    g_synobjs_RefTable.Erase(this);
    VexoLog(VexoELogLevel::Debug, 0, kVexoLogPrefixDebug, L"Delete syncobj reference 0x%0.8X",
            VexoAddr32(this));
}

void VexoHandle_::AddUse() {
    boost::mutex::scoped_lock lock(m_useLock);
    ++m_uses;
}

void VexoHandle_::ReleaseUse() {
    boost::mutex::scoped_lock lock(m_useLock);
    if (--m_uses == 0) m_useCv.notify_all();
}

void VexoHandle_::WaitUnused() {
    boost::mutex::scoped_lock lock(m_useLock);
    while (m_uses > 0) m_useCv.wait(lock);
}

VexoSyncobj::VexoSyncobj() = default;

VexoSyncobj::~VexoSyncobj() { Reset(); }

bool VexoSyncobj::Init() {
    if (m_initialized) return true;
    {
        boost::mutex::scoped_lock lock(m_flagLock);
        m_closing = false;
        m_notifyPending = false;
    }
    m_relayStarted = false;
    if (StartThread() != 0) {
        Reset();
        return false;
    }
    const u64 started = VexoGetElapsedTimeMillis();
    while (!m_relayStarted) {
        if (VexoGetElapsedTimeMillis() - started > kRelayStartLimitMs) {
            Reset();
            return false;
        }
        VexoSleep(kWaitSliceMs);
    }
    m_initialized = true;
    return true;
}

void VexoSyncobj::Reset() {
    StopThread();
    boost::mutex::scoped_lock lock(m_flagLock);
    m_signalled = false;
    m_notifyPending = false;
    m_initialized = false;
    m_relayStarted = false;
}

void VexoSyncobj::ThreadFunc() {
    m_relayStarted = true;
    {
        boost::mutex::scoped_lock lock(m_flagLock);
        while (!GetThreadStatus()) {
            if (!m_notifyPending) {
                m_notifyCond.timed_wait(lock, boost::posix_time::milliseconds(kRelayIdleMs));
            }
            if (m_notifyPending) {
                // Notify has already made the event signalled; re-signalling here could undo
                // a VexoEvtReset that came in between, so the relay only wakes the waiters.
                m_notifyPending = false;
                m_waiterCond.notify_all();
            }
        }
    }
    VexoLog(VexoELogLevel::Debug, 0, kVexoLogPrefixDebug, L" 0x%0.8X syn-object thread exited",
            VexoAddr32(static_cast<VexoHandle_*>(this)));
}

void VexoSyncobj::Notify() {
    boost::mutex::scoped_lock lock(m_flagLock);
    m_signalled = true;
    ++m_notifyCount;
    m_notifyPending = true;
    m_waiterCond.notify_all();
    m_notifyCond.notify_one();
}

u32 VexoSyncobj::Wait(u32 ms) {
    boost::unique_lock<boost::mutex> lock(m_flagLock);
    if (m_signalled) return 1;
    const u32 slices = ms / kWaitSliceMs;
    if (slices == 0 || m_closing) return 0;
    const u64 seen = m_notifyCount;
    // Relative waits on a deadline of the monotonic clock: boost's own clocks would need its
    // chrono library.
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(slices * kWaitSliceMs);
    while (!m_signalled && m_notifyCount == seen && !m_closing) {
        const auto left =
            std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now());
        if (left.count() <= 0) break;
        m_waiterCond.timed_wait(lock, boost::posix_time::microseconds(left.count()));
    }
    return (m_signalled || m_notifyCount != seen) ? 1 : 0;
}

u32 VexoSyncobj::Wait() {
    boost::unique_lock<boost::mutex> lock(m_flagLock);
    const u64 seen = m_notifyCount;
    while (!m_signalled && m_notifyCount == seen && !m_closing) m_waiterCond.wait(lock);
    return (m_signalled || m_notifyCount != seen) ? 1 : 0;
}

void VexoSyncobj::CloseHandle() {
    {
        boost::mutex::scoped_lock lock(m_flagLock);
        m_closing = true;
        m_waiterCond.notify_all();
    }
    Reset();
}

void VexoSyncobj::SetSync() {
    boost::mutex::scoped_lock lock(m_flagLock);
    m_signalled = true;
}

void VexoSyncobj::ResetSync() {
    boost::mutex::scoped_lock lock(m_flagLock);
    m_signalled = false;
}

bool VexoSyncobj::GetSync() {
    boost::mutex::scoped_lock lock(m_flagLock);
    return m_signalled;
}

VexoHandle VexoEvtCreate(u32 /*named*/, const char* /*name*/, u32 /*mode*/) {
    VexoSyncobj* event = nullptr;
    try {
        event = new VexoSyncobj();
        if (event->Init()) return event;
    } catch (...) {
    }
    VexoLog(VexoELogLevel::Exception, 1, kVexoLogPrefixException, L"Unable to initialize event");
    if (event) VexoCloseHandle(event);
    return nullptr;
}

void VexoEvtNotify(VexoHandle handle) {
    EventUse use(handle);
    if (use.get()) use.get()->Notify();
}

void VexoEvtReset(VexoHandle handle) {
    EventUse use(handle);
    if (use.get()) use.get()->ResetSync();
}

u32 VexoWaitObject(VexoHandle handle) {
    EventUse use(handle);
    if (!use.get()) return 0;
    try {
        return use.get()->Wait();
    } catch (...) {
        return 0;
    }
}

u32 VexoWaitObjectWithTimed(VexoHandle handle, u32 ms) {
    EventUse use(handle);
    if (!use.get()) return 1;
    try {
        return use.get()->Wait(ms);
    } catch (...) {
        return 0;
    }
}

u32 VexoWaitObjectsWithTimed(const VexoHandle* handles, const u32* timeouts, u32 count,
                             u32 passes) {
    if (!handles || !timeouts || count == 0) return 0;
    for (u32 i = 0; i < passes; ++i) {
        const u32 k = i % count;
        EventUse use(handles[k]);
        u32 result = 0;
        if (use.get()) {
            try {
                result = use.get()->Wait(timeouts[k]);
            } catch (...) {
                result = 0;
            }
        } else {
            VexoSleep(timeouts[k] / kWaitSliceMs * kWaitSliceMs);
        }
        if (result == 1) return ((k << 8) & 0xFFFFu) + 1;
    }
    return 0;
}

void VexoCloseHandle(VexoHandle handle) {
    if (!handle) return;
    // Leaving the registry first keeps new callers out; the ones already inside are woken by
    // CloseHandle and waited for before the event is freed.
    if (!g_synobjs_RefTable.Erase(handle)) return;
    if (auto* event = dynamic_cast<VexoSyncobj*>(handle)) event->CloseHandle();
    handle->WaitUnused();
    delete handle;
}

bool VexoReference(VexoHandle handle) { return handle && g_synobjs_RefTable.Contains(handle); }

bool VexoDeleteNamedCond(const char* name) {
    if (!name || !*name) return true;
    std::string path = name[0] == '/' ? name : std::string("/") + name;
    return shm_unlink(path.c_str()) == 0 || errno == ENOENT;
}

}  // namespace VexoSource
