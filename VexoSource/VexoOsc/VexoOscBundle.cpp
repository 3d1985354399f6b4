#include "VexoOsc/VexoOscBundle.h"

namespace VexoSource {

VexoOscBundle::VexoOscBundle(const VexoOscBundle& other) { copy(other); }

// Assignment replaces the content: appending here would make `a = b` leave `a`
// different from `b`, which no caller can want.
VexoOscBundle& VexoOscBundle::operator=(const VexoOscBundle& other) {
    if (this != &other) {
        clear();
        copy(other);
    }
    return *this;
}

void VexoOscBundle::clear() {
    messages.clear();
    bundles.clear();
}

VexoOscBundle& VexoOscBundle::copy(const VexoOscBundle& other) {
    if (this == &other) {
        const VexoOscBundle snapshot(other);
        return copy(snapshot);
    }
    bundles.insert(bundles.end(), other.bundles.begin(), other.bundles.end());
    messages.insert(messages.end(), other.messages.begin(), other.messages.end());
    return *this;
}

void VexoOscBundle::addBundle(const VexoOscBundle& bundle) { bundles.push_back(bundle); }

void VexoOscBundle::addMessage(const VexoOscMessage& message) { messages.push_back(message); }

void VexoOscBundle::addMessage(VexoOscMessage&& message) { messages.push_back(std::move(message)); }

}  // namespace VexoSource
