// A listening TCP socket, its accept thread and the table of accepted clients.
//
// The table is guarded by one lock. Broadcasts (SendToAll, SendRawBytesToAll)
// run under it, so the accept thread never changes the table in the middle of
// one. Single-client operations look the client up under the lock and then
// work on it outside, so a blocking receive does not hold up accepting; each
// client must still be used by one thread at a time, and Close/DisconnectClient
// must not race a single-client operation on the same client.
//
// With kMaxClients connected clients in the table a further connection is
// accepted and closed at once (logged once per full spell); entries of clients
// that have gone are swept then, and accepting resumes as soon as one has.
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "VexoNetwork/VexoTCPClient.h"
#include "VexoNetwork/VexoTCPManager.h"
#include "VexoThread/VexoThread.h"

namespace VexoSource {

class VexoTCPServer : public VexoThread {
public:
    static constexpr int kMaxClients = 32;
    static constexpr int kListenBacklog = 32;
    // Longest the accept loop goes without checking for a stop request.
    static constexpr int kAcceptPollMs = 250;

    VexoTCPServer();
    ~VexoTCPServer() override;

    // Listens on `port` (0 picks a free port; GetPort() then tells which) and
    // starts the accept thread. `blocking` is the mode given to every client.
    bool Setup(int port, bool blocking = true);
    // Listens on one local IPv4 address (dotted form) only.
    bool Setup(int port, bool blocking, const std::string& address);
    bool Close();

    bool SendToAll(const std::string& text);
    // SendToAll of a message that already ends with its NUL (len counts it).
    bool SendTerminatedToAll(const char* message, std::size_t len);
    bool Send(int id, const std::string& text);
    bool SendRawBytes(int id, const void* data, int len);
    bool SendRawBytesToAll(const void* data, int len);
    std::string Receive(int id);
    int ReceiveRawBytes(int id, void* buf, int len);
    // The client's HasWaitingBytes; false for a number not in the table.
    bool ClientHasWaitingBytes(int id);
    int GetNumReceivedBytes(int id);

    bool DisconnectClient(int id);
    bool IsClientSetup(int id);
    bool IsClientConnected(int id);
    std::string GetClientIP(int id);
    int GetClientPort(int id);

    int GetPort() const { return m_port; }
    bool IsConnected() const { return m_bListening; }
    // Table size, including entries whose client has gone but is not swept yet.
    int GetNumClients();
    // Client numbers in ascending order, as a snapshot.
    std::vector<int> GetClientIds();

protected:
    void ThreadFunc() override;

private:
    using ClientPtr = std::shared_ptr<VexoTCPClient>;

    // Looks the client up; logs "Client %i doesn't exist" when it is not there.
    ClientPtr Find(int id);
    // Removes entries whose client is no longer connected; table lock held.
    void SweepLocked();
    void AcceptOne();
    int NextFreeIdLocked();

    VexoTCPManager m_listener;
    std::mutex m_clientsLock;
    std::map<int, ClientPtr> m_clients;
    std::atomic<bool> m_bListening{false};
    int m_nextId = 0;
    int m_port = 0;
    bool m_bBlocking = true;
    bool m_bFullLogged = false;
};

}  // namespace VexoSource
