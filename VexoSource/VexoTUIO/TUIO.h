// The TUIO cursor output: every frame goes out as OSC over UDP to each target
// and as an XML text packet to every client of a TCP server.
//
// Both routes encode straight from the touch table into buffers this object
// owns; once they have grown to the largest frame seen, a frame allocates
// nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "VexoNetwork/VexoTCPServer.h"
#include "VexoOsc/VexoOscSender.h"
#include "VexoTUIO/TUIOEncode.h"
#include "VexoTUIO/TUIOSettings.h"
#include "VexoTUIO/VexoTouch.h"

namespace VexoSource {

class TUIO {
public:
    static constexpr int32_t kDefaultTcpPort = 3000;
    static constexpr int32_t kDefaultUdpPort = 3333;
    // Sent where TUIO 1.1 puts the X velocity, in the default profile.
    static constexpr float kSetThirdFloat = 0.01f;
    // How long a touch that has stopped changing position keeps its last
    // velocity in the standard profile: a frame that scans more slowly than
    // 100 Hz repeats positions between its scans, and those repeats are not a
    // halt.
    static constexpr double kVelocityHoldSeconds = 0.05;

    TUIO() = default;
    ~TUIO() = default;
    TUIO(const TUIO&) = delete;
    TUIO& operator=(const TUIO&) = delete;

    // Starts the TCP server (non-blocking clients) and points the OSC route at
    // host:udpPort. Both routes are set up whatever the modes say; the modes
    // only decide which routes SendMsg uses. A TCP port of 0 takes a free port,
    // which GetTcpPort() then reports. True when both routes came up; a route
    // that did not is logged and the other works regardless.
    bool Setup(const char* host, int32_t tcpPort = kDefaultTcpPort,
               int32_t udpPort = kDefaultUdpPort, int32_t udpMode = 1, int32_t tcpMode = 1);

    // Takes the profile and datagram size; a non-empty target list replaces
    // the OSC route's destinations. A target that cannot be set up is logged
    // and left out. Returns the number of UDP targets now in use.
    std::size_t Configure(const TUIOSettings& settings);

    // Sends one frame: slot i of `touches` is active when flags[i] != 0; active
    // slots go out in ascending order. Advances the frame number first, so
    // both routes of one call carry the same one. Velocities of the standard
    // profile are taken against the monotonic clock.
    void SendMsg(const VexoTouch_S* touches, uint32_t count, const uint32_t* flags);
    // The same at a given frame time (seconds on any steadily rising clock).
    void SendMsg(const VexoTouch_S* touches, uint32_t count, const uint32_t* flags,
                 double frameSeconds);

    // The XML packet of a frame, without the NUL the TCP route adds.
    static std::string ComposeXml(const VexoTouch_S* touches, uint32_t count, const uint32_t* flags,
                                  int32_t frameSeq, int32_t tcpPort, float seconds);

    // What the last SendMsg encoded for the OSC route: its datagrams in order.
    std::size_t GetDatagramCount() const { return m_datagramEnds.size(); }
    std::string_view GetDatagram(std::size_t i) const;

    int32_t GetFrameSeq() const { return m_frameSeq; }
    int32_t GetTcpPort() const { return m_tcpPort; }
    int32_t GetUdpPort() const { return m_udpPort; }
    TUIOProfile GetProfile() const { return m_profile; }
    VexoTCPServer& GetServer() { return m_server; }

private:
    // Motion of one slot in the standard profile, as of its last change of
    // position.
    struct Motion {
        bool present = false;
        float x = 0.0f;
        float y = 0.0f;
        double changedAt = 0.0;
        float vx = 0.0f;
        float vy = 0.0f;
        float speed = 0.0f;
        float accel = 0.0f;
    };

    void UpdateMotion(uint32_t count, const uint32_t* flags, const VexoTouch_S* touches,
                      double now);
    void EncodeDefault(const VexoTouch_S* touches);
    // One profile's bundles, split so none exceeds the datagram size.
    void EncodeStandardProfile(const VexoTouch_S* touches, bool blobs);
    void WriteAlive(const VexoTouch_S* touches, const char* address);
    void WriteFseq(const char* address);
    void SendDatagrams();

    VexoTCPServer m_server;
    VexoOscSender m_oscSender;
    // Further UDP targets beyond the first, each sent every frame.
    std::vector<std::unique_ptr<VexoOscSender>> m_extraSenders;
    std::string m_host;
    int32_t m_udpPort = kDefaultUdpPort;
    int32_t m_tcpPort = kDefaultTcpPort;
    bool m_bUdpMode = false;
    bool m_bTcpMode = false;
    int32_t m_frameSeq = 0;
    TUIOProfile m_profile = TUIOProfile::Default;
    std::size_t m_datagramBytes = kTUIODefaultDatagramBytes;

    std::vector<char> m_osc;
    TUIOOscWriter m_writer{m_osc};
    std::vector<std::size_t> m_datagramEnds;
    std::vector<char> m_xml;
    std::vector<Motion> m_motion;
    // Active slots of the frame being encoded: the first m_activeCount entries.
    std::vector<uint32_t> m_active;
    std::size_t m_activeCount = 0;
};

}  // namespace VexoSource
