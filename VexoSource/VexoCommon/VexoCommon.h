// Basic types and the root object of the service's framework.
#pragma once

#include <cstddef>
#include <cstdint>

namespace VexoSource {

using u8 = std::uint8_t;
using u16 = std::uint16_t;
using u32 = std::uint32_t;
using u64 = std::uint64_t;
using i8 = std::int8_t;
using i16 = std::int16_t;
using i32 = std::int32_t;
using i64 = std::int64_t;

// Root of the framework's polymorphic objects. Framework classes add the lifecycle
// PreInit (empty state), Init (acquire, returns success) and Reset (release, repeatable);
// their destructors call Reset.
class VexoObj {
public:
    VexoObj() = default;
    VexoObj(const VexoObj&) = delete;
    VexoObj& operator=(const VexoObj&) = delete;
    virtual ~VexoObj();
};

// Objects are logged by address as "0x%0.8X"; this keeps the low 32 bits explicitly.
inline u32 VexoAddr32(const void* p) {
    return static_cast<u32>(reinterpret_cast<std::uintptr_t>(p));
}

}  // namespace VexoSource
