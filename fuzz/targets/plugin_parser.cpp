// One XML packet from the service's TCP route, as the gesture plugin reads it. Whatever the
// bytes, parsing either yields a frame whose contacts are the live ones, or refuses the packet
// with the plugin's own exception; nothing else may escape.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "OrdaloOSXPlugin.h"

using ordalo::sdk::gesturelibrary::FrameParser;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    try {
        auto frame = FrameParser::parse<float>(text);
        // The frame holds one contact per identifier of the alive message, never more.
        if (frame.size() > FrameParser::countCursors(text)) std::abort();
    } catch (const FrameParser::InvalidTuioMessageException&) {
    }
    return 0;
}
