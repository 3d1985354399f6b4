// The plugin's entry points: parse, drop repeated empty frames, hand the rest to the mapper.
#include <cstdint>
#include <vector>

#include "OrdaloOSXPlugin.h"

namespace {

// Contacts in the last frame handed to the mapper; 0 at load, so an empty frame before any
// contact is never passed on.
std::uint64_t lastSize = 0;

}  // namespace

extern "C" {

void odosxplugin_put_tuio_frame(const char* text) {
    using namespace ordalo::sdk::gesturelibrary;
    if (!text) return;
    const Frame<float> frame = FrameParser::parse<float>(std::string(text));
    if (lastSize == 0 && frame.empty()) return;
    const std::vector<Contact<float>> contacts(frame.begin(), frame.end());
    odosxmapper_put_frame(contacts.data(), contacts.size());
    lastSize = contacts.size();
}

void odosxplugin_set_parameter(const char* name, const char* value) {
    odosxmapper_set_parameter(name, value);
}
}
