// The TUIO cursor output: every frame goes out as an OSC bundle over UDP and as
// an XML text packet to every client of a TCP server.
#pragma once

#include <cstdint>
#include <string>

#include "VexoNetwork/VexoTCPServer.h"
#include "VexoOsc/VexoOscBundle.h"
#include "VexoOsc/VexoOscSender.h"
#include "VexoTUIO/VexoTouch.h"

namespace VexoSource {

class TUIO {
public:
    static constexpr int32_t kDefaultTcpPort = 3000;
    static constexpr int32_t kDefaultUdpPort = 3333;
    // Sent where TUIO 1.1 puts the X velocity.
    static constexpr float kSetThirdFloat = 0.01f;

    TUIO() = default;
    ~TUIO() = default;
    TUIO(const TUIO&) = delete;
    TUIO& operator=(const TUIO&) = delete;

    // Starts the TCP server (non-blocking clients) and points the OSC sender at
    // host:udpPort. Both routes are set up whatever the modes say; the modes
    // only decide which routes SendMsg uses. A TCP port of 0 takes a free port,
    // which GetTcpPort() then reports. True when both routes came up; a route
    // that did not is logged and the other works regardless.
    bool Setup(const char* host, int32_t tcpPort = kDefaultTcpPort,
               int32_t udpPort = kDefaultUdpPort, int32_t udpMode = 1, int32_t tcpMode = 1);

    // Sends one frame: slot i of `touches` is active when flags[i] != 0; active
    // slots go out in ascending order. Advances the frame number first, so
    // both routes of one call carry the same one.
    void SendMsg(const VexoTouch_S* touches, uint32_t count, const uint32_t* flags);

    // Frame composition without sending, shared by SendMsg and its checks.
    static VexoOscBundle ComposeBundle(const VexoTouch_S* touches, uint32_t count,
                                       const uint32_t* flags, int32_t frameSeq);
    static std::string ComposeXml(const VexoTouch_S* touches, uint32_t count, const uint32_t* flags,
                                  int32_t frameSeq, int32_t tcpPort, float seconds);

    int32_t GetFrameSeq() const { return m_frameSeq; }
    int32_t GetTcpPort() const { return m_tcpPort; }
    int32_t GetUdpPort() const { return m_udpPort; }
    VexoTCPServer& GetServer() { return m_server; }

private:
    VexoTCPServer m_server;
    VexoOscSender m_oscSender;
    std::string m_host;
    int32_t m_udpPort = kDefaultUdpPort;
    int32_t m_tcpPort = kDefaultTcpPort;
    bool m_bUdpMode = false;
    bool m_bTcpMode = false;
    int32_t m_frameSeq = 0;
};

}  // namespace VexoSource
