#include "VexoNetwork/VexoTCPServer.h"

#include <cstdint>
#include <limits>

#include "VexoLog/VexoLog.h"
#include "VexoUtils/VexoUtils.h"

namespace VexoSource {

namespace {

// Pause after a failed accept, so a persistent failure (out of descriptors)
// does not spin on a listener that keeps reporting readiness.
constexpr u32 kAcceptRetryMs = 100;

}  // namespace

VexoTCPServer::VexoTCPServer() = default;

VexoTCPServer::~VexoTCPServer() {
    Close();
    StopThread();
}

bool VexoTCPServer::Setup(int port, bool blocking) { return Setup(port, blocking, ""); }

bool VexoTCPServer::Setup(int port, bool blocking, const std::string& address) {
    if (m_bListening) return false;
    if (!m_listener.Create()) {
        VEXO_LOG_EXCEPTION(L"Create() failed");
        return false;
    }
    if (!m_listener.Bind(port, address.empty() ? nullptr : address.c_str())) {
        VEXO_LOG_EXCEPTION(L"Bind(port = %i) failed", port);
        m_listener.Close();
        return false;
    }
    // Listening before the thread starts means a peer may connect as soon as
    // Setup has returned.
    if (!m_listener.Listen(kListenBacklog)) {
        VEXO_LOG_EXCEPTION(L"Listen() failed");
        m_listener.Close();
        return false;
    }
    // Readiness can vanish between poll and accept; never block there.
    m_listener.SetNonBlocking(true);
    sockaddr_in local{};
    m_port = m_listener.GetInetAddr(local) ? ntohs(local.sin_port) : port;
    m_bBlocking = blocking;
    m_bFullLogged = false;
    m_bListening = true;
    if (StartThread() != 0) {
        VEXO_LOG_EXCEPTION(L"Unable to start the accept thread");
        m_bListening = false;
        m_listener.Close();
        return false;
    }
    return true;
}

bool VexoTCPServer::Close() {
    if (!m_bListening) return true;
    // Stop accepting first, so no client is added behind the clean-up.
    StopThread();
    std::map<int, ClientPtr> clients;
    {
        std::lock_guard<std::mutex> guard(m_clientsLock);
        clients.swap(m_clients);
    }
    for (auto& entry : clients) entry.second->Close();
    clients.clear();
    if (!m_listener.Close()) {
        VEXO_LOG_DEBUG(L"Unable to Close connection");
        return false;
    }
    m_bListening = false;
    return true;
}

void VexoTCPServer::ThreadFunc() {
    while (!GetThreadStatus()) {
        const int ready = m_listener.WaitReadable(kAcceptPollMs);
        if (ready == 0) continue;
        if (ready < 0) {
            VexoSleep(kAcceptRetryMs);
            continue;
        }
        AcceptOne();
    }
    VEXO_LOG_DEBUG(L"Listen thread ended");
}

void VexoTCPServer::AcceptOne() {
    auto client = std::make_shared<VexoTCPClient>();
    if (!m_listener.Accept(*client)) {
        VEXO_LOG_DEBUG(L"VexoTCPServer Accept() failed");
        VexoSleep(kAcceptRetryMs);
        return;
    }
    std::unique_lock<std::mutex> guard(m_clientsLock);
    if (m_clients.size() >= static_cast<std::size_t>(kMaxClients)) SweepLocked();
    if (m_clients.size() >= static_cast<std::size_t>(kMaxClients)) {
        guard.unlock();
        if (!m_bFullLogged) {
            VEXO_LOG_DEBUG(L"Reached max connected clients! No more connections accepted");
            m_bFullLogged = true;
        }
        // A reset, not an orderly close: closing first would leave the port
        // pair in TIME_WAIT here and stall the peer's next connect from it.
        client->Abort();
        return;
    }
    m_bFullLogged = false;
    const int id = NextFreeIdLocked();
    client->Setup(id, m_bBlocking);
    const int peerPort = client->GetPort();
    m_clients.emplace(id, std::move(client));
    guard.unlock();
    VEXO_LOG_DEBUG(L"Client %i connected on port %i", id, peerPort);
}

int VexoTCPServer::NextFreeIdLocked() {
    for (;;) {
        const int id = m_nextId;
        if (m_nextId == std::numeric_limits<int>::max()) {
            VEXO_LOG_EXCEPTION(L"TCP connections overflow");
            m_nextId = 0;
        } else {
            ++m_nextId;
        }
        if (m_clients.find(id) == m_clients.end()) return id;
    }
}

void VexoTCPServer::SweepLocked() {
    for (auto it = m_clients.begin(); it != m_clients.end();) {
        if (it->second->IsConnected()) {
            ++it;
        } else {
            it = m_clients.erase(it);
        }
    }
}

VexoTCPServer::ClientPtr VexoTCPServer::Find(int id) {
    {
        std::lock_guard<std::mutex> guard(m_clientsLock);
        auto it = m_clients.find(id);
        if (it != m_clients.end()) return it->second;
    }
    VEXO_LOG_DEBUG(L"Client %i doesn't exist", id);
    return nullptr;
}

bool VexoTCPServer::SendToAll(const std::string& text) {
    std::string message;
    message.reserve(text.size() + 1);
    message.append(text).push_back('\0');
    return SendTerminatedToAll(message.data(), message.size());
}

bool VexoTCPServer::SendTerminatedToAll(const char* message, std::size_t len) {
    std::lock_guard<std::mutex> guard(m_clientsLock);
    if (m_clients.empty()) return false;
    for (auto& entry : m_clients) {
        if (entry.second->IsConnected()) entry.second->SendTerminated(message, len);
    }
    return true;
}

bool VexoTCPServer::Send(int id, const std::string& text) {
    ClientPtr client = Find(id);
    return client && client->Send(text);
}

bool VexoTCPServer::SendRawBytes(int id, const void* data, int len) {
    ClientPtr client = Find(id);
    return client && client->SendRawBytes(data, len);
}

bool VexoTCPServer::SendRawBytesToAll(const void* data, int len) {
    std::lock_guard<std::mutex> guard(m_clientsLock);
    if (m_clients.empty() || len < 1) return false;
    for (auto& entry : m_clients) {
        if (entry.second->IsConnected()) entry.second->SendRawBytes(data, len);
    }
    return true;
}

std::string VexoTCPServer::Receive(int id) {
    ClientPtr client = Find(id);
    if (!client) return "Client doesn't exist";
    return client->Receive();
}

int VexoTCPServer::ReceiveRawBytes(int id, void* buf, int len) {
    ClientPtr client = Find(id);
    return client ? client->ReceiveRawBytes(buf, len) : 0;
}

bool VexoTCPServer::ClientHasWaitingBytes(int id) {
    ClientPtr client = Find(id);
    return client && client->HasWaitingBytes();
}

int VexoTCPServer::GetNumReceivedBytes(int id) {
    ClientPtr client = Find(id);
    return client ? client->GetNumReceivedBytes() : 0;
}

bool VexoTCPServer::DisconnectClient(int id) {
    ClientPtr client;
    {
        std::lock_guard<std::mutex> guard(m_clientsLock);
        auto it = m_clients.find(id);
        if (it != m_clients.end()) {
            client = std::move(it->second);
            m_clients.erase(it);
        }
    }
    if (!client) {
        VEXO_LOG_DEBUG(L"Client %i doesn't exist", id);
        return false;
    }
    return client->Close();
}

bool VexoTCPServer::IsClientSetup(int id) { return Find(id) != nullptr; }

bool VexoTCPServer::IsClientConnected(int id) {
    ClientPtr client = Find(id);
    return client && client->IsConnected();
}

std::string VexoTCPServer::GetClientIP(int id) {
    ClientPtr client = Find(id);
    return client ? client->GetIP() : std::string("000.000.000.000");
}

int VexoTCPServer::GetClientPort(int id) {
    ClientPtr client = Find(id);
    return client ? client->GetPort() : 0;
}

int VexoTCPServer::GetNumClients() {
    std::lock_guard<std::mutex> guard(m_clientsLock);
    return static_cast<int>(m_clients.size());
}

std::vector<int> VexoTCPServer::GetClientIds() {
    std::vector<int> ids;
    std::lock_guard<std::mutex> guard(m_clientsLock);
    ids.reserve(m_clients.size());
    for (const auto& entry : m_clients) ids.push_back(entry.first);
    return ids;
}

}  // namespace VexoSource
