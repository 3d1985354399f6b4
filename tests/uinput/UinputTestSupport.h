// Verbs for the uinput tests: touches are written as (id, x, y), events are compared as their
// evdev names ("ABS_MT_SLOT 0"), so a failure reads like evtest output.
#pragma once

#include <libevdev/libevdev.h>

#include <string>
#include <vector>

#include "MTouch/MTUinputEncoder.h"

namespace uinputtest {

inline VexoSource::VexoTouch_S Touch(VexoSource::u32 id, float x, float y, float width = 0.01f,
                                     float height = 0.01f) {
    return VexoSource::VexoTouch_S{x, y, width, height, width * height, id};
}

inline std::string Name(VexoSource::u16 type, VexoSource::u16 code, VexoSource::i32 value) {
    const char* name = libevdev_event_code_get_name(type, code);
    std::string text = name ? name : "?" + std::to_string(type) + ":" + std::to_string(code);
    return type == EV_SYN ? text : text + " " + std::to_string(value);
}

inline std::vector<std::string> Names(const std::vector<MTUinputEvent>& events) {
    std::vector<std::string> names;
    for (const MTUinputEvent& e : events) names.push_back(Name(e.type, e.code, e.value));
    return names;
}

// The events of one scan, by name.
inline std::vector<std::string> Scan(MTUinputEncoder& encoder,
                                     const std::vector<VexoSource::VexoTouch_S>& touches) {
    std::vector<MTUinputEvent> events;
    encoder.Encode(touches.data(), VexoSource::u32(touches.size()), events);
    return Names(events);
}

}  // namespace uinputtest
