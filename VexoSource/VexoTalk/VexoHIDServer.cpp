#include "VexoTalk/VexoHIDServer.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "VexoLog/VexoLog.h"
#include "VexoUtils/VexoUtils.h"

namespace VexoSource {

VexoHIDServer::VexoHIDServer() { PreInit(); }

VexoHIDServer::~VexoHIDServer() {
    Reset();
    ClearPackets(VEXO_CLEAR_BOTH);
}

VexoHID* VexoHIDServer::CreateDevice() { return new VexoHID(); }

u32 VexoHIDServer::Bind(const std::string& path) {
    if (m_bound) return path == m_path ? 1 : 0;
    m_path = path;
    m_assembler.Clear();
    m_pulledOut = 0;
    {
        std::unique_lock<std::shared_mutex> lock(m_deviceLock);
        m_device = CreateDevice();
    }
    bool ok = m_device && m_device->Init();
    if (ok) {
        m_rsync = VexoEvtCreate(0, nullptr, 0);
        ok = m_rsync != nullptr;
    }
    ok = ok && m_device->IsPrepared(path);
    if (ok) {
        VexoHIDCaps_S caps{};
        m_readable = m_device->GetCaps(caps) && caps.maxInputReportSize == VEXO_REPORT_SIZE;
        if (!m_readable) {
            VEXO_LOG_EXCEPTION(L"Unsupported input report size %u of %hs", caps.maxInputReportSize,
                               path.c_str());
        }
        m_bound = 1;
        ok = StartThread() == 0;
    }
    if (!ok) {
        Reset();
        return 0;
    }
    return 1;
}

void VexoHIDServer::Reset() {
    StopThread();
    {
        std::unique_lock<std::shared_mutex> lock(m_deviceLock);
        delete m_device;
        m_device = nullptr;
    }
    if (VexoHandle rsync = m_rsync.exchange(nullptr)) VexoCloseHandle(rsync);
    m_bound = 0;
}

u32 VexoHIDServer::SetPacket(const u8* buffer, u32 length) {
    if (!buffer || length < VEXO_REPORT_SIZE) return 0;
    std::shared_lock<std::shared_mutex> lock(m_deviceLock);
    if (!m_device || !m_bound || !m_device->IsPrepared(m_path)) {
        VEXO_LOG_DEBUG(L"Device Unprepared ON VexoHIDServer");
        return 0;
    }
    // A failed transfer (-1) must not read as success to the requester.
    return m_device->Write(buffer, VEXO_REPORT_SIZE) == i32(VEXO_REPORT_SIZE) ? 1 : 0;
}

void VexoHIDServer::ThreadFunc() {
    VEXO_LOG_DEBUG(L"Talk-thread entry 0x%0.8X", VexoAddr32(this));
    while (!GetThreadStatus()) {
        if (GetThreadStatusEx() == VexoEThreadStatus::Paused) {
            VexoSleep(kIdleSleepMs);
            continue;
        }
        if (m_bound && m_device) {
            if (m_device->TakeRemoved()) {
                VEXO_LOG_EXCEPTION(L"HID Event that device has pulled out");
                m_pulledOut = 1;
                PauseThread();
                continue;
            }
            // A device whose reports are not 64 bytes long refuses every read at once; reading
            // it without a pause would burn a core, so it only idles (and can still be unplugged).
            if (m_readable && m_device->IsPrepared(m_path)) {
                const i32 n = m_device->ReadTimed(m_report, VEXO_REPORT_SIZE, kReadWaitMs);
                if (n > 0) ProcessReport(m_report, n);
                continue;
            }
        }
        VexoSleep(kIdleSleepMs);
    }
    VEXO_LOG_DEBUG(L"Talk-thread exit 0x%0.8X", VexoAddr32(this));
}

void VexoHIDServer::ProcessReport(const u8* report, i32 length) {
    if (length <= 0) return;
    if (length < i32(VEXO_REPORT_HEADER_SIZE)) {
        VEXO_LOG_DEBUG(L"Report of %d bytes has no block header ON VexoHIDServer", length);
        return;
    }
    // A short report reads as if its missing tail were zeros; a longer one is cut to the
    // report size the framing is defined for.
    u8 whole[VEXO_REPORT_SIZE] = {};
    std::memcpy(whole, report, std::min<size_t>(size_t(length), VEXO_REPORT_SIZE));
    ProcessBytes(whole + 1, whole[0]);
}

void VexoHIDServer::ProcessBytes(const u8* bytes, u8 reportId) {
    VexoAssembled_S done;
    if (!m_assembler.Feed(bytes, reportId, done)) return;
    if (m_fastReply && done.type == VEXO_PACKET_TYPE_TOUCH) return;
    Enqueue(new VexoPacket(done.content, done.length, done.type, done.state));
}

void VexoHIDServer::Enqueue(VexoPacket* packet) {
    const bool touch = packet->GetPacketType() == VEXO_PACKET_TYPE_TOUCH;
    {
        std::lock_guard<std::mutex> lock(m_queueMutex);
        std::deque<VexoPacket*>& queue = touch ? m_touchQueue : m_answerQueue;
        if (i32(queue.size()) >= kQueueCapacity) {
            if (touch) {
                VEXO_LOG_DEBUG(L"The touch packets queue filled! ");
            } else {
                VEXO_LOG_DEBUG(L"The answer packets queue filled! ");
            }
            DeleteAll(queue);
        }
        queue.push_back(packet);
    }
    if (!touch) m_answerArrived.notify_all();
    VexoEvtNotify(m_rsync);
}

void VexoHIDServer::DeleteAll(std::deque<VexoPacket*>& queue) {
    for (VexoPacket* p : queue) delete p;
    queue.clear();
}

VexoPacket* VexoHIDServer::GetPacket(u32 queue) {
    std::lock_guard<std::mutex> lock(m_queueMutex);
    std::deque<VexoPacket*>& q = queue == VEXO_QUEUE_TOUCH ? m_touchQueue : m_answerQueue;
    if (q.empty()) return nullptr;
    VexoPacket* p = q.front();
    q.pop_front();
    return p;
}

VexoPacket* VexoHIDServer::GetPacket(u32 timeoutMs, i32 type, u32& found) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    std::unique_lock<std::mutex> lock(m_queueMutex);
    while (Clock::now() < deadline) {
        if (m_answerQueue.empty()) {
            m_answerArrived.wait_until(lock, deadline);
            continue;
        }
        VexoPacket* p = m_answerQueue.front();
        m_answerQueue.pop_front();
        if (p->GetPacketType() == type) {
            found = 1;
            return p;
        }
        delete p;
    }
    found = 0;
    return nullptr;
}

void VexoHIDServer::ClearPackets(u32 which) {
    std::lock_guard<std::mutex> lock(m_queueMutex);
    if (which == VEXO_CLEAR_TOUCH || which == VEXO_CLEAR_BOTH) DeleteAll(m_touchQueue);
    if (which == VEXO_CLEAR_ANSWER || which == VEXO_CLEAR_BOTH) DeleteAll(m_answerQueue);
}

u32 VexoHIDServer::Empty(u32 queue) {
    std::lock_guard<std::mutex> lock(m_queueMutex);
    return (queue == VEXO_QUEUE_TOUCH ? m_touchQueue : m_answerQueue).empty() ? 1 : 0;
}

}  // namespace VexoSource
