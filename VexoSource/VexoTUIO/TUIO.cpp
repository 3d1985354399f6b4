#include "VexoTUIO/TUIO.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>

#include "VexoLog/VexoLog.h"
#include "VexoTUIO/TUIOEncode.h"
#include "VexoUtils/VexoUtils.h"

namespace VexoSource {

namespace {

// OSC pieces, each already padded to four bytes.
constexpr char kCurAddress[] = "/tuio/2Dcur";  // 11 characters + NUL
constexpr char kBlbAddress[] = "/tuio/2Dblb";
constexpr char kCurSetTags[] = ",sifffff\0\0\0";          // 12 with the NUL
constexpr char kBlbSetTags[] = ",sifffffffffff\0";        // 16 with the NUL
constexpr char kSet[] = "set";                             // 4
constexpr char kAlive[] = "alive\0\0";                     // 8
constexpr char kFseq[] = "fseq\0\0\0";                     // 8
constexpr char kFseqTags[] = ",si";                        // 4

constexpr std::size_t kBundleHeadBytes = 16;
// Size prefix, address, tags, "set", id and the floats.
constexpr std::size_t kCurSetBytes = 4 + 12 + 12 + 4 + 4 + 5 * 4;
constexpr std::size_t kBlbSetBytes = 4 + 12 + 16 + 4 + 4 + 11 * 4;
constexpr std::size_t kFseqBytes = 4 + 12 + 4 + 8 + 4;

constexpr std::size_t AliveBytes(std::size_t ids) {
    return 4 + 12 + ((2 + ids + 4) & ~std::size_t{3}) + 8 + 4 * ids;
}

bool IsActive(const uint32_t* flags, uint32_t i) { return flags != nullptr && flags[i] != 0; }

// Copies a literal without its terminating NUL.
template <std::size_t N>
char* Put(char* out, const char (&text)[N]) {
    std::memcpy(out, text, N - 1);
    return out + N - 1;
}

char* PutInt(char* out, int value) { return std::to_chars(out, out + 12, value).ptr; }

char* PutIntArgument(char* out, int value) {
    out = Put(out, "<ARGUMENT TYPE=\"i\" VALUE=\"");
    out = PutInt(out, value);
    return Put(out, "\"/>");
}

char* PutFloatArgument(char* out, float value) {
    out = Put(out, "<ARGUMENT TYPE=\"f\" VALUE=\"");
    out = TUIOWriteFixed6(out, value);
    return Put(out, "\"/>");
}

// Upper bounds of the XML text: the fixed text plus the longest numbers.
constexpr std::size_t kXmlFixedBytes = 512;
constexpr std::size_t kXmlPerTouchBytes = 640;

// Writes the XML packet followed by one NUL into `buffer` (grown when too
// small); returns the length with the NUL.
std::size_t WriteXml(std::vector<char>& buffer, const VexoTouch_S* touches, uint32_t count,
                     const uint32_t* flags, int32_t frameSeq, int32_t tcpPort, float seconds) {
    if (touches == nullptr) count = 0;
    uint32_t active = 0;
    for (uint32_t i = 0; i < count; ++i) active += IsActive(flags, i) ? 1u : 0u;
    const std::size_t bound = kXmlFixedBytes + kXmlPerTouchBytes * active;
    if (buffer.size() < bound) buffer.resize(bound);
    char* const start = buffer.data();
    char* out = Put(start, "<OSCPACKET COMPANY=\"Ostrel\" ADDRESS=\"127.0.0.1\" PORT=\"");
    out = PutInt(out, tcpPort);
    out = Put(out, "\" TIME=\"");
    out = TUIOWriteFixed6(out, seconds);
    out = Put(out, "\">");
    for (uint32_t i = 0; i < count; ++i) {
        if (!IsActive(flags, i)) continue;
        const VexoTouch_S& t = touches[i];
        out = Put(out, "<MESSAGE NAME=\"/tuio/2Dcur\"><ARGUMENT TYPE=\"s\" VALUE=\"set\"/>");
        out = PutIntArgument(out, static_cast<int>(t.id));
        out = PutFloatArgument(out, t.x);
        out = PutFloatArgument(out, t.y);
        // The two velocity places carry integer zeros, read "0" by the parser.
        out = Put(out, "<ARGUMENT TYPE=\"f\" VALUE=\"0\"/><ARGUMENT TYPE=\"f\" VALUE=\"0\"/>");
        out = PutFloatArgument(out, t.area);
        out = PutFloatArgument(out, t.width);
        out = PutFloatArgument(out, t.height);
        out = Put(out, "</MESSAGE>");
    }
    out = Put(out, "<MESSAGE NAME=\"/tuio/2Dcur\"><ARGUMENT TYPE=\"s\" VALUE=\"alive\"/>");
    for (uint32_t i = 0; i < count; ++i) {
        if (IsActive(flags, i)) out = PutIntArgument(out, static_cast<int>(touches[i].id));
    }
    out = Put(out, "</MESSAGE><MESSAGE NAME=\"/tuio/2Dcur\"><ARGUMENT TYPE=\"s\" VALUE=\"fseq\"/>");
    out = PutIntArgument(out, frameSeq);
    out = Put(out, "</MESSAGE></OSCPACKET>");
    *out++ = '\0';
    return static_cast<std::size_t>(out - start);
}

double MonotonicSeconds() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

float FiniteOrZero(double value) { return std::isfinite(value) ? static_cast<float>(value) : 0.0f; }

}  // namespace

bool TUIO::Setup(const char* host, int32_t tcpPort, int32_t udpPort, int32_t udpMode,
                 int32_t tcpMode) {
    m_host = host ? host : "";
    m_udpPort = udpPort;
    m_tcpPort = tcpPort;
    m_bUdpMode = udpMode != 0;
    m_bTcpMode = tcpMode != 0;
    m_frameSeq = 0;
    const bool tcpUp = m_server.Setup(tcpPort, false);
    if (tcpUp) m_tcpPort = m_server.GetPort();
    const bool udpUp = m_oscSender.Setup(m_host, udpPort);
    return tcpUp && udpUp;
}

std::size_t TUIO::Configure(const TUIOSettings& settings) {
    m_profile = settings.profile;
    m_datagramBytes =
        std::clamp(settings.datagramBytes, kTUIOMinDatagramBytes, kTUIOMaxDatagramBytes);
    if (!settings.udpTargets.empty()) {
        m_oscSender.Shutdown();
        m_extraSenders.clear();
        std::vector<const TUIOTarget*> used;
        for (const TUIOTarget& target : settings.udpTargets) {
            const bool repeated = std::any_of(used.begin(), used.end(), [&](const TUIOTarget* u) {
                return u->host == target.host && u->port == target.port;
            });
            if (repeated) continue;  // one copy of each frame per destination
            bool up = false;
            if (!m_oscSender.IsSetup()) {
                up = m_oscSender.Setup(target.host, target.port);
                if (up) {
                    m_host = target.host;
                    m_udpPort = target.port;
                }
            } else {
                auto sender = std::make_unique<VexoOscSender>();
                up = sender->Setup(target.host, target.port);
                if (up) m_extraSenders.push_back(std::move(sender));
            }
            if (up) {
                used.push_back(&target);
            } else {
                VEXO_LOG_EXCEPTION(L"TUIO UDP target %hs:%i could not be set up; skipped",
                                   target.host.c_str(), static_cast<int>(target.port));
            }
        }
        if (used.empty()) VEXO_LOG_EXCEPTION(L"No TUIO UDP target could be set up");
    }
    return (m_oscSender.IsSetup() ? 1u : 0u) + m_extraSenders.size();
}

std::string_view TUIO::GetDatagram(std::size_t i) const {
    if (i >= m_datagramEnds.size()) return {};
    const std::size_t begin = i == 0 ? 0 : m_datagramEnds[i - 1];
    return std::string_view(m_osc.data() + begin, m_datagramEnds[i] - begin);
}

std::string TUIO::ComposeXml(const VexoTouch_S* touches, uint32_t count, const uint32_t* flags,
                             int32_t frameSeq, int32_t tcpPort, float seconds) {
    std::vector<char> buffer;
    const std::size_t size = WriteXml(buffer, touches, count, flags, frameSeq, tcpPort, seconds);
    return std::string(buffer.data(), size - 1);
}

void TUIO::SendMsg(const VexoTouch_S* touches, uint32_t count, const uint32_t* flags) {
    SendMsg(touches, count, flags, MonotonicSeconds());
}

void TUIO::SendMsg(const VexoTouch_S* touches, uint32_t count, const uint32_t* flags,
                   double frameSeconds) {
    // Wraps as a 32-bit two's-complement counter, without signed overflow.
    m_frameSeq = static_cast<int32_t>(static_cast<uint32_t>(m_frameSeq) + 1u);
    if (touches == nullptr) count = 0;
    if (m_bUdpMode) {
        // Branch-free: the active slots are scattered, so a branch per slot
        // would mostly be mispredicted.
        if (m_active.size() < count) m_active.resize(count);
        std::size_t n = 0;
        if (flags != nullptr) {
            for (uint32_t i = 0; i < count; ++i) {
                m_active[n] = i;
                n += flags[i] != 0 ? 1 : 0;
            }
        }
        m_activeCount = n;
        m_writer.Clear();
        m_datagramEnds.clear();
        if (m_profile == TUIOProfile::Standard) {
            UpdateMotion(count, flags, touches, frameSeconds);
            EncodeStandardProfile(touches, false);
            EncodeStandardProfile(touches, true);
        } else {
            EncodeDefault(touches);
        }
        SendDatagrams();
    }
    // Without a client the packet would only be dropped; skip composing it.
    if (m_bTcpMode && m_server.GetNumClients() > 0) {
        const std::size_t size = WriteXml(m_xml, touches, count, flags, m_frameSeq, m_tcpPort,
                                          VexoGetElapsedTimef());
        m_server.SendTerminatedToAll(m_xml.data(), size);
    }
}

void TUIO::UpdateMotion(uint32_t count, const uint32_t* flags, const VexoTouch_S* touches,
                        double now) {
    if (m_motion.size() < count) m_motion.resize(count);
    for (uint32_t i = 0; i < m_motion.size(); ++i) {
        Motion& m = m_motion[i];
        if (i >= count || !IsActive(flags, i)) {
            m.present = false;
            continue;
        }
        const float x = touches[i].x;
        const float y = touches[i].y;
        if (!m.present) {
            m = Motion{};
            m.present = true;
            m.x = x;
            m.y = y;
            m.changedAt = now;
            continue;
        }
        const double dt = now - m.changedAt;
        if (x != m.x || y != m.y) {
            // A change within the same instant is measured once time has passed.
            if (!(dt > 0.0)) continue;
            const double vx = (static_cast<double>(x) - m.x) / dt;
            const double vy = (static_cast<double>(y) - m.y) / dt;
            const double speed = std::hypot(vx, vy);
            if (std::isfinite(speed)) {
                m.accel = FiniteOrZero((speed - m.speed) / dt);
                m.vx = static_cast<float>(vx);
                m.vy = static_cast<float>(vy);
                m.speed = static_cast<float>(speed);
            } else {
                m.vx = m.vy = m.speed = m.accel = 0.0f;
            }
            m.x = x;
            m.y = y;
            m.changedAt = now;
        } else if (dt > kVelocityHoldSeconds && (m.speed != 0.0f || m.accel != 0.0f)) {
            // Held still past the hold: halted, decelerating over the time it took.
            m.accel = m.speed != 0.0f ? FiniteOrZero(-m.speed / dt) : 0.0f;
            m.vx = m.vy = m.speed = 0.0f;
        }
    }
}

void TUIO::EncodeDefault(const VexoTouch_S* touches) {
    const std::size_t n = m_activeCount;
    TUIOOscWriter& w = m_writer;
    w.Reserve(kBundleHeadBytes + n * kCurSetBytes + AliveBytes(n) + kFseqBytes);
    w.BeginBundleImmediate();
    for (std::size_t k = 0; k < m_activeCount; ++k) {
        const VexoTouch_S& t = touches[m_active[k]];
        const std::size_t element = w.BeginElement();
        w.Padded(kCurAddress, 12);
        w.Padded(kCurSetTags, 12);
        w.Padded(kSet, 4);
        w.Int(static_cast<int32_t>(t.id));
        w.Float(t.x);
        w.Float(t.y);
        w.Float(kSetThirdFloat);
        w.Float(t.width);
        w.Float(t.height);
        w.EndElement(element);
    }
    WriteAlive(touches, kCurAddress);
    WriteFseq(kCurAddress);
    m_datagramEnds.push_back(w.Size());
}

void TUIO::WriteAlive(const VexoTouch_S* touches, const char* address) {
    TUIOOscWriter& w = m_writer;
    const std::size_t element = w.BeginElement();
    w.Padded(address, 12);
    w.StringThenInts(m_activeCount);
    w.Padded(kAlive, 8);
    for (std::size_t k = 0; k < m_activeCount; ++k) {
        w.Int(static_cast<int32_t>(touches[m_active[k]].id));
    }
    w.EndElement(element);
}

void TUIO::WriteFseq(const char* address) {
    TUIOOscWriter& w = m_writer;
    const std::size_t element = w.BeginElement();
    w.Padded(address, 12);
    w.Padded(kFseqTags, 4);
    w.Padded(kFseq, 8);
    w.Int(m_frameSeq);
    w.EndElement(element);
}

void TUIO::EncodeStandardProfile(const VexoTouch_S* touches, bool blobs) {
    const std::size_t n = m_activeCount;
    const char* address = blobs ? kBlbAddress : kCurAddress;
    const std::size_t setBytes = blobs ? kBlbSetBytes : kCurSetBytes;
    const std::size_t fixed = kBundleHeadBytes + AliveBytes(n) + kFseqBytes;
    // When the alive list alone fills a datagram, each bundle still carries one
    // set so that the frame goes out whole, in datagrams above the limit.
    const std::size_t perBundle =
        std::max<std::size_t>(1, m_datagramBytes > fixed ? (m_datagramBytes - fixed) / setBytes : 0);
    TUIOOscWriter& w = m_writer;
    std::size_t next = 0;
    do {
        const std::size_t end = std::min(n, next + perBundle);
        w.Reserve(fixed + (end - next) * setBytes);
        w.BeginBundleImmediate();
        // Every part lists all living touches, so a receiver that handles one
        // part before the next never takes the others for gone.
        WriteAlive(touches, address);
        for (; next < end; ++next) {
            const VexoTouch_S& t = touches[m_active[next]];
            const Motion& m = m_motion[m_active[next]];
            const std::size_t element = w.BeginElement();
            w.Padded(address, 12);
            w.Padded(blobs ? kBlbSetTags : kCurSetTags, blobs ? 16 : 12);
            w.Padded(kSet, 4);
            w.Int(static_cast<int32_t>(t.id));
            w.Float(t.x);
            w.Float(t.y);
            if (blobs) {
                w.Float(0.0f);  // angle: the box is axis-aligned
                w.Float(t.width);
                w.Float(t.height);
                w.Float(t.area);
            }
            w.Float(m.vx);
            w.Float(m.vy);
            if (blobs) w.Float(0.0f);  // rotation speed
            w.Float(m.accel);
            if (blobs) w.Float(0.0f);  // rotation acceleration
            w.EndElement(element);
        }
        WriteFseq(address);
        m_datagramEnds.push_back(w.Size());
    } while (next < n);
}

void TUIO::SendDatagrams() {
    for (std::size_t i = 0; i < m_datagramEnds.size(); ++i) {
        const std::string_view datagram = GetDatagram(i);
        if (m_oscSender.IsSetup()) m_oscSender.SendEncoded(datagram.data(), datagram.size());
        for (const auto& sender : m_extraSenders) {
            sender->SendEncoded(datagram.data(), datagram.size());
        }
    }
}

}  // namespace VexoSource
