#pragma once

#include <cstdint>
#include <string>
#include <utility>

namespace VexoSource {

enum VexoEOscArgType {
    VEXO_OSC_TYPE_NONE = 0,
    VEXO_OSC_TYPE_INT32 = 1,
    VEXO_OSC_TYPE_FLOAT = 2,
    VEXO_OSC_TYPE_STRING = 3,
    VEXO_OSC_TYPE_INDEXOUTOFBOUNDS = 6,
};

// One OSC argument. Messages own their arguments through base pointers, so the
// concrete type is recovered with getType() rather than with RTTI.
class VexoOscArg {
public:
    VexoOscArg() = default;
    virtual ~VexoOscArg() = default;
    virtual VexoEOscArgType getType() const { return VEXO_OSC_TYPE_NONE; }
    virtual std::string getTypeName() const { return "none"; }

protected:
    VexoOscArg(const VexoOscArg&) = default;
    VexoOscArg& operator=(const VexoOscArg&) = default;
};

inline const char* VexoOscArgTypeName(VexoEOscArgType type) {
    switch (type) {
        case VEXO_OSC_TYPE_INT32:
            return "int32";
        case VEXO_OSC_TYPE_FLOAT:
            return "float";
        case VEXO_OSC_TYPE_STRING:
            return "string";
        default:
            return "none";
    }
}

// One argument holding a value of type T, reported as `Type`.
template <typename T, VexoEOscArgType Type>
class VexoOscArgValue : public VexoOscArg {
public:
    explicit VexoOscArgValue(T value) : m_value(std::move(value)) {}
    VexoEOscArgType getType() const override { return Type; }
    std::string getTypeName() const override { return VexoOscArgTypeName(Type); }
    const T& get() const { return m_value; }
    void set(T value) { m_value = std::move(value); }

private:
    T m_value;
};

using VexoOscArgInt32 = VexoOscArgValue<int32_t, VEXO_OSC_TYPE_INT32>;
using VexoOscArgFloat = VexoOscArgValue<float, VEXO_OSC_TYPE_FLOAT>;
using VexoOscArgString = VexoOscArgValue<std::string, VEXO_OSC_TYPE_STRING>;

}  // namespace VexoSource
