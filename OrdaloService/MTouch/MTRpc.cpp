#include "MTouch/MTRpc.h"

#include <chrono>
#include <cstring>
#include <memory>

#include "VexoLog/VexoLog.h"

using namespace VexoSource;

u32 MTPacketTo(VexoHIDServer* server, u8 identifier, u8* answer, u32 answerLength, u32 timeoutMs,
               u32* ok, const u8* payload, u8 payloadLength, u32 wait) {
    u32 result = 0;
    if (ok) *ok = 0;
    if (!server) return 0;
    if (payload && payloadLength > ORDO_MAX_REQUEST_PAYLOAD) {
        VEXO_LOG_EXCEPTION(L"Request %u refused: payload of %u bytes exceeds %u",
                           unsigned(identifier), unsigned(payloadLength),
                           unsigned(ORDO_MAX_REQUEST_PAYLOAD));
        return 0;
    }
    if (wait && answerLength > 0 && !answer) return 0;

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
    for (;;) {
        if (!server->SetPacket(request, sizeof request)) {
            VEXO_LOG_EXCEPTION(L"Unable to SetPacket");
            break;
        }
        if (!wait) {
            result = 1;
            break;
        }
        u32 found = 0;
        VexoPacket* packet = server->GetPacket(MT_ANSWER_WAIT_MS, identifier, found);
        if (found && packet) {
            const i32 n = packet->GetPacketContent(scratch.get(), MT_ANSWER_SCRATCH_LEN);
            delete packet;
            if (n >= 0 && u32(n) >= answerLength) {
                if (answerLength) std::memcpy(answer, scratch.get(), answerLength);
                result = 1;
                break;
            }
        } else {
            delete packet;
        }
        if (Clock::now() - start > std::chrono::milliseconds(timeoutMs)) {
            VEXO_LOG_EXCEPTION(L"Request timed out");
            break;
        }
    }
    if (ok) *ok = result;
    return result;
}
