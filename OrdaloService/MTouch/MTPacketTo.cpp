#include "MTouch/MTPacketTo.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>

#include "VexoLog/VexoLog.h"
#include "VexoUtils/VexoUtils.h"

using namespace VexoSource;

namespace {

// Longest one wait for an answer lasts before the stop request is looked at again.
constexpr u32 kStopCheckMs = 100;

bool StopWanted(VexoThread* owner) {
    return VexoStopRequested() || (owner != nullptr && owner->GetThreadStatus());
}

}  // namespace

u32 MTPacketTo(VexoHIDServer* server, u8 identifier, u8* answer, u32 answerLength, u32 timeoutMs,
               u32* ok, const u8* payload, u8 payloadLength, u32 wait, VexoThread* owner) {
    u32 result = 0;
    if (ok) *ok = 0;
    if (!server) {
        VEXO_LOG_EXCEPTION(L"Request %u refused: no frame", unsigned(identifier));
        return 0;
    }
    if (payload && payloadLength > ORDO_MAX_REQUEST_PAYLOAD) {
        VEXO_LOG_EXCEPTION(L"Request %u refused: payload of %u bytes exceeds %u",
                           unsigned(identifier), unsigned(payloadLength),
                           unsigned(ORDO_MAX_REQUEST_PAYLOAD));
        return 0;
    }
    if (wait && answerLength > 0 && !answer) {
        VEXO_LOG_EXCEPTION(L"Request %u refused: no room for its answer", unsigned(identifier));
        return 0;
    }

    server->ClearPackets(VEXO_CLEAR_ANSWER);

    u8 request[ORDO_REPORT_SIZE] = {};
    request[0] = ORDO_REQUEST_REPORT_ID;
    request[1] = identifier;
    if (payload && payloadLength > 0) {
        std::memcpy(request + ORDO_HEADER_SIZE, payload, payloadLength);
    }

    // Per call: the device thread and the RPC thread exchange at the same time.
    std::unique_ptr<u8[]> scratch(new u8[MT_ANSWER_SCRATCH_LEN]);
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    const auto deadline = start + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (StopWanted(owner)) {
            VEXO_LOG_DEBUG(L"Request cancelled");
            break;
        }
        if (!server->SetPacket(request, sizeof request)) {
            VEXO_LOG_EXCEPTION(L"Unable to SetPacket");
            break;
        }
        if (!wait) {
            result = 1;
            break;
        }
        // One answer slot per write. An answer too short to use is no answer, but the frame
        // is not asked again before the slot is over: rewriting at once would flood it.
        const auto slotEnd =
            std::min(Clock::now() + std::chrono::milliseconds(MT_ANSWER_WAIT_MS), deadline);
        for (;;) {
            const auto now = Clock::now();
            if (now >= slotEnd || StopWanted(owner)) break;
            // Rounded up, so that the slot is really over when the wait returns empty-handed.
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(slotEnd - now);
            const u32 waitMs = std::min<u32>(u32(left.count()), kStopCheckMs);
            u32 found = 0;
            std::unique_ptr<VexoPacket> packet(server->GetPacket(waitMs, identifier, found));
            if (!found || !packet) continue;
            const i32 n = packet->GetPacketContent(scratch.get(), MT_ANSWER_SCRATCH_LEN);
            if (n >= 0 && u32(n) >= answerLength) {
                if (answerLength) std::memcpy(answer, scratch.get(), answerLength);
                result = 1;
                break;
            }
        }
        if (result) break;
        if (StopWanted(owner)) {
            VEXO_LOG_DEBUG(L"Request cancelled");
            break;
        }
        if (Clock::now() >= deadline) {
            VEXO_LOG_EXCEPTION(L"Request timed out");
            break;
        }
    }
    if (ok) *ok = result;
    return result;
}
