#include "VexoTalk/VexoBlockAssembler.h"

#include "VexoLog/VexoLog.h"

namespace VexoSource {

void VexoBlockAssembler::Clear() {
    m_reportId = m_checksum = 0;
    m_state = m_stateHigh = 0;
    Invalidate();
}

void VexoBlockAssembler::Invalidate() {
    m_prevIndex = 0;
    m_writePos = 0;
    m_valid = 0;
}

bool VexoBlockAssembler::Feed(const u8* bytes, u8 reportId, VexoAssembled_S& out) {
    const i32 type = bytes[0];
    const i32 index = bytes[1] >> 4;
    const i32 count = bytes[1] & 0x0F;
    m_reportId = reportId;
    m_checksum = bytes[3];
    m_state = bytes[2] & 0x0F;
    m_stateHigh = bytes[2] >> 4;

    if (index > 0 && index != m_prevIndex + 1) {
        VEXO_LOG_DEBUG(L"Invalid block! index:%d, previous index:%d ON VexoHIDServer", index,
                       m_prevIndex);
        return false;
    }
    if (index > 0 && index >= count) {
        VEXO_LOG_DEBUG(L"Invalid block! count:%d,index:%d ON VexoHIDServer ", count, index);
        return false;
    }
    if (index > 0 && m_valid && (count != m_packetCount || type != m_packetType)) {
        // Blocks of two packets must never be glued into one.
        VEXO_LOG_DEBUG(
            L"Invalid block! type:%d, count:%d differ from packet type:%d, count:%d "
            L"ON VexoHIDServer",
            type, count, m_packetType, m_packetCount);
        Invalidate();
        return false;
    }
    if (index > 0) {
        ++m_prevIndex;
    } else {
        m_prevIndex = 0;
        m_writePos = 0;
        m_valid = 1;
        m_packetCount = count;
        m_packetType = type;
    }
    if (!m_valid) return false;

    const u8* payload = bytes + 4;
    for (u32 k = 0; k < VEXO_BLOCK_PAYLOAD; ++k) {
        if (m_writePos > MAX_PACKET_BUFFER_LEN - 1) {
            Invalidate();
            VEXO_LOG_EXCEPTION(L"Overflow! len:%d, MAX_PACKET_BUFFER_LEN:%d ON VexoHIDServer", 63,
                               MAX_PACKET_BUFFER_LEN);
            return false;
        }
        m_buffer[m_writePos++] = payload[k];
    }
    if (index != count - 1) return false;

    out.content = m_buffer;
    out.length = m_writePos;
    out.type = type;
    out.state = m_state;
    Invalidate();

    u8 sum = 0;
    for (i32 k = 0; k < out.length; ++k) sum = u8(sum + m_buffer[k]);
    out.checksumOk = sum == m_checksum;
    if (!out.checksumOk) VEXO_LOG_DEBUG(L"Packet checksum failed ON VexoHIDServer");
    return true;
}

}  // namespace VexoSource
