#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "VexoOsc/VexoOscArg.h"

namespace VexoSource {

// An OSC message with typed arguments. Type mismatches and bad indices in the
// getters never throw: they print a diagnostic on standard error and return a
// fallback value, because a malformed message must not stop the sender thread.
class VexoOscMessage {
public:
    VexoOscMessage() = default;
    VexoOscMessage(const VexoOscMessage& other);
    VexoOscMessage& operator=(const VexoOscMessage& other);
    VexoOscMessage(VexoOscMessage&&) noexcept = default;
    VexoOscMessage& operator=(VexoOscMessage&&) noexcept = default;
    ~VexoOscMessage() = default;

    void clear();
    // Takes over address and remote endpoint and appends copies of the
    // other message's arguments to this one.
    VexoOscMessage& copy(const VexoOscMessage& other);

    void setAddress(const std::string& addr) { address = addr; }
    const std::string& getAddress() const { return address; }

    void addIntArg(int32_t value);
    void addFloatArg(float value);
    void addStringArg(std::string value);

    int getNumArgs() const { return static_cast<int>(args.size()); }
    // The argument itself, or null outside the arguments; no diagnostics.
    const VexoOscArg* getArg(int index) const { return argAt(index); }
    // Room for `count` arguments, for messages built at a high rate.
    void reserveArgs(int count) { args.reserve(count > 0 ? static_cast<std::size_t>(count) : 0); }
    VexoEOscArgType getArgType(int index) const;
    std::string getArgTypeName(int index) const;
    int32_t getArgAsInt32(int index) const;
    float getArgAsFloat(int index) const;
    std::string getArgAsString(int index) const;

    std::string address;
    std::string remoteHost;
    int32_t remotePort = 0;

private:
    const VexoOscArg* argAt(int index) const;

    std::vector<std::unique_ptr<VexoOscArg>> args;
};

}  // namespace VexoSource
