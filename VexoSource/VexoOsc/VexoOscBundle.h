#pragma once

#include <vector>

#include "VexoOsc/VexoOscMessage.h"

namespace VexoSource {

// A bundle of messages and nested bundles, all held by value. Encoding writes
// nested bundles before the messages.
class VexoOscBundle {
public:
    VexoOscBundle() = default;
    VexoOscBundle(const VexoOscBundle& other);
    VexoOscBundle& operator=(const VexoOscBundle& other);
    VexoOscBundle(VexoOscBundle&&) noexcept = default;
    VexoOscBundle& operator=(VexoOscBundle&&) noexcept = default;
    ~VexoOscBundle() = default;

    void clear();
    // Appends copies of the other bundle's nested bundles, then of its messages.
    VexoOscBundle& copy(const VexoOscBundle& other);

    void addBundle(const VexoOscBundle& bundle);
    void addMessage(const VexoOscMessage& message);
    // Moves a freshly built message in; spares the per-argument copies on the
    // per-frame path.
    void addMessage(VexoOscMessage&& message);

    int getBundleCount() const { return static_cast<int>(bundles.size()); }
    int getMessageCount() const { return static_cast<int>(messages.size()); }
    const VexoOscBundle& getBundleAt(int i) const { return bundles.at(i); }
    const VexoOscMessage& getMessageAt(int i) const { return messages.at(i); }

    std::vector<VexoOscMessage> messages;
    std::vector<VexoOscBundle> bundles;
};

}  // namespace VexoSource
