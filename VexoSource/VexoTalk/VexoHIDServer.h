// The packet server of one touch frame: owns its VexoHID, runs the talk thread that reads input
// reports, reassembles packets and queues them, and writes request reports.
//
// Queues: touch packets (type 10) and answers (every other type), 30 packets each. A packet
// arriving at a full queue empties that queue first (the old packets are lost, the newest kept).
// Whoever takes a packet owns it and deletes it.
//
// The talk thread never spins: when no report is waiting it blocks in a timed read of a few
// milliseconds. While the fast-reply flag is set (as at construction) touch packets are
// discarded as soon as they are complete. When the device is removed (six failed transfers) the
// thread logs "HID Event that device has pulled out", sets the pulled-out flag and pauses.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <shared_mutex>
#include <string>

#include "VexoCommon/VexoCommon.h"
#include "VexoDevs/VexoHID.h"
#include "VexoSync/VexoSyncobj.h"
#include "VexoTalk/VexoBlockAssembler.h"
#include "VexoTalk/VexoPacket.h"
#include "VexoThread/VexoThread.h"

namespace VexoSource {

// Queue numbers of GetPacket and Empty.
constexpr u32 VEXO_QUEUE_ANSWER = 0;
constexpr u32 VEXO_QUEUE_TOUCH = 1;
// Selectors of ClearPackets (numbered differently from the queues).
constexpr u32 VEXO_CLEAR_TOUCH = 0;
constexpr u32 VEXO_CLEAR_ANSWER = 1;
constexpr u32 VEXO_CLEAR_BOTH = 2;

constexpr i32 VEXO_PACKET_TYPE_TOUCH = 10;

class VexoHIDServer : public VexoThread {
public:
    static constexpr i32 kQueueCapacity = 30;
    // Longest a talk-thread read waits for a report before it looks at its flags again.
    static constexpr u32 kReadWaitMs = 4;
    static constexpr u32 kIdleSleepMs = 8;

    VexoHIDServer();
    // Reset, then deletes every queued packet.
    ~VexoHIDServer() override;

    // Opens the device at `path` and starts the talk thread; 1 on success. Already bound: 1 only
    // for the same path.
    u32 Bind(const std::string& path);
    // Stops the talk thread (about a second), deletes the device, closes the receive event,
    // marks the server unbound. Queued packets stay until taken or cleared.
    void Reset();

    // Writes the first 64 bytes of buffer as one output report. 1 when the whole report was
    // written; 0 when the buffer is missing or shorter than 64, the device is not open ("Device
    // Unprepared ON VexoHIDServer") or the transfer failed.
    u32 SetPacket(const u8* buffer, u32 length);

    // Oldest packet of VEXO_QUEUE_TOUCH or VEXO_QUEUE_ANSWER without waiting, or null.
    VexoPacket* GetPacket(u32 queue);
    // Waits up to timeoutMs for an answer of `type`; answers of other types taken meanwhile are
    // deleted. found is set to 1 with the packet, else 0 with null.
    VexoPacket* GetPacket(u32 timeoutMs, i32 type, u32& found);
    // VEXO_CLEAR_TOUCH, VEXO_CLEAR_ANSWER or VEXO_CLEAR_BOTH; the packets are deleted.
    void ClearPackets(u32 which);
    // 1 when the queue (VEXO_QUEUE_TOUCH or VEXO_QUEUE_ANSWER) is empty.
    u32 Empty(u32 queue);

    u8 IsPulledOut() const { return m_pulledOut.load(); }
    u32 IsBound() const { return m_bound.load(); }
    const std::string& GetPath() const { return m_path; }
    // Set after every queued packet; null while unbound.
    VexoHandle GetRSync() const { return m_rsync.load(); }
    // The queue lock.
    void Lock() { m_queueMutex.lock(); }
    void Unlock() { m_queueMutex.unlock(); }

    // Discard touch packets while set (1 at construction).
    void SetFastReply(u32 on) { m_fastReply = on; }
    u32 GetFastReply() const { return m_fastReply.load(); }
    // RPC requests are forwarded to the frame only while set (0 at construction).
    void SetMultiAccess(u32 on) { m_multiAccess = on; }
    u32 GetMultiAccess() const { return m_multiAccess.load(); }
    // Event set when the configuration tool announces a change; owned by the device thread.
    void SetCfgEvent(VexoHandle event) { m_cfgEvent = event; }
    VexoHandle GetCfgEvent() const { return m_cfgEvent.load(); }

    // One input report of `length` bytes as the talk thread read it (report id first): one
    // shorter than the block header is dropped, a shorter one is padded with zeros, then the
    // block goes through ProcessBytes. Public so that captured reports can be replayed.
    void ProcessReport(const u8* report, i32 length);
    // Runs the reassembly on report bytes 1..63 and queues a completed packet.
    void ProcessBytes(const u8* bytes, u8 reportId);

protected:
    void ThreadFunc() override;
    // The device object Bind opens; tests substitute one with scripted failures.
    virtual VexoHID* CreateDevice();

private:
    void Enqueue(VexoPacket* packet);
    static void DeleteAll(std::deque<VexoPacket*>& queue);

    u8 m_report[VEXO_REPORT_SIZE] = {};
    VexoHID* m_device = nullptr;
    mutable std::shared_mutex m_deviceLock;  // SetPacket against Reset
    std::atomic<u8> m_pulledOut{0};
    bool m_readable = false;  // the device's input reports are 64 bytes long; set by Bind
    VexoBlockAssembler m_assembler;

    std::mutex m_queueMutex;
    std::condition_variable m_answerArrived;
    std::deque<VexoPacket*> m_touchQueue;
    std::deque<VexoPacket*> m_answerQueue;

    std::atomic<u32> m_bound{0};
    std::string m_path;
    std::atomic<VexoHandle> m_rsync{nullptr};
    std::atomic<VexoHandle> m_cfgEvent{nullptr};
    std::atomic<u32> m_fastReply{1};
    std::atomic<u32> m_multiAccess{0};
};

}  // namespace VexoSource
