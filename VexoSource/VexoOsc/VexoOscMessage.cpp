#include "VexoOsc/VexoOscMessage.h"

#include <cmath>
#include <cstdio>
#include <limits>

namespace VexoSource {

VexoOscMessage::VexoOscMessage(const VexoOscMessage& other) { copy(other); }

VexoOscMessage& VexoOscMessage::operator=(const VexoOscMessage& other) {
    if (this != &other) {
        clear();
        copy(other);
    }
    return *this;
}

void VexoOscMessage::clear() {
    args.clear();
    address.clear();
}

VexoOscMessage& VexoOscMessage::copy(const VexoOscMessage& other) {
    address = other.address;
    remoteHost = other.remoteHost;
    remotePort = other.remotePort;
    // Bound by the original count so that copying a message into itself
    // duplicates its arguments once instead of chasing its own tail.
    const int count = other.getNumArgs();
    for (int i = 0; i < count; ++i) {
        const VexoOscArg* arg = other.args[i].get();
        switch (arg->getType()) {
            case VEXO_OSC_TYPE_INT32:
                addIntArg(static_cast<const VexoOscArgInt32*>(arg)->get());
                break;
            case VEXO_OSC_TYPE_FLOAT:
                addFloatArg(static_cast<const VexoOscArgFloat*>(arg)->get());
                break;
            case VEXO_OSC_TYPE_STRING:
                addStringArg(static_cast<const VexoOscArgString*>(arg)->get());
                break;
            default:
                args.push_back(std::make_unique<VexoOscArg>());
                break;
        }
    }
    return *this;
}

void VexoOscMessage::addIntArg(int32_t value) {
    args.push_back(std::make_unique<VexoOscArgInt32>(value));
}

void VexoOscMessage::addFloatArg(float value) {
    args.push_back(std::make_unique<VexoOscArgFloat>(value));
}

void VexoOscMessage::addStringArg(std::string value) {
    args.push_back(std::make_unique<VexoOscArgString>(std::move(value)));
}

const VexoOscArg* VexoOscMessage::argAt(int index) const {
    if (index < 0 || index >= getNumArgs()) return nullptr;
    return args[index].get();
}

VexoEOscArgType VexoOscMessage::getArgType(int index) const {
    const VexoOscArg* arg = argAt(index);
    if (!arg) {
        std::fprintf(stderr, "VexoOscMessage::getArgType: index %d out of bounds\n", index);
        return VEXO_OSC_TYPE_INDEXOUTOFBOUNDS;
    }
    return arg->getType();
}

std::string VexoOscMessage::getArgTypeName(int index) const {
    const VexoOscArg* arg = argAt(index);
    if (!arg) {
        std::fprintf(stderr, "VexoOscMessage::getArgTypeName: index %d out of bounds\n", index);
        return "INDEX OUT OF BOUNDS";
    }
    return arg->getTypeName();
}

int32_t VexoOscMessage::getArgAsInt32(int index) const {
    switch (getArgType(index)) {
        case VEXO_OSC_TYPE_INT32:
            return static_cast<const VexoOscArgInt32*>(argAt(index))->get();
        case VEXO_OSC_TYPE_FLOAT: {
            std::fprintf(stderr,
                         "VexoOscMessage:getArgAsInt32: warning: converting float to int32 for "
                         "argument %i\n",
                         index);
            const float value = static_cast<const VexoOscArgFloat*>(argAt(index))->get();
            // Out-of-range and NaN values would make the conversion undefined;
            // saturate instead so any float a peer sends gives a defined answer.
            if (std::isnan(value)) return 0;
            if (value >= 2147483648.0f) return std::numeric_limits<int32_t>::max();
            if (value <= -2147483648.0f) return std::numeric_limits<int32_t>::min();
            return static_cast<int32_t>(value);
        }
        default:
            std::fprintf(stderr,
                         "VexoOscMessage:getArgAsInt32: error: argument %i is not a number\n",
                         index);
            return 0;
    }
}

float VexoOscMessage::getArgAsFloat(int index) const {
    switch (getArgType(index)) {
        case VEXO_OSC_TYPE_FLOAT:
            return static_cast<const VexoOscArgFloat*>(argAt(index))->get();
        case VEXO_OSC_TYPE_INT32:
            std::fprintf(stderr,
                         "VexoOscMessage:getArgAsFloat: warning: converting int32 to float for "
                         "argument %i\n",
                         index);
            return static_cast<float>(static_cast<const VexoOscArgInt32*>(argAt(index))->get());
        default:
            std::fprintf(stderr,
                         "VexoOscMessage:getArgAsFloat: error: argument %i is not a number\n",
                         index);
            return 0.0f;
    }
}

std::string VexoOscMessage::getArgAsString(int index) const {
    char text[64];
    switch (getArgType(index)) {
        case VEXO_OSC_TYPE_STRING:
            return static_cast<const VexoOscArgString*>(argAt(index))->get();
        case VEXO_OSC_TYPE_FLOAT:
            std::fprintf(stderr,
                         "VexoOscMessage:getArgAsString: warning: converting float to string for "
                         "argument %i\n",
                         index);
            std::snprintf(
                text, sizeof text, "%f",
                static_cast<double>(static_cast<const VexoOscArgFloat*>(argAt(index))->get()));
            return text;
        case VEXO_OSC_TYPE_INT32:
            std::fprintf(stderr,
                         "VexoOscMessage:getArgAsString: warning: converting int32 to string for "
                         "argument %i\n",
                         index);
            std::snprintf(
                text, sizeof text, "%i",
                static_cast<int>(static_cast<const VexoOscArgInt32*>(argAt(index))->get()));
            return text;
        default:
            std::fprintf(stderr,
                         "VexoOscMessage:getArgAsString: error: argument %i is not a string\n",
                         index);
            return "";
    }
}

}  // namespace VexoSource
