// Reassembly of a frame's packets from the blocks of its input reports.
//
// Input report: [0] report id, [1] packet type, [2] block index (high nibble) and block count
// (low nibble), [3] packet state (low nibble), [4] checksum of the whole packet, [5..63] 59
// payload bytes. A packet's content is count x 59 bytes (padding of the last block included);
// its checksum is the byte sum of that content and only the last block's value counts.
//
// Faulty blocks are logged (Debug level) and dropped; a packet with a wrong checksum is still
// delivered, flagged. A continuation block whose count or type differs from its packet's first
// block belongs to another packet and is dropped together with the packet under assembly.
#pragma once

#include "VexoCommon/VexoCommon.h"

namespace VexoSource {

constexpr i32 MAX_PACKET_BUFFER_LEN = 2048;
constexpr u32 VEXO_REPORT_SIZE = 64;
constexpr u32 VEXO_REPORT_HEADER_SIZE = 5;
constexpr u32 VEXO_BLOCK_PAYLOAD = VEXO_REPORT_SIZE - VEXO_REPORT_HEADER_SIZE;

struct VexoAssembled_S {
    const u8* content;  // valid until the next Feed
    i32 length;
    i32 type;
    i32 state;
    bool checksumOk;
};

class VexoBlockAssembler {
public:
    // Takes report bytes 1..63 and the report id. True when the block completed a packet,
    // which is then described in `out`.
    bool Feed(const u8* bytes, u8 reportId, VexoAssembled_S& out);
    void Clear();

    u8 LastReportId() const { return m_reportId; }
    i32 LastStateHigh() const { return m_stateHigh; }

private:
    void Invalidate();

    u8 m_reportId = 0;
    u8 m_checksum = 0;
    i32 m_state = 0;
    i32 m_stateHigh = 0;
    i32 m_prevIndex = 0;
    i32 m_writePos = 0;
    i32 m_valid = 0;
    i32 m_packetCount = 0;
    i32 m_packetType = 0;
    u8 m_buffer[MAX_PACKET_BUFFER_LEN] = {};
};

}  // namespace VexoSource
