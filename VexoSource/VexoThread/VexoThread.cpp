#include "VexoThread/VexoThread.h"

#include <cerrno>
#include <chrono>
#include <thread>

#include "VexoLog/VexoLog.h"
#include "VexoUtils/VexoUtils.h"

namespace VexoSource {
namespace {

// A loop gets one grace slice to notice the stopped status, and a second one if it has not
// left by then; the pause after joining keeps StopThread's overall timing of about a second.
constexpr int kStopSliceMs = 500;

}  // namespace

VexoThread::VexoThread() { PreInit(); }

VexoThread::VexoThread(VexoThreadFunction function, void* context)
    : m_context(context), m_function(function) {
    PreInit();
}

VexoThread::~VexoThread() { Reset(); }

void VexoThread::PreInit() {
    m_run = false;
    SetThreadState(VexoEThreadStatus::Stopped);
}

bool VexoThread::HasNativeThread() {
    std::lock_guard<std::mutex> guard(m_handleLock);
    return m_hasHandle;
}

int VexoThread::StartThread() {
    std::unique_lock<std::mutex> handleGuard(m_handleLock);
    if (m_hasHandle) {
        if (!m_finished || pthread_equal(m_handle, pthread_self())) return EBUSY;
        // The previous loop ended on its own; collect it before starting the next one.
        handleGuard.unlock();
        pthread_t old;
        if (TakeHandle(old) == Take::Taken) JoinTaken(old);
        handleGuard.lock();
        if (m_hasHandle || m_stopping) return EBUSY;
    }
    m_run = true;
    SetThreadState(VexoEThreadStatus::Running);
    m_finished = false;
    auto* start = new Start{this, ++m_runNumber};
    pthread_t handle;
    int result = pthread_create(&handle, nullptr, &VexoThread::Thread, start);
    if (result == 0) {
        m_handle = handle;
        m_hasHandle = true;
    } else {
        delete start;
        m_finished = true;
    }
    return result;
}

void* VexoThread::Thread(void* start) {
    const Start run = *static_cast<Start*>(start);
    delete static_cast<Start*>(start);
    run.self->Run();
    run.self->MarkFinished(run.run);
    return nullptr;
}

void VexoThread::Run() {
    if (m_function) {
        m_function(m_context, this);
    } else {
        ThreadFunc();
        VexoLog(VexoELogLevel::Debug, 0, kVexoLogPrefixDebug, L"Thread 0x%0.8X stopped",
                VexoAddr32(this));
    }
}


void VexoThread::ThreadFunc() {
    while (!GetThreadStatus()) VexoSleep(100);
}

bool VexoThread::GetThreadStatus() {
    std::lock_guard<std::mutex> guard(m_statusLock);
    return m_status.load() == static_cast<i32>(VexoEThreadStatus::Stopped);
}

VexoEThreadStatus VexoThread::GetThreadStatusEx() const {
    return static_cast<VexoEThreadStatus>(m_status.load(std::memory_order_relaxed));
}

void VexoThread::SetThreadState(VexoEThreadStatus status) {
    std::lock_guard<std::mutex> guard(m_statusLock);
    m_status = static_cast<i32>(status);
}

void VexoThread::PauseThread() {
    m_run = false;
    SetThreadState(VexoEThreadStatus::Paused);
}

void VexoThread::ResumeThread() {
    m_run = true;
    std::lock_guard<std::mutex> guard(m_statusLock);
    if (m_status.load() == static_cast<i32>(VexoEThreadStatus::Paused)) {
        m_status = static_cast<i32>(VexoEThreadStatus::Running);
    }
}

void VexoThread::MarkFinished(u64 run) {
    std::lock_guard<std::mutex> guard(m_handleLock);
    // A detached earlier run that ends now says nothing about the run that replaced it.
    if (run == m_runNumber) m_finished = true;
    m_finishedCv.notify_all();
}

bool VexoThread::WaitFinished(int ms) {
    std::unique_lock<std::mutex> guard(m_handleLock);
    return m_finishedCv.wait_for(guard, std::chrono::milliseconds(ms),
                                 [this] { return m_finished; });
}

VexoThread::Take VexoThread::TakeHandle(pthread_t& handle) {
    std::unique_lock<std::mutex> guard(m_handleLock);
    if (!m_hasHandle) {
        // Another caller may be joining the thread: return only once it is gone, so that this
        // caller may free what the loop uses.
        m_finishedCv.wait(guard, [this] { return !m_stopping; });
        return Take::None;
    }
    handle = m_handle;
    if (pthread_equal(handle, pthread_self())) return Take::Self;
    m_hasHandle = false;
    m_stopping = true;
    return Take::Taken;
}

void VexoThread::JoinTaken(pthread_t handle) {
    pthread_join(handle, nullptr);
    std::lock_guard<std::mutex> guard(m_handleLock);
    m_stopping = false;
    m_finishedCv.notify_all();
}

void VexoThread::StopThread() {
    m_run = true;
    SetThreadState(VexoEThreadStatus::Stopped);

    // A loop stopping itself cannot join itself: it ends when it returns, and the owner's next
    // StartThread, StopThread or Reset collects it.
    pthread_t handle;
    if (TakeHandle(handle) != Take::Taken) return;

    VexoLog(VexoELogLevel::Debug, 0, kVexoLogPrefixDebug, L"Waiting the thread terminate signal");
    std::this_thread::sleep_for(std::chrono::milliseconds(kStopSliceMs));
    if (!WaitFinished(kStopSliceMs)) {
        // Never leave a loop running against state its owner is about to free: keep waiting.
        VexoLog(VexoELogLevel::Exception, 1, kVexoLogPrefixException,
                L"Unable to stop thread 0x%0.8X", VexoAddr32(this));
    }
    JoinTaken(handle);
    std::this_thread::sleep_for(std::chrono::milliseconds(kStopSliceMs));
    VexoLog(VexoELogLevel::Debug, 0, kVexoLogPrefixDebug, L"Thread terminated");
}

void VexoThread::Detach() {
    std::lock_guard<std::mutex> guard(m_handleLock);
    if (!m_hasHandle) return;
    pthread_detach(m_handle);
    m_hasHandle = false;
}

void VexoThread::Join() {
    pthread_t handle;
    if (TakeHandle(handle) == Take::Taken) JoinTaken(handle);
}

void VexoThread::Reset() {
    if (GetThreadStatusEx() != VexoEThreadStatus::Stopped) {
        StopThread();
        return;
    }
    pthread_t handle;
    switch (TakeHandle(handle)) {
        case Take::None:
            break;
        case Take::Self:
            Detach();
            break;
        case Take::Taken:
            JoinTaken(handle);
            break;
    }
}

}  // namespace VexoSource
