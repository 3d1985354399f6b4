// One IPv4 stream socket with optional wait limits and whole-buffer transfers.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <cstdint>

#include "VexoCommon/VexoCommon.h"

namespace VexoSource {

class VexoTCPManager : public VexoObj {
public:
    // A limit of this many seconds means "wait without limit".
    static constexpr u32 kNoTimeout = 65535;

    VexoTCPManager();
    ~VexoTCPManager() override;

    bool Create();
    bool Bind(int port);
    // Binds to one local IPv4 address (dotted form) instead of all of them; false for an
    // address that does not parse.
    bool Bind(int port, const char* address);
    bool Listen(int backlog);
    // Accepts one pending connection into `out`, closing any socket `out` held.
    bool Accept(VexoTCPManager& out);
    bool Connect(const char* host, int port);
    // True when there is no socket (any more); false keeps the socket.
    bool Close();
    // Closes with a reset instead of an orderly shutdown: for refusing a
    // connection without leaving it lingering in TIME_WAIT on this side.
    void Abort();

    // Results: bytes moved, -1 on error or without a socket, -2 when a limit ran
    // out. Sends never raise SIGPIPE.
    int Send(const void* data, int len);
    int Receive(void* buf, int len);
    // 0 means the peer is gone (broken pipe, reset, aborted); the socket is then
    // closed. A non-blocking socket that fills up returns what went out so far.
    int SendAll(const void* data, int len);
    int ReceiveAll(void* buf, int len);
    int Write(const void* data, int len);

    bool SetNonBlocking(bool nonBlocking);
    bool IsNonBlocking() const { return m_bNonBlocking; }

    bool SetSendBufferSize(int size);
    bool SetReceiveBufferSize(int size);
    int GetSendBufferSize() const;
    int GetReceiveBufferSize() const;

    void SetTimeoutSend(u32 seconds) { m_dwTimeoutSend = seconds; }
    void SetTimeoutReceive(u32 seconds) { m_dwTimeoutReceive = seconds; }
    void SetTimeoutAccept(u32 seconds) { m_dwTimeoutAccept = seconds; }
    u32 GetTimeoutSend() const { return m_dwTimeoutSend; }
    u32 GetTimeoutReceive() const { return m_dwTimeoutReceive; }
    u32 GetTimeoutAccept() const { return m_dwTimeoutAccept; }

    bool GetInetAddr(sockaddr_in& addr) const;
    bool GetRemoteAddr(sockaddr_in& addr) const;
    // True when the dotted address resolves back to a host name.
    static bool CheckHost(const char* address);

    bool SetReceiveBufferWithNoDelay() { return true; }
    bool SetSendBufferWithNoDelay() { return true; }
    int GetMaxConnections() const { return m_iMaxConnections; }

    // Milliseconds-granular wait used by loops that must keep checking for a
    // stop request: 1 readable, 0 time-out, -1 error or no socket.
    int WaitReadable(int timeoutMs) const;

    int GetSocket() const { return m_hSocket; }
    bool HasSocket() const { return m_hSocket >= 0; }

    static void CleanUp() { m_bWinsockInit = false; }

protected:
    // Closes without the caller-visible failure path; used when the peer is gone.
    void DropSocket();
    static int LimitMs(u32 seconds) {
        return seconds == kNoTimeout ? -1 : static_cast<int>(seconds) * 1000;
    }

    int m_iMaxConnections = 0;
    int m_hSocket = -1;
    u32 m_dwTimeoutSend = kNoTimeout;
    u32 m_dwTimeoutReceive = kNoTimeout;
    u32 m_dwTimeoutAccept = kNoTimeout;
    bool m_bNonBlocking = false;

    // Set by every socket made, on whichever thread: the accept thread makes its clients'.
    static std::atomic<bool> m_bWinsockInit;
};

}  // namespace VexoSource
