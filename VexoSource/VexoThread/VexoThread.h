// The worker-thread object of the service.
//
// Threads are cooperative: a loop repeats one pass of its work while GetThreadStatus()
// returns false, and must reach that check at least every 500 ms (a loop that blocks in
// accept, read or a wait uses a time-out of 500 ms or less). StopThread never cancels a
// thread: it gives the loop 500-1000 ms to notice, then joins it, so no loop outlives
// StopThread. A subclass that overrides ThreadFunc must call StopThread in its own
// destructor, because the base destructor runs after the subclass's members are gone. An
// object is never destroyed by its own thread.
#pragma once

#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <mutex>

#include "VexoCommon/VexoCommon.h"

namespace VexoSource {

enum class VexoEThreadStatus : i32 {
    Running = 0,
    Paused = 1,
    Stopped = 2,
};

class VexoThread;
using VexoThreadFunction = void (*)(void* context, VexoThread* thread);

class VexoThread {
public:
    VexoThread();
    VexoThread(VexoThreadFunction function, void* context);
    VexoThread(const VexoThread&) = delete;
    VexoThread& operator=(const VexoThread&) = delete;
    virtual ~VexoThread();

    // Run flag false, status stopped.
    void PreInit();
    // Run flag true, status running, creates the native thread. Returns the platform's
    // creation result (0 on success); EBUSY while a previous thread is still running.
    int StartThread();
    // Native entry (its argument is the start record of one run): runs the thread function,
    // or ThreadFunc and logs "Thread 0x%0.8X stopped".
    static void* Thread(void* start);
    // The base loop only waits until the status reads stopped.
    virtual void ThreadFunc();

    // True when the status is stopped.
    bool GetThreadStatus();
    // Raw status value without the status lock.
    VexoEThreadStatus GetThreadStatusEx() const;
    void SetThreadState(VexoEThreadStatus status);
    void PauseThread();
    void ResumeThread();
    // Sets the status to stopped and, if a thread exists, waits for it to leave and joins it.
    // Takes about one second when a thread exists; returns at once otherwise. Called from
    // the thread itself it only sets the status; the thread ends when its loop returns.
    void StopThread();
    // Lets the native thread run on its own; StopThread then no longer waits for it, so the
    // object must outlive the thread. A detached run that ends late never marks a later run
    // as finished.
    void Detach();
    // Waits for a loop that ends on its own (without being told to stop) and collects it; the
    // status is left as it is. Returns at once when no thread is attached; called from the
    // thread itself it does nothing.
    void Join();
    // Stops a thread that is not stopped, and joins one that is still finishing.
    void Reset();

    void* GetContext() const { return m_context; }
    bool GetRunFlag() const { return m_run.load(); }
    // True while a native thread is attached to this object (started and not yet joined).
    bool HasNativeThread();

private:
    enum class Take { None, Self, Taken };
    // Takes the native handle for joining; Self when called on the thread itself, None when
    // there is none (after waiting for a caller that is joining it).
    Take TakeHandle(pthread_t& handle);
    void JoinTaken(pthread_t handle);
    struct Start {
        VexoThread* self;
        u64 run;
    };
    void Run();
    void MarkFinished(u64 run);
    bool WaitFinished(int ms);

    void* m_context = nullptr;
    VexoThreadFunction m_function = nullptr;

    std::mutex m_statusLock;
    std::atomic<i32> m_status{static_cast<i32>(VexoEThreadStatus::Stopped)};
    std::atomic<bool> m_run{false};

    // Native handle and the "loop has returned" flag, guarded by m_handleLock.
    std::mutex m_handleLock;
    std::condition_variable m_finishedCv;
    pthread_t m_handle{};
    bool m_hasHandle = false;
    bool m_finished = true;
    u64 m_runNumber = 0;  // numbers the starts, so that only the current run marks itself finished
    bool m_stopping = false;  // a StopThread is waiting for the loop to leave
};

}  // namespace VexoSource
