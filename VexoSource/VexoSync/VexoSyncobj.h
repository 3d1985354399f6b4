// Events reached through handles, in the style of operating-system event objects.
//
// An event is created not signalled. Notify makes it signalled at once and wakes every
// waiter; it stays signalled until VexoEvtReset. Every handle function first checks that
// the handle is live (present in the registry), so a handle closed by one thread is
// harmless in another: Notify/Reset do nothing, VexoWaitObject returns 0 and
// VexoWaitObjectWithTimed returns 1. Closing wakes the waiters of the event (their wait
// returns 0) and waits until they have left before the event is freed.
#pragma once

#include <boost/thread/condition_variable.hpp>
#include <boost/thread/mutex.hpp>

#include "VexoAlgorithm/Tree.h"
#include "VexoCommon/VexoCommon.h"
#include "VexoThread/VexoThread.h"

namespace VexoSource {

// Anything reachable by handle. Construction registers the address, destruction removes it.
class VexoHandle_ : public VexoObj {
public:
    VexoHandle_();
    ~VexoHandle_() override;

    // Use counting lets a closing thread wait until no handle function is inside the object.
    void AddUse();
    void ReleaseUse();
    void WaitUnused();

private:
    boost::mutex m_useLock;
    boost::condition_variable m_useCv;
    int m_uses = 0;
};

using VexoHandle = VexoHandle_*;

// Registry of live handles: one lock around every insert, delete and lookup.
extern VexoTree<const VexoHandle_*>& g_synobjs_RefTable;

// The event. Its relay thread passes notifications on to the waiters.
class VexoSyncobj : public VexoHandle_, public VexoThread {
public:
    VexoSyncobj();
    ~VexoSyncobj() override;

    // Starts the relay thread and waits until it runs. False (after Reset) on failure.
    virtual bool Init();
    // Stops the relay thread (about one second), clears the signalled and initialised flags.
    virtual void Reset();
    // Waits until signalled or notified. 1 when signalled, 0 when the event is closing.
    virtual u32 Wait();
    // 1 if signalled or notified within floor(ms / 8) slices of 8 ms, else 0.
    virtual u32 Wait(u32 ms);
    // Marks the event closing, wakes its waiters and calls Reset.
    virtual void CloseHandle();
    // Makes the event signalled and wakes every waiter.
    virtual void Notify();
    void ThreadFunc() override;

    void SetSync();
    void ResetSync();
    bool GetSync();
    bool IsInitialized() const { return m_initialized; }

private:
    boost::mutex m_flagLock;
    boost::condition_variable m_notifyCond;
    boost::condition_variable m_waiterCond;
    bool m_signalled = false;
    bool m_notifyPending = false;
    u64 m_notifyCount = 0;  // lets a waiter tell a notification from a spurious wake-up
    bool m_initialized = false;
    bool m_closing = false;
    std::atomic<bool> m_relayStarted{false};
};

// Creates an unnamed event (named flag, name and mode are accepted and ignored). Null after
// logging "Unable to initialize event" when it cannot be set up.
VexoHandle VexoEvtCreate(u32 named, const char* name, u32 mode);
void VexoEvtNotify(VexoHandle handle);
void VexoEvtReset(VexoHandle handle);
// Waits without time-out: 1 when signalled, 0 when the handle is not live or gets closed.
u32 VexoWaitObject(VexoHandle handle);
// 1 at once when the handle is not live; else 1 when signalled, 0 on time-out.
u32 VexoWaitObjectWithTimed(VexoHandle handle, u32 ms);
// Pass i waits on handles[i % count] for timeouts[i % count] ms. Returns (k << 8) + 1 for
// the first handle k that reports signalled (1, 257, 513, ...), 0 when no pass succeeds.
// A handle that is not live is passed over after sleeping its time-out, so a stale handle
// neither fires nor makes the caller spin.
u32 VexoWaitObjectsWithTimed(const VexoHandle* handles, const u32* timeouts, u32 count, u32 passes);
// Closes and frees a live event; null and handles that are no longer live are ignored.
void VexoCloseHandle(VexoHandle handle);
// True when the handle is live.
bool VexoReference(VexoHandle handle);
// Removes the named shared-memory object of that name if one exists; true unless the
// removal itself failed.
bool VexoDeleteNamedCond(const char* name);

}  // namespace VexoSource
