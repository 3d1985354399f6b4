#include "VexoTUIO/TUIO.h"

#include <charconv>
#include <cstdio>

#include "VexoUtils/VexoUtils.h"

namespace VexoSource {

namespace {

constexpr const char* kAddress = "/tuio/2Dcur";

bool IsActive(const uint32_t* flags, uint32_t i) { return flags != nullptr && flags[i] != 0; }

void AppendInt(std::string& out, int value) {
    char text[16];
    const auto result = std::to_chars(text, text + sizeof text, value);
    out.append(text, result.ptr);
}

// Same text as printf "%f" (both are exact conversions rounded to six
// places), at a fraction of the cost; a frame writes up to 224 of them.
void AppendFloat(std::string& out, float value) {
    // A float can need 39 integer digits; such a value is a fault upstream,
    // but must still be written whole.
    char text[64];
    const auto result = std::to_chars(text, text + sizeof text, static_cast<double>(value),
                                      std::chars_format::fixed, 6);
    if (result.ec == std::errc()) {
        out.append(text, result.ptr);
    } else {
        const int n = std::snprintf(text, sizeof text, "%f", static_cast<double>(value));
        out.append(text, static_cast<std::size_t>(n));
    }
}

void AppendIntArgument(std::string& out, int value) {
    out += "<ARGUMENT TYPE=\"i\" VALUE=\"";
    AppendInt(out, value);
    out += "\"/>";
}

void AppendFloatArgument(std::string& out, float value) {
    out += "<ARGUMENT TYPE=\"f\" VALUE=\"";
    AppendFloat(out, value);
    out += "\"/>";
}

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

VexoOscBundle TUIO::ComposeBundle(const VexoTouch_S* touches, uint32_t count, const uint32_t* flags,
                                  int32_t frameSeq) {
    if (touches == nullptr) count = 0;
    int active = 0;
    for (uint32_t i = 0; i < count; ++i) active += IsActive(flags, i) ? 1 : 0;
    VexoOscBundle bundle;
    bundle.messages.reserve(static_cast<std::size_t>(active) + 2);
    VexoOscMessage alive;
    alive.address = kAddress;
    alive.reserveArgs(active + 1);
    alive.addStringArg("alive");
    for (uint32_t i = 0; i < count; ++i) {
        if (!IsActive(flags, i)) continue;
        const VexoTouch_S& t = touches[i];
        VexoOscMessage set;
        set.address = kAddress;
        set.reserveArgs(7);
        set.addStringArg("set");
        set.addIntArg(static_cast<int32_t>(t.id));
        set.addFloatArg(t.x);
        set.addFloatArg(t.y);
        set.addFloatArg(kSetThirdFloat);
        set.addFloatArg(t.width);
        set.addFloatArg(t.height);
        bundle.addMessage(std::move(set));
        alive.addIntArg(static_cast<int32_t>(t.id));
    }
    bundle.addMessage(std::move(alive));
    VexoOscMessage fseq;
    fseq.address = kAddress;
    fseq.addStringArg("fseq");
    fseq.addIntArg(frameSeq);
    bundle.addMessage(std::move(fseq));
    return bundle;
}

std::string TUIO::ComposeXml(const VexoTouch_S* touches, uint32_t count, const uint32_t* flags,
                             int32_t frameSeq, int32_t tcpPort, float seconds) {
    if (touches == nullptr) count = 0;
    std::string out;
    out.reserve(512);
    out += "<OSCPACKET COMPANY=\"Ostrel\" ADDRESS=\"127.0.0.1\" PORT=\"";
    AppendInt(out, tcpPort);
    out += "\" TIME=\"";
    AppendFloat(out, seconds);
    out += "\">";
    for (uint32_t i = 0; i < count; ++i) {
        if (!IsActive(flags, i)) continue;
        const VexoTouch_S& t = touches[i];
        out += "<MESSAGE NAME=\"/tuio/2Dcur\"><ARGUMENT TYPE=\"s\" VALUE=\"set\"/>";
        AppendIntArgument(out, static_cast<int>(t.id));
        AppendFloatArgument(out, t.x);
        AppendFloatArgument(out, t.y);
        // The two velocity places carry integer zeros, read "0" by the parser.
        out += "<ARGUMENT TYPE=\"f\" VALUE=\"0\"/><ARGUMENT TYPE=\"f\" VALUE=\"0\"/>";
        AppendFloatArgument(out, t.area);
        AppendFloatArgument(out, t.width);
        AppendFloatArgument(out, t.height);
        out += "</MESSAGE>";
    }
    out += "<MESSAGE NAME=\"/tuio/2Dcur\"><ARGUMENT TYPE=\"s\" VALUE=\"alive\"/>";
    for (uint32_t i = 0; i < count; ++i) {
        if (IsActive(flags, i)) AppendIntArgument(out, static_cast<int>(touches[i].id));
    }
    out += "</MESSAGE><MESSAGE NAME=\"/tuio/2Dcur\"><ARGUMENT TYPE=\"s\" VALUE=\"fseq\"/>";
    AppendIntArgument(out, frameSeq);
    out += "</MESSAGE></OSCPACKET>";
    return out;
}

void TUIO::SendMsg(const VexoTouch_S* touches, uint32_t count, const uint32_t* flags) {
    // Wraps as a 32-bit two's-complement counter, without signed overflow.
    m_frameSeq = static_cast<int32_t>(static_cast<uint32_t>(m_frameSeq) + 1u);
    if (m_bUdpMode) {
        m_oscSender.SendBundle(ComposeBundle(touches, count, flags, m_frameSeq));
    }
    // Without a client the packet would only be dropped; skip composing it.
    if (m_bTcpMode && m_server.GetNumClients() > 0) {
        m_server.SendToAll(
            ComposeXml(touches, count, flags, m_frameSeq, m_tcpPort, VexoGetElapsedTimef()));
    }
}

}  // namespace VexoSource
