#include "VexoNetwork/VexoRPC.h"

#include <cstring>

#include "VexoLog/VexoLog.h"
#include "VexoUtils/VexoUtils.h"

namespace VexoSource {

namespace {

u32 ReadLe32(const u8* p) {
    return u32(p[0]) | (u32(p[1]) << 8) | (u32(p[2]) << 16) | (u32(p[3]) << 24);
}

void WriteHeader(u8* message, const char* name, u32 kind) {
    std::memset(message, 0, VexoRPC::kNameBytes);
    // The field keeps a NUL: a longer name is cut, as the peer reads at most the field.
    std::memcpy(message, name, ::strnlen(name, VexoRPC::kNameBytes - 1));
    for (int i = 0; i < 4; ++i) message[VexoRPC::kNameBytes + i] = u8(kind >> (8 * i));
}

// Where the first message of `n` buffered bytes ends. The wire has no length field, so a
// following message can only be told by its header: a known name (the first message's or a
// registered one) with its NUL, then a valid kind. A name that fills its field has no NUL and
// is never taken for a header.
std::size_t MessageEnd(const u8* bytes, std::size_t n, const std::vector<std::string>& names) {
    for (std::size_t off = VexoRPC::kHeaderBytes; off + VexoRPC::kHeaderBytes <= n; ++off) {
        const u32 kind = ReadLe32(bytes + off + VexoRPC::kNameBytes);
        if (kind != VexoRPC::kKindRequest && kind != VexoRPC::kKindResponse) continue;
        const char* at = reinterpret_cast<const char*>(bytes + off);
        const std::size_t len = ::strnlen(at, VexoRPC::kNameBytes);
        if (len == std::size_t(VexoRPC::kNameBytes)) continue;
        const char* first = reinterpret_cast<const char*>(bytes);
        if (::strnlen(first, VexoRPC::kNameBytes) == len && std::memcmp(at, first, len) == 0)
            return off;
        for (const std::string& name : names)
            if (name.size() == len && std::memcmp(at, name.data(), len) == 0) return off;
    }
    return n;
}

}  // namespace

VexoRPC::VexoRPC() : m_callEvent(VexoEvtCreate(0, nullptr, 0)) {}

VexoRPC::~VexoRPC() {
    Close();
    VexoCloseHandle(m_callEvent);
    m_callEvent = nullptr;
}

u32 VexoRPC::CreateServer(int port, const std::string& address) {
    if (m_server) return 0;
    auto server = std::make_unique<VexoTCPServer>();
    // Accepted connections are read without blocking, so one quiet client never holds up
    // the others.
    if (!server->Setup(port, false, address)) return 0;
    StopThread();
    m_client.reset();
    m_server = std::move(server);
    m_inboxes.clear();
    m_mode = kServer;
    if (StartThread() != 0) {
        m_mode = kClosed;
        m_server.reset();
        return 0;
    }
    VEXO_LOG_DEBUG(L"RPC server was created");
    return 1;
}

u32 VexoRPC::CreateClient(const std::string& host, int port) {
    auto client = std::make_unique<VexoTCPClient>();
    if (!client->Setup(host, port, false)) return 0;
    // The thread reads the old connection; it must be out of the way before it is replaced.
    StopThread();
    m_server.reset();
    m_client = std::move(client);
    m_inboxes.clear();
    m_clientGone = false;
    m_mode = kClient;
    if (StartThread() != 0) {
        m_mode = kClosed;
        m_client.reset();
        return 0;
    }
    VEXO_LOG_DEBUG(L"RPC client was created");
    return 1;
}

void VexoRPC::Close() {
    StopThread();
    m_mode = kClosed;
    m_server.reset();
    m_client.reset();
    m_inboxes.clear();
}

int VexoRPC::GetPort() const { return m_server ? m_server->GetPort() : 0; }

i32 VexoRPC::Register(i32 slot, const char* name, VexoRPCHandler handler, void* context) {
    if (slot < 0 || slot >= kSlots) return -1;
    std::lock_guard<std::mutex> guard(m_slotLock);
    Slot& s = m_slots[slot];
    std::memset(s.name, 0, sizeof s.name);
    if (name) std::strncpy(s.name, name, kNameBytes - 1);
    s.handler = handler;
    s.context = context;
    s.inUse = true;
    return slot;
}

i32 VexoRPC::Call(const char* name, const u8* body, i32 length, u8* answer, i32 capacity,
                  i32 client) {
    if (length < 0 || length > kMaxBodyBytes || (length > 0 && !body)) return -1;
    std::lock_guard<std::mutex> one(m_callLock);
    u8 message[kMaxMessageBytes];
    WriteHeader(message, name ? name : "", kKindRequest);
    if (length > 0) std::memcpy(message + kHeaderBytes, body, std::size_t(length));

    i32 result = -1;
    VexoEvtReset(m_callEvent);
    // Recorded before sending: a quick peer may answer before the send has returned.
    {
        std::lock_guard<std::mutex> guard(m_pendingLock);
        m_pending = PendingCall{answer, capacity, &result};
    }
    if (SendTo(m_mode == kServer ? client : -1, message, kHeaderBytes + length)) {
        if (!VexoWaitObjectWithTimed(m_callEvent, kCallWaitMs))
            VEXO_LOG_EXCEPTION(L"RPC %hs failed", name ? name : "");
    }
    std::lock_guard<std::mutex> guard(m_pendingLock);
    m_pending = PendingCall{};
    return result;
}

bool VexoRPC::SendTo(i32 id, const u8* data, i32 len) {
    if (m_mode == kServer && m_server) return m_server->SendRawBytes(id, data, len);
    if (m_mode == kClient && m_client) {
        std::lock_guard<std::mutex> guard(m_ioLock);
        return m_client->SendRawBytes(data, len);
    }
    return false;
}

void VexoRPC::ClientRemoved(i32 id) {
    VEXO_LOG_INFO(L"Client removed %u", u32(id));
    Slot hook;
    {
        std::lock_guard<std::mutex> guard(m_slotLock);
        hook = m_slots[kClientRemovedSlot];
    }
    if (!hook.inUse || !hook.handler) return;
    const u32 who = u32(id);
    u8 body[4];
    std::memcpy(body, &who, sizeof body);
    hook.handler(body, sizeof body, nullptr, 0, "ClientRemoved", hook.context);
}

void VexoRPC::ThreadFunc() {
    while (!GetThreadStatus()) {
        const i32 mode = m_mode;
        if (mode == kServer && m_server) {
            bool busy = false;
            for (int id : m_server->GetClientIds()) {
                if (!m_server->IsClientConnected(id)) {
                    ClientRemoved(id);
                    m_server->DisconnectClient(id);
                    m_inboxes.erase(id);
                    busy = true;
                    break;
                }
                busy = Serve(id, m_inboxes[id]) || busy;
            }
            if (!busy) VexoSleep(kIdleSleepMs);
        } else if (mode == kClient && m_client) {
            if (!m_client->IsConnected()) {
                if (!m_clientGone) ClientRemoved(m_client->GetID());
                m_clientGone = true;
                VexoSleep(kClosedSleepMs);
            } else if (!Serve(-1, m_inboxes[-1])) {
                VexoSleep(kIdleSleepMs);
            }
        } else {
            VexoSleep(kClosedSleepMs);
        }
    }
}

bool VexoRPC::Serve(i32 id, Inbox& inbox) {
    const i32 room = kMaxMessageBytes - i32(inbox.bytes.size());
    i32 n;
    if (m_mode == kServer) {
        n = m_server->ReceiveRawBytes(id, m_receive, room);
    } else {
        std::lock_guard<std::mutex> guard(m_ioLock);
        n = m_client->ReceiveRawBytes(m_receive, room);
    }
    const u32 now = VexoGetSystemTime();
    if (n > 0) {
        if (inbox.bytes.empty()) inbox.since = now;
        inbox.bytes.insert(inbox.bytes.end(), m_receive, m_receive + n);
    } else if (!inbox.bytes.empty() && inbox.bytes.size() < std::size_t(kHeaderBytes) &&
               now - inbox.since > kFragmentKeepMs) {
        // A stray fragment must not glue itself to the front of the next real message.
        inbox.bytes.clear();
    }
    m_caller = id;
    std::vector<std::string> names;
    if (inbox.bytes.size() >= std::size_t(2 * kHeaderBytes)) {
        std::lock_guard<std::mutex> guard(m_slotLock);
        for (i32 i = 0; i < kClientRemovedSlot; ++i)
            if (m_slots[i].inUse && m_slots[i].name[0]) names.emplace_back(m_slots[i].name);
    }
    // A read that filled the inbox's room may have stopped inside a message that a client
    // wrote whole behind others; while its rest waits in the socket, it is handled after the
    // next read. Only a look, not a read: a read could meet the peer's close and drop the
    // connection before this message is answered.
    bool more = false;
    if (n == room) {
        if (m_mode == kServer) {
            more = m_server->ClientHasWaitingBytes(id);
        } else {
            std::lock_guard<std::mutex> guard(m_ioLock);
            more = m_client->HasWaitingBytes();
        }
    }
    while (inbox.bytes.size() >= std::size_t(kHeaderBytes)) {
        const std::size_t end = MessageEnd(inbox.bytes.data(), inbox.bytes.size(), names);
        if (more && end == inbox.bytes.size() && end < std::size_t(kMaxMessageBytes)) break;
        HandleMessage(id, inbox.bytes.data(), i32(end));
        inbox.bytes.erase(inbox.bytes.begin(), inbox.bytes.begin() + std::ptrdiff_t(end));
        inbox.since = now;
    }
    m_caller = -1;
    return n > 0;
}

void VexoRPC::HandleMessage(i32 id, const u8* message, i32 n) {
    const i32 bodyLength = n - kHeaderBytes;
    const u32 kind = ReadLe32(message + kNameBytes);
    if (kind == kKindResponse) {
        std::lock_guard<std::mutex> guard(m_pendingLock);
        if (m_pending.answer && m_pending.length && bodyLength <= m_pending.capacity) {
            *m_pending.length = bodyLength;
            std::memcpy(m_pending.answer, message + kHeaderBytes, std::size_t(bodyLength));
        }
        VexoEvtNotify(m_callEvent);
        return;
    }
    if (kind != kKindRequest) return;
    const std::size_t nameLen = ::strnlen(reinterpret_cast<const char*>(message), kNameBytes);
    if (nameLen == std::size_t(kNameBytes)) return;
    char name[kNameBytes] = {};
    std::memcpy(name, message, nameLen);

    Slot slot;
    {
        std::lock_guard<std::mutex> guard(m_slotLock);
        for (i32 i = 0; i < kClientRemovedSlot; ++i) {
            if (m_slots[i].inUse && std::strcmp(m_slots[i].name, name) == 0) {
                slot = m_slots[i];
                break;
            }
        }
    }
    if (!slot.inUse || !slot.handler) return;
    WriteHeader(m_send, name, kKindResponse);
    // Whatever an earlier reply left here must not reach this client.
    std::memset(m_send + kHeaderBytes, 0, kMaxBodyBytes);
    const i32 reply = slot.handler(message + kHeaderBytes, bodyLength, m_send + kHeaderBytes,
                                   kMaxBodyBytes, name, slot.context);
    if (reply >= 0 && reply <= kMaxBodyBytes) SendTo(id, m_send, kHeaderBytes + reply);
}

}  // namespace VexoSource
