#include "VexoNetwork/VexoTCPClient.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "VexoLog/VexoLog.h"

namespace VexoSource {

namespace {

constexpr std::size_t kTerminatorLen = 6;

}  // namespace

VexoTCPClient::~VexoTCPClient() { Close(); }

bool VexoTCPClient::Setup(int id, bool blocking) {
    if (!HasSocket()) return false;
    m_id = id;
    sockaddr_in peer{};
    if (GetRemoteAddr(peer)) {
        char text[INET_ADDRSTRLEN] = {};
        if (::inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text)) m_ip = text;
        m_port = ntohs(peer.sin_port);
    }
    SetNonBlocking(!blocking);
    m_pending.clear();
    m_partial.clear();
    m_bDiscarding = false;
    SetConnected(true);
    return true;
}

bool VexoTCPClient::Setup(const std::string& host, int port, bool blocking) {
    if (!Create()) {
        VEXO_LOG_EXCEPTION(L"Create() failed");
        return false;
    }
    if (!Connect(host.c_str(), port)) {
        VEXO_LOG_EXCEPTION(L"Connect(%hs, %i) failed", host.c_str(), port);
        VexoTCPManager::Close();
        return false;
    }
    SetNonBlocking(!blocking);
    m_id = -1;
    m_port = port;
    m_ip = host;
    m_pending.clear();
    m_partial.clear();
    m_bDiscarding = false;
    SetConnected(true);
    return true;
}

bool VexoTCPClient::Send(const std::string& text) {
    std::string message;
    message.reserve(text.size() + 1);
    message.append(text).push_back('\0');
    return SendTerminated(message.data(), message.size());
}

bool VexoTCPClient::SendTerminated(const char* message, std::size_t len) {
    if (!IsConnected()) {
        VEXO_LOG_EXCEPTION(L"Trying to Send while not connected");
        return false;
    }
    if (len == 0) return false;
    const bool hadPending = !m_pending.empty();
    if (hadPending) {
        const int n = SendAll(m_pending.data(), static_cast<int>(m_pending.size()));
        if (n == 0) return PeerGone();
        if (n < 0) return false;
        if (static_cast<std::size_t>(n) < m_pending.size()) {
            // The previous message is still not out; the new one was not started
            // and is dropped rather than queued, so the backlog stays within one
            // message however slowly the peer reads.
            m_pending.erase(0, static_cast<std::size_t>(n));
            return false;
        }
        m_pending.clear();
    }
    const int n = SendAll(message, static_cast<int>(len));
    if (n == 0) return PeerGone();
    // Nothing of it went out: dropped, unless it follows a rest that just went
    // out, in which case it waits whole in front of the next message.
    if (n < 0) {
        if (!hadPending) return false;
        m_pending.assign(message, len);
        return true;
    }
    if (static_cast<std::size_t>(n) < len) {
        m_pending.assign(message + n, len - static_cast<std::size_t>(n));
    }
    return true;
}

bool VexoTCPClient::PeerGone() {
    VEXO_LOG_EXCEPTION(L"Other side disconnected");
    Close();
    return false;
}

bool VexoTCPClient::SendRaw(const std::string& bytes) {
    if (bytes.empty()) return false;
    return SendRawBytes(bytes.data(), static_cast<int>(bytes.size()));
}

bool VexoTCPClient::SendRawBytes(const void* data, int len) {
    if (len < 1 || data == nullptr) return false;
    const int n = SendAll(data, len);
    if (n == 0) {
        Close();
        return false;
    }
    // Raw bytes carry the caller's own framing, so only a complete send is a
    // success; a full non-blocking socket or a time-out is reported.
    return n == len;
}

void VexoTCPClient::AppendReceived(const char* data, int len) {
    // NUL bytes are not part of any text message; drop every one of them.
    const std::size_t before = m_partial.size();
    for (int i = 0; i < len; ++i) {
        if (data[i] != '\0') m_partial.push_back(data[i]);
    }
    if (m_bDiscarding) {
        const std::size_t from = before >= kTerminatorLen ? before - kTerminatorLen + 1 : 0;
        const std::size_t pos = m_partial.find(kTerminator, from);
        if (pos == std::string::npos) {
            // Keep what could be the start of a terminator split across reads.
            if (m_partial.size() >= kTerminatorLen) {
                m_partial.erase(0, m_partial.size() - (kTerminatorLen - 1));
            }
            return;
        }
        m_partial.erase(0, pos + kTerminatorLen);
        m_bDiscarding = false;
    }
    if (m_partial.size() > kMaxPartialBytes && m_partial.find(kTerminator) == std::string::npos) {
        VEXO_LOG_EXCEPTION(L"Text message longer than %i bytes without terminator dropped",
                           static_cast<int>(kMaxPartialBytes));
        m_partial.erase(0, m_partial.size() - (kTerminatorLen - 1));
        m_bDiscarding = true;
    }
}

std::string VexoTCPClient::Receive() {
    m_message.clear();
    if (m_partial.find(kTerminator) == std::string::npos) {
        std::memset(m_buf, 0, sizeof m_buf);
        const int n = VexoTCPManager::Receive(m_buf, kRawReceiveBytes);
        const int err = errno;
        if (n > 0) AppendReceived(m_buf, n);
        if (n == 0 || (n == -1 && err == ECONNRESET)) Close();
        if (n <= 0 && (m_partial.empty() || m_bDiscarding)) return m_message;
    }
    const std::size_t pos = m_bDiscarding ? std::string::npos : m_partial.find(kTerminator);
    if (pos != std::string::npos) {
        m_message.assign(m_partial, 0, pos);
        m_partial.erase(0, pos + kTerminatorLen);
    }
    return m_message;
}

std::string VexoTCPClient::ReceiveRaw() {
    std::memset(m_buf, 0, sizeof m_buf);
    const int n = ReceiveRawBytes(m_buf, kRawReceiveBytes);
    if (n <= 0) return "";
    return std::string(m_buf, ::strnlen(m_buf, static_cast<std::size_t>(n)));
}

int VexoTCPClient::ReceiveRawBytes(void* buf, int len) {
    if (len < 1 || buf == nullptr) return -1;
    const int n = VexoTCPManager::Receive(buf, len);
    const int err = errno;
    m_numReceived = n;
    if (n == 0) {
        VEXO_LOG_EXCEPTION(L"Client Closed for 0 byte was received");
        Close();
    } else if (n == -1 && err == ECONNRESET) {
        Close();
    }
    return n;
}

bool VexoTCPClient::HasWaitingBytes() const {
    if (!IsConnected() || !HasSocket()) return false;
    char byte;
    ssize_t n;
    do {
        n = ::recv(m_hSocket, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    return n > 0;
}

bool VexoTCPClient::Close() {
    if (!IsConnected()) return true;
    SetConnected(false);
    if (!VexoTCPManager::Close()) {
        VEXO_LOG_EXCEPTION(L"Close() failed");
        return false;
    }
    return true;
}

}  // namespace VexoSource
