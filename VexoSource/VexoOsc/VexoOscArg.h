#pragma once

#include <cstdint>
#include <string>

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

class VexoOscArgInt32 : public VexoOscArg {
public:
    explicit VexoOscArgInt32(int32_t value) : m_value(value) {}
    VexoEOscArgType getType() const override { return VEXO_OSC_TYPE_INT32; }
    std::string getTypeName() const override { return "int32"; }
    int32_t get() const { return m_value; }
    void set(int32_t value) { m_value = value; }

private:
    int32_t m_value;
};

class VexoOscArgFloat : public VexoOscArg {
public:
    explicit VexoOscArgFloat(float value) : m_value(value) {}
    VexoEOscArgType getType() const override { return VEXO_OSC_TYPE_FLOAT; }
    std::string getTypeName() const override { return "float"; }
    float get() const { return m_value; }
    void set(float value) { m_value = value; }

private:
    float m_value;
};

class VexoOscArgString : public VexoOscArg {
public:
    explicit VexoOscArgString(std::string value) : m_value(std::move(value)) {}
    VexoEOscArgType getType() const override { return VEXO_OSC_TYPE_STRING; }
    std::string getTypeName() const override { return "string"; }
    const std::string& get() const { return m_value; }
    void set(std::string value) { m_value = std::move(value); }

private:
    std::string m_value;
};

}  // namespace VexoSource
