// A small named-procedure call layer over TCP.
//
// Message (both directions): 16-byte procedure name (NUL-terminated, at most 15 characters),
// u32 little-endian kind (1 request, 2 response), then a body of up to 2028 bytes; at most 2048
// bytes in all, one message per TCP send, no length field. How the receiver finds message
// boundaries is described in docs/rpc.md.
//
// Server mode serves requests of every connected client; client mode holds one connection
// and can Call procedures of the peer. One thread (this object's) reads, runs every handler
// and sends its reply; Call runs on the caller's thread, one call at a time.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "VexoCommon/VexoCommon.h"
#include "VexoNetwork/VexoTCPClient.h"
#include "VexoNetwork/VexoTCPServer.h"
#include "VexoSync/VexoSyncobj.h"
#include "VexoThread/VexoThread.h"

namespace VexoSource {

// (request body, body length, reply body, reply capacity, procedure name, context) → reply
// length; a reply longer than the capacity is not sent.
using VexoRPCHandler = i32 (*)(const u8* body, i32 length, u8* reply, i32 capacity,
                               const char* name, void* context);

class VexoRPC : public VexoThread {
public:
    static constexpr i32 kNameBytes = 16;
    static constexpr i32 kHeaderBytes = 20;
    static constexpr i32 kMaxMessageBytes = 2048;
    static constexpr i32 kMaxBodyBytes = kMaxMessageBytes - kHeaderBytes;
    static constexpr u32 kKindRequest = 1;
    static constexpr u32 kKindResponse = 2;
    static constexpr i32 kSlots = 20;
    // Slots below this are looked up by name; this one is the client-removed hook, called with
    // the departed client's identity (u32) as its 4-byte body and no reply buffer.
    static constexpr i32 kClientRemovedSlot = 15;
    static constexpr u32 kCallWaitMs = 3000;
    static constexpr u32 kIdleSleepMs = 8;
    static constexpr u32 kClosedSleepMs = 200;
    // A fragment shorter than a header that sees no continuation within this time is dropped.
    static constexpr u32 kFragmentKeepMs = 500;

    enum Mode : i32 { kClosed = 0, kServer = 1, kClient = 2 };

    VexoRPC();
    ~VexoRPC() override;

    // Listens on `port` at `address` (dotted IPv4; loopback unless told otherwise) and starts
    // the thread. 0 when a server exists already or the port cannot be set up.
    u32 CreateServer(int port, const std::string& address = "127.0.0.1");
    // Connects to host:port (replacing any previous client) and starts the thread.
    u32 CreateClient(const std::string& host, int port);
    // Sends a request (in server mode to `client`) and waits up to 3000 ms for its response.
    // The response's body length, or -1 when the body is too long, the send failed or no
    // fitting response came.
    virtual i32 Call(const char* name, const u8* body, i32 length, u8* answer, i32 capacity,
                     i32 client = -1);
    // The slot number, or -1 for a slot outside 0..19.
    virtual i32 Register(i32 slot, const char* name, VexoRPCHandler handler, void* context);
    void Close();

    i32 GetMode() const { return m_mode; }
    // Listening port in server mode (useful after CreateServer(0)).
    int GetPort() const;

protected:
    void ThreadFunc() override;

private:
    struct Slot {
        char name[kNameBytes] = {};
        VexoRPCHandler handler = nullptr;
        bool inUse = false;
        void* context = nullptr;
    };
    // Bytes a connection has delivered that are not yet handled.
    struct Inbox {
        std::vector<u8> bytes;
        u32 since = 0;
    };
    struct PendingCall {
        u8* answer = nullptr;
        i32 capacity = 0;
        i32* length = nullptr;
    };

    // One read from the peer into its inbox, then every complete message in it; true when
    // anything was read.
    bool Serve(i32 id, Inbox& inbox);
    void HandleMessage(i32 id, const u8* message, i32 n);
    bool SendTo(i32 id, const u8* data, i32 len);
    void ClientRemoved(i32 id);

    std::unique_ptr<VexoTCPClient> m_client;
    std::unique_ptr<VexoTCPServer> m_server;
    std::atomic<i32> m_mode{kClosed};

    std::mutex m_ioLock;  // the client connection: the caller's send against the thread's read
    u8 m_send[kMaxMessageBytes] = {};
    u8 m_receive[kMaxMessageBytes] = {};

    std::mutex m_slotLock;
    Slot m_slots[kSlots];

    std::mutex m_callLock;     // one Call at a time
    std::mutex m_pendingLock;  // the pending record, between Call and the thread
    PendingCall m_pending;
    VexoHandle m_callEvent = nullptr;

    std::atomic<i32> m_caller{-1};
    std::map<i32, Inbox> m_inboxes;  // thread only
    bool m_clientGone = false;       // thread only: client mode's removal is reported once
};

}  // namespace VexoSource
