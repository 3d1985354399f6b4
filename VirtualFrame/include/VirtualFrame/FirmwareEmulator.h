// The firmware of a touch frame, emulated: the device side of the 64-byte report protocol.
//
// A FirmwareEmulator holds one frame's description and state. It answers every request of the
// device command protocol with the matching record, switches mode, takes watchdog writes and, in
// software mode, streams raw scans (type-10 packets) at its scan rate, each split into 59-byte
// blocks with index/count nibbles and a checksum. Faults can be injected for tests.
//
// It is transport-agnostic and thread-safe: one thread feeds it the host's output reports
// (PushOutputReport), another pulls the input reports the frame sends (PullInputReport). The
// emulator makes no thread of its own: scans and idle notices are produced by the pulling
// thread when they fall due, so a frame nobody pulls from streams nothing.
// FrameSocketServer (FrameSocketServer.h) serves an emulator to other processes.
//
// It is an independent implementation of the device side and shares only the records and
// identifiers of MTouch/MTProtocol.h with the host.
#ifndef VIRTUALFRAME_FIRMWAREEMULATOR_H
#define VIRTUALFRAME_FIRMWAREEMULATOR_H

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "MTouch/MTProtocol.h"

namespace VirtualFrame {

// Everything the frame's records answer. A model catalogue fills one of these; the defaults
// describe a plausible configured 32-inch frame in hardware mode.
struct FrameDescription {
    // OrdoConfig
    uint8_t identity[8] = {0x4F, 0x52, 0x44, 0x41, 0x4C, 0x4F, 0x00, 0x01};
    uint8_t firmwareVersion = 20;  // 20 = 2.0
    uint8_t contacts = 10;
    uint32_t ledX = 120;
    uint32_t ledY = 68;
    uint32_t linesX = 7;
    uint32_t linesY = 7;
    uint32_t ledGapX = 2;
    uint32_t ledGapY = 2;
    uint8_t lcdSize = 32;  // inches; 0 = unconfigured frame
    // OrdoQueryInfo
    uint8_t initialMode = 1;  // mode after power-up and after every reboot
    uint8_t modeContacts = 0;
    bool modeContactsValid = false;
    // OrdoSfwInfo
    uint32_t tuioTcpMode = 1;
    uint32_t tuioUdpMode = 1;
    uint32_t mouseEnabled = 0;
    uint32_t win7Mode = 0;
    // OrdoCalib: points[k] is the u16 at byte offset 4 + 2k, full scale 32767
    bool calibrationEnabled = false;
    uint16_t calibrationPoints[16] = {};
    // OrdoEffs
    uint32_t maxBlobs = 10;
    float minBlobSize = 1.0f;
    float maxBlobSize = 60.0f;
    float maxBlobDistance = 40.0f;
    uint32_t rightClickEnabled = 1;
    uint32_t rightClickDelayMs = 800;
    float clickRange = 8.0f;
    uint32_t doubleClickDelayMs = 300;
    uint32_t smoothLevel = 2;
    // Non-volatile items 2 (pen) and 8 (output solution). An item marked invalid is answered
    // with a zero magic.
    bool penItemValid = true;
    uint32_t penEnabled = 0;
    bool solutionItemValid = true;
    uint32_t solutionWidth = 32767;
    uint32_t solutionHeight = 32767;
    // Further items, answered as stored; items not found anywhere are answered with a zero magic.
    std::map<uint32_t, NVMPacket> extraNvmItems;
    // Answers (content bytes, at most 885) for identifiers the protocol table does not name;
    // an identifier found nowhere is ignored as a frame ignores an unknown command.
    std::map<uint8_t, std::vector<uint8_t>> customAnswers;
};

// Records as the frame answers them.
OrdoConfig MakeConfigRecord(const FrameDescription& d);
OrdoQueryInfo MakeQueryInfoRecord(const FrameDescription& d, uint8_t currentMode);
OrdoSfwInfo MakeSfwInfoRecord(const FrameDescription& d);
OrdoCalib MakeCalibRecord(const FrameDescription& d);
OrdoEffs MakeEffsRecord(const FrameDescription& d);
NVMPacket MakeNvmRecord(const FrameDescription& d, uint32_t index);

enum class AnswerFault {
    None,
    NoAnswer,   // the request is taken but never answered
    WrongType,  // answered with type identifier + 1
    Short,      // answered with the first half of the content (whole blocks still reach the host)
};

struct FaultSettings {
    std::map<uint8_t, AnswerFault> answerFaults;  // by request identifier
    uint32_t badChecksumEvery = 0;  // every Nth packet sent (any type) has a wrong checksum
    uint32_t dropBlockEvery = 0;    // every Nth multi-block packet loses its block of index 1
    uint32_t reorderBlocksEvery =
        0;                      // every Nth multi-block packet sends its last two blocks swapped
    uint32_t idleNoticeMs = 0;  // send an idle notice (type 20) this often
    uint64_t unplugAfterReports = 0;  // the frame unplugs for good after this many input reports
    uint32_t rebootEveryMs = 0;       // reboot loop: the frame restarts this often
    uint32_t watchdogTimeoutMs = 0;   // an enabled watchdog not fed for this long reboots the frame
    bool unconfigured = false;        // answer the configuration with LCD_SIZE 0
};

// What the frame has seen, for tests and diagnostics.
struct FrameCounters {
    uint64_t requests = 0;          // well-formed output reports
    uint64_t malformedReports = 0;  // output reports of the wrong size
    uint64_t ignoredRequests = 0;   // identifiers the frame does not know
    uint64_t answersSent = 0;
    uint64_t scansSent = 0;
    uint64_t oversizeScans = 0;  // scans longer than one packet can carry, not sent
    uint64_t idleNoticesSent = 0;
    uint64_t inputReports = 0;         // reports handed to PullInputReport callers
    uint64_t droppedInputReports = 0;  // lost because nobody pulled in time
    uint64_t watchdogFeeds = 0;
    uint64_t reboots = 0;
    std::map<uint8_t, uint64_t> requestsById;
    std::vector<uint8_t> requestLog;
};

enum class PullResult { Report, Timeout, Unplugged };

class FirmwareEmulator {
public:
    // Content of the type-10 packet for scan number scanIndex (0, 1, ...), at most 885 bytes.
    // Called on the pulling thread without the emulator's lock held, so it may call back in;
    // it must not throw.
    using ScanSource = std::function<std::vector<uint8_t>(uint64_t scanIndex)>;

    explicit FirmwareEmulator(FrameDescription description = FrameDescription());
    FirmwareEmulator(const FirmwareEmulator&) = delete;
    FirmwareEmulator& operator=(const FirmwareEmulator&) = delete;

    // Hands the frame one output report of the host (64 bytes, report id first). Requests are
    // answered at once: the answer is queued for PullInputReport. Other lengths are counted
    // as malformed and ignored.
    void PushOutputReport(const uint8_t* report, size_t length);

    // Waits up to `wait` for the next input report. Unplugged once the frame is unplugged.
    PullResult PullInputReport(uint8_t (&report)[ORDO_REPORT_SIZE], std::chrono::milliseconds wait);

    void SetDescription(const FrameDescription& description);
    FrameDescription Description() const;
    void SetFaults(const FaultSettings& faults);
    FaultSettings Faults() const;

    // Raw scans: the source wins over the fixed scan. The default fixed scan is a constant
    // pattern of 2 * (ledX + ledY) bytes, capped at one packet.
    void SetScanSource(ScanSource source);
    void SetRawScan(std::vector<uint8_t> content);
    void SetScanRate(double scansPerSecond);  // default 100; <= 0 stops the stream
    double ScanRate() const;

    uint8_t Mode() const;
    bool WatchdogEnabled() const;
    FrameCounters Counters() const;
    void ResetCounters();
    uint64_t RequestCount(uint8_t identifier) const;
    // Identifiers of the well-formed requests in arrival order (the first 4096 since the last
    // ResetCounters), so that tests can check the host's sequence.
    std::vector<uint8_t> RequestLog() const;

    // Restarts the firmware: mode back to the description's, watchdog off, unsent reports lost.
    // A transport treats a reboot as a brief unplug (RebootCount changes).
    void Reboot();
    uint64_t RebootCount() const;
    // Unplugs the frame for good; wakes every puller.
    void Unplug();
    bool IsUnplugged() const;

private:
    using Clock = std::chrono::steady_clock;

    void HandleRequestLocked(const uint8_t* report);
    void AnswerLocked(uint8_t identifier, std::vector<uint8_t> content);
    void QueuePacketLocked(uint8_t type, const std::vector<uint8_t>& content);
    void QueueReportLocked(const uint8_t* report);
    void RebootLocked();
    void RunTimersLocked(Clock::time_point now);
    Clock::time_point NextEventLocked(Clock::time_point deadline) const;
    std::vector<uint8_t> DefaultScanLocked() const;

    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    FrameDescription m_desc;
    FaultSettings m_faults;
    FrameCounters m_counters;
    ScanSource m_scanSource;
    std::vector<uint8_t> m_rawScan;
    bool m_rawScanSet = false;
    double m_scanRate = 100.0;

    uint8_t m_mode;
    bool m_watchdog = false;
    bool m_unplugged = false;
    bool m_scanInProgress = false;
    uint64_t m_scanIndex = 0;
    uint64_t m_packetsSent = 0;
    uint64_t m_multiBlockPackets = 0;
    Clock::time_point m_nextScan;
    Clock::time_point m_nextIdle;
    Clock::time_point m_nextReboot;
    Clock::time_point m_lastFeed;
    std::deque<std::vector<uint8_t>> m_input;
};

}  // namespace VirtualFrame

#endif  // VIRTUALFRAME_FIRMWAREEMULATOR_H
