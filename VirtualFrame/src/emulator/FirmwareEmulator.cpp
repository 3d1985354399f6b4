#include "VirtualFrame/FirmwareEmulator.h"

#include <algorithm>
#include <cstring>

namespace VirtualFrame {

namespace {

constexpr uint8_t kInputReportId = 0x04;
// A real HID stack buffers about a hundred reports; keep a little more so that a slow puller
// loses reports only when it is really stuck.
constexpr size_t kMaxQueuedReports = 512;

// Records start all zero: the bytes a frame does not fill are zero on the wire.
template <typename Record>
Record Zeroed() {
    Record r;
    std::memset(&r, 0, sizeof r);
    return r;
}

template <typename Record>
std::vector<uint8_t> Bytes(const Record& r) {
    const uint8_t* p = reinterpret_cast<const uint8_t*>(&r);
    return std::vector<uint8_t>(p, p + sizeof r);
}

}  // namespace

OrdoConfig MakeConfigRecord(const FrameDescription& d) {
    OrdoConfig c = Zeroed<OrdoConfig>();
    c.version = d.firmwareVersion;
    std::memcpy(c.identity, d.identity, sizeof c.identity);
    c.contacts = d.contacts;
    c.LED_X = d.ledX;
    c.LED_Y = d.ledY;
    c.LINEX = d.linesX;
    c.LINEY = d.linesY;
    c.LEDGAPX = d.ledGapX;
    c.LEDGAPY = d.ledGapY;
    c.LCD_SIZE = d.lcdSize;
    return c;
}

OrdoQueryInfo MakeQueryInfoRecord(const FrameDescription& d, uint8_t currentMode) {
    OrdoQueryInfo q = Zeroed<OrdoQueryInfo>();
    q.modeContacts = d.modeContacts;
    q.modeContactsValid = d.modeContactsValid ? 1 : 0;
    q.mode = currentMode;
    return q;
}

OrdoSfwInfo MakeSfwInfoRecord(const FrameDescription& d) {
    OrdoSfwInfo s = Zeroed<OrdoSfwInfo>();
    s.tuioTcpMode = d.tuioTcpMode;
    s.tuioUdpMode = d.tuioUdpMode;
    s.mouseEnabled = d.mouseEnabled;
    s.win7Mode = d.win7Mode;
    return s;
}

OrdoCalib MakeCalibRecord(const FrameDescription& d) {
    OrdoCalib c = Zeroed<OrdoCalib>();
    c.enabled = d.calibrationEnabled ? 1u : 0u;
    for (int k = 0; k < 16; ++k) c.points[k] = d.calibrationPoints[k];
    return c;
}

OrdoEffs MakeEffsRecord(const FrameDescription& d) {
    OrdoEffs e = Zeroed<OrdoEffs>();
    e.maxBlobs = d.maxBlobs;
    e.minBlobSize = d.minBlobSize;
    e.maxBlobSize = d.maxBlobSize;
    e.maxBlobDistance = d.maxBlobDistance;
    e.rightClickEnabled = d.rightClickEnabled;
    e.rightClickDelayMs = d.rightClickDelayMs;
    e.clickRange = d.clickRange;
    e.doubleClickDelayMs = d.doubleClickDelayMs;
    e.smoothLevel = d.smoothLevel;
    return e;
}

NVMPacket MakeNvmRecord(const FrameDescription& d, uint32_t index) {
    NVMPacket p = Zeroed<NVMPacket>();
    auto extra = d.extraNvmItems.find(index);
    if (extra != d.extraNvmItems.end()) {
        p = extra->second;
        p.index = index;
        return p;
    }
    p.index = index;
    bool valid = false;
    if (index == NVM_ITEM_PEN && d.penItemValid) {
        p.SetDataWord(0, d.penEnabled);
        valid = true;
    } else if (index == NVM_ITEM_SOLUTION && d.solutionItemValid) {
        p.SetDataWord(0, NVM_SOLUTION_TAG);
        p.SetDataWord(1, d.solutionWidth);
        p.SetDataWord(2, d.solutionHeight);
        valid = true;
    }
    if (valid) {
        p.length = NVM_ITEM_LENGTH;
        p.magic = NVM_MAGIC;
    }
    return p;
}

FirmwareEmulator::FirmwareEmulator(FrameDescription description)
    : m_desc(std::move(description)), m_mode(m_desc.initialMode) {
    auto now = Clock::now();
    m_nextScan = m_nextIdle = m_nextReboot = m_lastFeed = now;
}

void FirmwareEmulator::PushOutputReport(const uint8_t* report, size_t length) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_unplugged) return;
    if (!report || length != ORDO_REPORT_SIZE || report[0] != ORDO_REQUEST_REPORT_ID) {
        ++m_counters.malformedReports;
        return;
    }
    HandleRequestLocked(report);
}

void FirmwareEmulator::HandleRequestLocked(const uint8_t* report) {
    const uint8_t id = report[1];
    const uint8_t* payload = report + ORDO_HEADER_SIZE;
    ++m_counters.requests;
    ++m_counters.requestsById[id];
    if (m_counters.requestLog.size() < 4096) m_counters.requestLog.push_back(id);
    const auto now = Clock::now();

    switch (id) {
        case PACKET_IDEN_READ_CONFIG: {
            OrdoConfig c = MakeConfigRecord(m_desc);
            if (m_faults.unconfigured) c.LCD_SIZE = 0;
            AnswerLocked(id, Bytes(c));
            return;
        }
        case PACKET_IDEN_QUERY_INFO:
            AnswerLocked(id, Bytes(MakeQueryInfoRecord(m_desc, m_mode)));
            return;
        case PACKET_IDEN_SET_MODE:
            if (payload[0] == ORDO_MODE_SOFTWARE && m_mode != ORDO_MODE_SOFTWARE) m_nextScan = now;
            m_mode = payload[0];
            AnswerLocked(id, {m_mode});
            m_wake.notify_all();
            return;
        case PACKET_IDEN_GET_CALIBRATION:
            AnswerLocked(id, Bytes(MakeCalibRecord(m_desc)));
            return;
        case PACKET_IDEN_GET_EFFECTS:
            AnswerLocked(id, Bytes(MakeEffsRecord(m_desc)));
            return;
        case PACKET_IDEN_GET_SOFTWARE_MODE_INFO:
            AnswerLocked(id, Bytes(MakeSfwInfoRecord(m_desc)));
            return;
        case PACKET_IDEN_WAKE_UP:
            AnswerLocked(id, {1});
            return;
        case PACKET_IDEN_GET_NVM_ITEM: {
            NVMPacket request;
            std::memcpy(&request, payload, sizeof request);
            AnswerLocked(id, Bytes(MakeNvmRecord(m_desc, request.index)));
            return;
        }
        case PACKET_IDEN_WATCHDOG_ENABLE:
            m_watchdog = true;
            m_lastFeed = now;
            m_wake.notify_all();
            return;
        case PACKET_IDEN_FEED_WATCHDOG:
            ++m_counters.watchdogFeeds;
            m_lastFeed = now;
            return;
        default: {
            auto custom = m_desc.customAnswers.find(id);
            if (custom != m_desc.customAnswers.end()) {
                AnswerLocked(id, custom->second);
            } else {
                ++m_counters.ignoredRequests;
            }
            return;
        }
    }
}

void FirmwareEmulator::AnswerLocked(uint8_t identifier, std::vector<uint8_t> content) {
    uint8_t type = identifier;
    auto fault = m_faults.answerFaults.find(identifier);
    if (fault != m_faults.answerFaults.end()) {
        switch (fault->second) {
            case AnswerFault::None:
                break;
            case AnswerFault::NoAnswer:
                return;
            case AnswerFault::WrongType:
                type = uint8_t(identifier + 1);
                break;
            case AnswerFault::Short:
                content.resize(std::max<size_t>(1, content.size() / 2));
                break;
        }
    }
    if (content.size() > ORDO_MAX_PACKET_CONTENT) content.resize(ORDO_MAX_PACKET_CONTENT);
    QueuePacketLocked(type, content);
    ++m_counters.answersSent;
}

void FirmwareEmulator::QueuePacketLocked(uint8_t type, const std::vector<uint8_t>& content) {
    const size_t count =
        std::max<size_t>(1, (content.size() + ORDO_BLOCK_PAYLOAD - 1) / ORDO_BLOCK_PAYLOAD);
    uint8_t checksum = 0;
    for (uint8_t b : content) checksum = uint8_t(checksum + b);
    ++m_packetsSent;
    if (m_faults.badChecksumEvery && m_packetsSent % m_faults.badChecksumEvery == 0) {
        checksum = uint8_t(checksum ^ 0xA5);
    }

    std::vector<std::vector<uint8_t>> blocks;
    for (size_t i = 0; i < count; ++i) {
        std::vector<uint8_t> r(ORDO_REPORT_SIZE, 0);
        r[0] = kInputReportId;
        r[1] = type;
        r[2] = uint8_t(i << 4 | count);
        r[3] = 0;
        r[4] = checksum;
        const size_t from = i * ORDO_BLOCK_PAYLOAD;
        const size_t n =
            std::min(ORDO_BLOCK_PAYLOAD, content.size() - std::min(from, content.size()));
        if (n) std::memcpy(r.data() + ORDO_HEADER_SIZE, content.data() + from, n);
        blocks.push_back(std::move(r));
    }
    if (count > 1) {
        ++m_multiBlockPackets;
        if (m_faults.dropBlockEvery && m_multiBlockPackets % m_faults.dropBlockEvery == 0) {
            blocks.erase(blocks.begin() + 1);
        } else if (m_faults.reorderBlocksEvery &&
                   m_multiBlockPackets % m_faults.reorderBlocksEvery == 0) {
            std::swap(blocks[count - 2], blocks[count - 1]);
        }
    }
    for (auto& b : blocks) QueueReportLocked(b.data());
}

void FirmwareEmulator::QueueReportLocked(const uint8_t* report) {
    if (m_input.size() >= kMaxQueuedReports) {
        m_input.pop_front();
        ++m_counters.droppedInputReports;
    }
    m_input.emplace_back(report, report + ORDO_REPORT_SIZE);
    m_wake.notify_all();
}

void FirmwareEmulator::RebootLocked() {
    m_mode = m_desc.initialMode;
    m_watchdog = false;
    m_input.clear();
    ++m_counters.reboots;
    m_nextReboot = Clock::now() + std::chrono::milliseconds(m_faults.rebootEveryMs);
    m_wake.notify_all();
}

void FirmwareEmulator::RunTimersLocked(Clock::time_point now) {
    using std::chrono::milliseconds;
    if (m_faults.rebootEveryMs && now >= m_nextReboot) RebootLocked();
    if (m_watchdog && m_faults.watchdogTimeoutMs &&
        now - m_lastFeed >= milliseconds(m_faults.watchdogTimeoutMs)) {
        RebootLocked();
    }
    if (m_faults.idleNoticeMs && now >= m_nextIdle) {
        QueuePacketLocked(PACKET_IDEN_IDLE, {0});
        ++m_counters.idleNoticesSent;
        m_nextIdle += milliseconds(m_faults.idleNoticeMs);
        if (m_nextIdle <= now) m_nextIdle = now + milliseconds(m_faults.idleNoticeMs);
    }
}

FirmwareEmulator::Clock::time_point FirmwareEmulator::NextEventLocked(
    Clock::time_point deadline) const {
    using std::chrono::milliseconds;
    Clock::time_point next = deadline;
    if (m_mode == ORDO_MODE_SOFTWARE && m_scanRate > 0 && !m_scanInProgress) {
        next = std::min(next, m_nextScan);
    }
    if (m_faults.idleNoticeMs) next = std::min(next, m_nextIdle);
    if (m_faults.rebootEveryMs) next = std::min(next, m_nextReboot);
    if (m_watchdog && m_faults.watchdogTimeoutMs) {
        next = std::min(next, m_lastFeed + milliseconds(m_faults.watchdogTimeoutMs));
    }
    return next;
}

std::vector<uint8_t> FirmwareEmulator::DefaultScanLocked() const {
    size_t n = std::min<size_t>(2 * (size_t(m_desc.ledX) + m_desc.ledY), ORDO_MAX_PACKET_CONTENT);
    return std::vector<uint8_t>(std::max<size_t>(n, 1), 0xFF);
}

PullResult FirmwareEmulator::PullInputReport(uint8_t (&report)[ORDO_REPORT_SIZE],
                                             std::chrono::milliseconds wait) {
    std::unique_lock<std::mutex> lock(m_mutex);
    const auto deadline = Clock::now() + wait;
    for (;;) {
        if (m_unplugged) return PullResult::Unplugged;
        auto now = Clock::now();
        RunTimersLocked(now);

        if (m_mode == ORDO_MODE_SOFTWARE && m_scanRate > 0 && !m_scanInProgress &&
            now >= m_nextScan) {
            const auto period = std::chrono::duration_cast<Clock::duration>(
                std::chrono::duration<double>(1.0 / m_scanRate));
            const uint64_t index = m_scanIndex++;
            const uint64_t rebootsBefore = m_counters.reboots;
            // A puller that fell behind skips scans rather than bursting to catch up.
            m_nextScan += period;
            if (m_nextScan <= now) m_nextScan = now + period;
            std::vector<uint8_t> content;
            if (m_scanSource) {
                ScanSource source = m_scanSource;
                m_scanInProgress = true;
                lock.unlock();
                content = source(index);
                lock.lock();
                m_scanInProgress = false;
            } else {
                content = m_rawScanSet ? m_rawScan : DefaultScanLocked();
            }
            if (m_unplugged) return PullResult::Unplugged;
            if (content.size() > ORDO_MAX_PACKET_CONTENT) {
                ++m_counters.oversizeScans;
            } else if (rebootsBefore == m_counters.reboots && m_mode == ORDO_MODE_SOFTWARE) {
                QueuePacketLocked(PACKET_IDEN_TOUCH_DATA, content);
                ++m_counters.scansSent;
            }
            continue;
        }

        if (!m_input.empty()) {
            std::memcpy(report, m_input.front().data(), ORDO_REPORT_SIZE);
            m_input.pop_front();
            ++m_counters.inputReports;
            if (m_faults.unplugAfterReports &&
                m_counters.inputReports >= m_faults.unplugAfterReports) {
                m_unplugged = true;
                m_wake.notify_all();
            }
            return PullResult::Report;
        }
        if (now >= deadline) return PullResult::Timeout;
        m_wake.wait_until(lock, NextEventLocked(deadline));
    }
}

void FirmwareEmulator::SetDescription(const FrameDescription& description) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_desc = description;
}

FrameDescription FirmwareEmulator::Description() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_desc;
}

void FirmwareEmulator::SetFaults(const FaultSettings& faults) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_faults = faults;
    const auto now = Clock::now();
    m_nextIdle = now + std::chrono::milliseconds(faults.idleNoticeMs);
    m_nextReboot = now + std::chrono::milliseconds(faults.rebootEveryMs);
    m_wake.notify_all();
}

FaultSettings FirmwareEmulator::Faults() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_faults;
}

void FirmwareEmulator::SetScanSource(ScanSource source) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_scanSource = std::move(source);
}

void FirmwareEmulator::SetRawScan(std::vector<uint8_t> content) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_rawScan = std::move(content);
    m_rawScanSet = true;
}

void FirmwareEmulator::SetScanRate(double scansPerSecond) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_scanRate = scansPerSecond;
    m_nextScan = Clock::now();
    m_wake.notify_all();
}

double FirmwareEmulator::ScanRate() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_scanRate;
}

uint8_t FirmwareEmulator::Mode() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_mode;
}

bool FirmwareEmulator::WatchdogEnabled() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_watchdog;
}

FrameCounters FirmwareEmulator::Counters() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_counters;
}

void FirmwareEmulator::ResetCounters() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_counters = FrameCounters();
}

uint64_t FirmwareEmulator::RequestCount(uint8_t identifier) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_counters.requestsById.find(identifier);
    return it == m_counters.requestsById.end() ? 0 : it->second;
}

std::vector<uint8_t> FirmwareEmulator::RequestLog() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_counters.requestLog;
}

void FirmwareEmulator::Reboot() {
    std::lock_guard<std::mutex> lock(m_mutex);
    RebootLocked();
}

uint64_t FirmwareEmulator::RebootCount() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_counters.reboots;
}

void FirmwareEmulator::Unplug() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_unplugged = true;
    m_wake.notify_all();
}

bool FirmwareEmulator::IsUnplugged() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_unplugged;
}

}  // namespace VirtualFrame
