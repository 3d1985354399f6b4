// A stream of HID input reports from a frame, as the talk thread reads them, into one packet
// server. Whatever the reports hold and however long they are:
// - every packet the reassembly completes is one whole packet: the payloads of blocks 0..c-1 of
//   one packet (same type, same count c), in order, from its latest block 0, c x 59 bytes;
// - a clean run of blocks 0..c-1 always completes its packet (nothing is lost);
// - each queue holds exactly the packets its rules keep (touch packets only while fast reply is
//   off, a full queue emptied before the next push), never more than its capacity.
//
// Input: byte 0 selects the stream's shape, the rest is reports.
//   bit 0 = 0: the rest is cut into 64-byte reports; bits 2..7 give a consumer that drains both
//              queues every that many reports (0: only at the end). Fast reply starts as bit 1.
//   bit 0 = 1: each report is preceded by a control byte c: length (c & 0x3F) + 1 (1..64), bit 6
//              drain both queues after this report, bit 7 toggle fast reply before it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <vector>

#include "VexoLog/VexoLog.h"
#include "VexoTalk/VexoBlockAssembler.h"
#include "VexoTalk/VexoHIDServer.h"

using namespace VexoSource;

namespace {

struct Report {
    std::vector<uint8_t> bytes;  // padded to 64 as the server reads it
    bool framed;                 // long enough to carry a block header
};

int Index(const Report& r) { return r.bytes[2] >> 4; }
int Count(const Report& r) { return r.bytes[2] & 0x0F; }
int Type(const Report& r) { return r.bytes[1]; }
const uint8_t* Payload(const Report& r) { return r.bytes.data() + VEXO_REPORT_HEADER_SIZE; }

void Check(bool ok) {
    if (!ok) std::abort();
}

// The packet completed at report k must be blocks 0..c-1 of one packet: from the latest block 0,
// each next block the first later one that continues it (index one up, below its count), all of
// one type and count, and its content their payloads in order.
void CheckWholePacket(const std::vector<Report>& reports, size_t k, const VexoAssembled_S& got) {
    const Report& last = reports[k];
    const int c = Count(last);
    Check(c >= 1 && Index(last) == c - 1);
    Check(got.length == c * int(VEXO_BLOCK_PAYLOAD));
    Check(got.type == Type(last));
    Check(got.state == (last.bytes[3] & 0x0F));
    size_t at = k;
    while (!reports[at].framed || Index(reports[at]) != 0) {
        Check(at > 0);
        --at;
    }
    std::vector<size_t> blocks{at};
    for (int want = 1; want < c; ++want) {
        do {
            ++at;
            Check(at <= k);
        } while (!reports[at].framed || Index(reports[at]) != want || want >= Count(reports[at]));
        blocks.push_back(at);
    }
    Check(blocks.back() == k);
    for (size_t b = 0; b < blocks.size(); ++b) {
        Check(Type(reports[blocks[b]]) == Type(last) && Count(reports[blocks[b]]) == c);
        Check(std::memcmp(got.content + b * VEXO_BLOCK_PAYLOAD, Payload(reports[blocks[b]]),
                          VEXO_BLOCK_PAYLOAD) == 0);
    }
}

// A clean run: reports k-c+1..k, all framed, indices 0..c-1, one type and count.
bool CleanRunEndsAt(const std::vector<Report>& reports, size_t k) {
    const Report& last = reports[k];
    const int c = Count(last);
    if (!last.framed || c < 1 || Index(last) != c - 1 || k + 1 < size_t(c)) return false;
    for (int j = 0; j < c; ++j) {
        const Report& r = reports[k + 1 - size_t(c) + size_t(j)];
        if (!r.framed || Index(r) != j || Count(r) != c || Type(r) != Type(last)) return false;
    }
    return true;
}

struct Expected {
    int type;
    int state;
    std::vector<uint8_t> content;
};

class QueueModel {
public:
    void Push(Expected e, bool fastReply) {
        const bool touch = e.type == VEXO_PACKET_TYPE_TOUCH;
        if (touch && fastReply) return;
        std::deque<Expected>& q = touch ? m_touch : m_answer;
        if (int(q.size()) >= VexoHIDServer::kQueueCapacity) q.clear();
        q.push_back(std::move(e));
    }
    // Takes every packet of both queues from the server and compares them with the model.
    void Drain(VexoHIDServer& server) {
        DrainOne(server, VEXO_QUEUE_TOUCH, m_touch);
        DrainOne(server, VEXO_QUEUE_ANSWER, m_answer);
    }

private:
    static void DrainOne(VexoHIDServer& server, u32 queue, std::deque<Expected>& model) {
        size_t taken = 0;
        while (std::unique_ptr<VexoPacket> p{server.GetPacket(queue)}) {
            Check(++taken <= size_t(VexoHIDServer::kQueueCapacity));
            Check(!model.empty());
            const Expected& e = model.front();
            Check(p->GetPacketType() == e.type);
            Check((p->GetPacketType() == VEXO_PACKET_TYPE_TOUCH) == (queue == VEXO_QUEUE_TOUCH));
            Check(p->GetPacketState() == e.state);
            Check(p->GetPacketSize() == i32(e.content.size()));
            // Exact-size buffers, so a copy past the bound shows under the sanitizer.
            std::vector<u8> whole(e.content.size() + 1);
            Check(p->GetPacketContent(whole.data(), u32(whole.size())) == i32(e.content.size()));
            Check(std::memcmp(whole.data(), e.content.data(), e.content.size()) == 0);
            std::unique_ptr<u8[]> part(new u8[7]);
            Check(p->GetPacketContent(part.get(), 7) == 7);
            Check(std::memcmp(part.get(), e.content.data(), 7) == 0);
            model.pop_front();
        }
        Check(model.empty());
        Check(server.Empty(queue) == 1);
    }

    std::deque<Expected> m_touch, m_answer;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Debug level, so the framing faults' messages are composed too; they go nowhere.
    VexoLogInit(VexoELogLevel::Debug, VEXO_LOG_NO_TIMESTAMP, L"");
    VexoLogSetSink([](const std::wstring&) {});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const uint8_t shape = data[0];
    const bool prefixed = shape & 1;
    bool fastReply = shape & 2;
    const size_t drainEvery = shape >> 2;

    VexoHIDServer server;
    server.SetFastReply(fastReply ? 1 : 0);
    VexoBlockAssembler assembler;  // a second assembler tells which report completed a packet
    QueueModel model;
    std::vector<Report> reports;

    size_t i = 1;
    while (i < size) {
        size_t length = VEXO_REPORT_SIZE;
        bool drain = false;
        if (prefixed) {
            const uint8_t control = data[i++];
            length = (control & 0x3F) + 1u;
            drain = control & 0x40;
            if (control & 0x80) {
                fastReply = !fastReply;
                server.SetFastReply(fastReply ? 1 : 0);
            }
        }
        if (i >= size) break;
        length = std::min(length, size - i);
        // Exactly the bytes read, in their own allocation.
        std::unique_ptr<u8[]> read(new u8[length]);
        std::memcpy(read.get(), data + i, length);
        i += length;
        server.ProcessReport(read.get(), i32(length));

        Report r{std::vector<uint8_t>(VEXO_REPORT_SIZE, 0), length >= VEXO_REPORT_HEADER_SIZE};
        std::memcpy(r.bytes.data(), read.get(), length);
        reports.push_back(std::move(r));
        const size_t k = reports.size() - 1;
        VexoAssembled_S done{};
        const bool completed =
            reports[k].framed && assembler.Feed(reports[k].bytes.data() + 1, reports[k].bytes[0], done);
        if (completed) {
            CheckWholePacket(reports, k, done);
            model.Push(Expected{done.type, done.state,
                                std::vector<uint8_t>(done.content, done.content + done.length)},
                       fastReply);
        } else {
            Check(!CleanRunEndsAt(reports, k));
        }
        if (drain || (!prefixed && drainEvery && reports.size() % drainEvery == 0)) model.Drain(server);
    }
    model.Drain(server);
    return 0;
}
