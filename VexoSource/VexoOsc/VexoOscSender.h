#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "VexoOsc/VexoOscBundle.h"
#include "VexoOsc/VexoOscMessage.h"

class UdpTransmitSocket;
namespace osc {
class OutboundPacketStream;
}

namespace VexoSource {

// Sends OSC bundles and messages as single UDP datagrams. Send errors are not
// reported: a lost datagram is superseded by the next frame.
class VexoOscSender {
public:
    static constexpr std::size_t kBundleBufferBytes = 32768;
    static constexpr std::size_t kMessageBufferBytes = 16384;

    VexoOscSender();
    ~VexoOscSender();
    VexoOscSender(const VexoOscSender&) = delete;
    VexoOscSender& operator=(const VexoOscSender&) = delete;

    // Replaces any socket with one connected to host:port. Returns false (and
    // leaves the sender without a socket) when the host does not resolve or
    // the socket cannot be made.
    bool Setup(const std::string& host, int port);
    void Shutdown();
    bool IsSetup() const { return m_socket != nullptr; }

    void SendBundle(const VexoOscBundle& bundle);
    void SendMessage(const VexoOscMessage& message);
    // Sends bytes encoded elsewhere as one datagram.
    void SendEncoded(const char* data, std::size_t size);

    // Encode into a caller's buffer; false when it does not fit. Public so the
    // encoding can be checked without a socket.
    static bool EncodeBundle(const VexoOscBundle& bundle, char* buffer, std::size_t capacity,
                             std::size_t* size);
    static bool EncodeMessage(const VexoOscMessage& message, char* buffer, std::size_t capacity,
                              std::size_t* size);

private:
    static void AppendBundle(const VexoOscBundle& bundle, osc::OutboundPacketStream& p);
    static void AppendMessage(const VexoOscMessage& message, osc::OutboundPacketStream& p);

    std::unique_ptr<UdpTransmitSocket> m_socket;
};

}  // namespace VexoSource
