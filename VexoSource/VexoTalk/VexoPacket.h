// One message reassembled from a frame's input reports.
#pragma once

#include <vector>

#include "VexoCommon/VexoCommon.h"

namespace VexoSource {

class VexoPacket {
public:
    VexoPacket() = default;
    // Copies `length` bytes of content.
    VexoPacket(const u8* content, i32 length, i32 type, i32 state);
    VexoPacket(const VexoPacket&) = default;
    VexoPacket& operator=(const VexoPacket&) = default;  // deep copy
    ~VexoPacket() = default;

    // Number of content bytes.
    i32 GetPacketSize() const { return i32(m_content.size()); }
    i32 GetPacketType() const { return m_type; }
    i32 GetPacketState() const { return m_state; }
    // Copies min(size, max) content bytes into buffer and returns that count (0 without
    // content, buffer or room).
    i32 GetPacketContent(u8* buffer, i32 max) const;
    const u8* Content() const { return m_content.data(); }

private:
    std::vector<u8> m_content;
    i32 m_type = 0;
    i32 m_state = 0;
};

}  // namespace VexoSource
