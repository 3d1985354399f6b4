// One TCP connection, accepted by a server or connected out, with text
// messages: sent as text + NUL, received up to the terminator "[/TCP]".
#pragma once

#include <atomic>
#include <string>

#include "VexoNetwork/VexoTCPManager.h"

namespace VexoSource {

class VexoTCPClient : public VexoTCPManager {
public:
    static constexpr int kRawReceiveBytes = 512;
    // A text receive that has not met its terminator within this many bytes
    // is dropped, so a peer that never frames cannot grow memory without end.
    static constexpr std::size_t kMaxPartialBytes = 64 * 1024;
    static constexpr const char* kTerminator = "[/TCP]";

    VexoTCPClient() = default;
    ~VexoTCPClient() override;

    // For a socket just accepted into this object.
    bool Setup(int id, bool blocking);
    // Outgoing connection.
    bool Setup(const std::string& host, int port, bool blocking);

    // Writes the unsent rest of the previous message, then text + NUL. On a
    // non-blocking socket a message that only partly fits is finished in front
    // of the next one. False when the text could not be queued at all (the
    // peer is gone, or the socket is full before the previous message is out).
    bool Send(const std::string& text);
    // The same for a message that already ends with its NUL (len counts it),
    // from the caller's buffer: no copy unless part of it has to wait.
    bool SendTerminated(const char* message, std::size_t len);
    // Raw bytes, no terminator. True only when every byte went out; a peer
    // that is gone closes the client.
    bool SendRaw(const std::string& bytes);
    bool SendRawBytes(const void* data, int len);

    // The next complete text message, or "" when none is complete yet.
    std::string Receive();
    std::string ReceiveRaw();
    int ReceiveRawBytes(void* buf, int len);
    // True when received bytes wait to be read; reads nothing, never blocks, and does not see
    // the peer's close as data.
    bool HasWaitingBytes() const;

    bool Close();

    bool IsConnected() const { return m_bConnected.load(std::memory_order_acquire); }
    int GetPort() const { return m_port; }
    const std::string& GetIP() const { return m_ip; }
    int GetID() const { return m_id; }
    int GetNumReceivedBytes() const { return m_numReceived; }
    // Unsent rest of the last text message, NUL included.
    const std::string& GetPending() const { return m_pending; }
    // Received text still waiting for its terminator.
    const std::string& GetPartial() const { return m_partial; }

private:
    void AppendReceived(const char* data, int len);
    // Logs the departure and closes; false, for the send that found it.
    bool PeerGone();
    void SetConnected(bool connected) { m_bConnected.store(connected, std::memory_order_release); }

    char m_buf[kRawReceiveBytes + 1] = {};
    std::string m_message;
    std::string m_partial;
    std::string m_ip = "000.000.000.000";
    int m_id = -1;
    int m_numReceived = 0;
    int m_port = 0;
    // Read by the server's accept thread when it sweeps departed clients.
    std::atomic<bool> m_bConnected{false};
    std::string m_pending;
    bool m_bDiscarding = false;
};

}  // namespace VexoSource
