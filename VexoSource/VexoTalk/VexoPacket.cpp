#include "VexoTalk/VexoPacket.h"

#include <algorithm>
#include <cstring>

namespace VexoSource {

VexoPacket::VexoPacket(const u8* content, i32 length, i32 type, i32 state)
    : m_type(type), m_state(state) {
    if (content && length > 0) m_content.assign(content, content + length);
}

i32 VexoPacket::GetPacketContent(u8* buffer, i32 max) const {
    if (!buffer || max <= 0 || m_content.empty()) return 0;
    const i32 n = std::min(max, GetPacketSize());
    std::memcpy(buffer, m_content.data(), size_t(n));
    return n;
}

}  // namespace VexoSource
