#include "VexoOsc/VexoOscSender.h"

#include <cstdio>
#include <exception>

#include "ip/IpEndpointName.h"
#include "ip/NetworkingUtils.h"
#include "ip/UdpSocket.h"
#include "osc/OscOutboundPacketStream.h"

namespace VexoSource {

VexoOscSender::VexoOscSender() = default;

VexoOscSender::~VexoOscSender() { Shutdown(); }

bool VexoOscSender::Setup(const std::string& host, int port) {
    Shutdown();
    const unsigned long address = GetHostByName(host.c_str());
    // The resolver answers 0 both for "0.0.0.0" and for a name it cannot
    // resolve; only the former is a real address.
    if (address == 0 && host != "0.0.0.0") {
        std::fprintf(stderr, "VexoOscSender::Setup: unable to resolve host %s\n", host.c_str());
        return false;
    }
    try {
        m_socket = std::make_unique<UdpTransmitSocket>(IpEndpointName(address, port));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "VexoOscSender::Setup: %s:%d: %s\n", host.c_str(), port, e.what());
        m_socket.reset();
        return false;
    }
    return true;
}

void VexoOscSender::Shutdown() { m_socket.reset(); }

void VexoOscSender::AppendMessage(const VexoOscMessage& message, osc::OutboundPacketStream& p) {
    p << osc::BeginMessage(message.address.c_str());
    for (int i = 0; i < message.getNumArgs(); ++i) {
        const VexoOscArg* arg = message.getArg(i);
        switch (arg->getType()) {
            case VEXO_OSC_TYPE_INT32:
                p << static_cast<osc::int32>(static_cast<const VexoOscArgInt32*>(arg)->get());
                break;
            case VEXO_OSC_TYPE_FLOAT:
                p << static_cast<const VexoOscArgFloat*>(arg)->get();
                break;
            case VEXO_OSC_TYPE_STRING:
                p << static_cast<const VexoOscArgString*>(arg)->get().c_str();
                break;
            default:
                std::fprintf(stderr, "VexoOscSender: argument %d of %s has no OSC type, skipped\n",
                             i, message.address.c_str());
                break;
        }
    }
    p << osc::EndMessage;
}

void VexoOscSender::AppendBundle(const VexoOscBundle& bundle, osc::OutboundPacketStream& p) {
    p << osc::BeginBundleImmediate;
    for (const VexoOscBundle& nested : bundle.bundles) AppendBundle(nested, p);
    for (const VexoOscMessage& message : bundle.messages) AppendMessage(message, p);
    p << osc::EndBundle;
}

bool VexoOscSender::EncodeBundle(const VexoOscBundle& bundle, char* buffer, std::size_t capacity,
                                 std::size_t* size) {
    try {
        osc::OutboundPacketStream p(buffer, capacity);
        AppendBundle(bundle, p);
        *size = p.Size();
        return true;
    } catch (const osc::Exception& e) {
        std::fprintf(stderr, "VexoOscSender: bundle not encoded: %s\n", e.what());
        *size = 0;
        return false;
    }
}

bool VexoOscSender::EncodeMessage(const VexoOscMessage& message, char* buffer, std::size_t capacity,
                                  std::size_t* size) {
    try {
        osc::OutboundPacketStream p(buffer, capacity);
        p << osc::BeginBundleImmediate;
        AppendMessage(message, p);
        p << osc::EndBundle;
        *size = p.Size();
        return true;
    } catch (const osc::Exception& e) {
        std::fprintf(stderr, "VexoOscSender: message not encoded: %s\n", e.what());
        *size = 0;
        return false;
    }
}

void VexoOscSender::SendEncoded(const char* data, std::size_t size) {
    if (!m_socket) {
        std::fprintf(stderr, "VexoOscSender: send before Setup, datagram dropped\n");
        return;
    }
    try {
        m_socket->Send(data, size);
    } catch (const std::exception&) {
        // A lost datagram is superseded by the next frame.
    }
}

void VexoOscSender::SendBundle(const VexoOscBundle& bundle) {
    char buffer[kBundleBufferBytes];
    std::size_t size = 0;
    if (EncodeBundle(bundle, buffer, sizeof buffer, &size)) SendEncoded(buffer, size);
}

void VexoOscSender::SendMessage(const VexoOscMessage& message) {
    char buffer[kMessageBufferBytes];
    std::size_t size = 0;
    if (EncodeMessage(message, buffer, sizeof buffer, &size)) SendEncoded(buffer, size);
}

}  // namespace VexoSource
