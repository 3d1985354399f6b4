// Turns the touch list of each processed scan into the evdev events of a direct multitouch
// device (protocol B). Pure: no device, no clock, no I/O, so every event can be checked.
//
// Contacts are told apart by their touch id. A contact keeps its slot from touch-down to lift
// and gets a tracking id that no other held contact has. A slot is never handed to a new
// contact in the same report that lifted its previous one (readers would see a second touch
// down on a held slot); when no other slot is free the new contact follows in a second report.
//
// Positions map 0..1 across the calibrated screen to 0..kMTUinputAxisMax on each axis,
// clamped; touches without a finite position are left out, and a repeated id counts once.
// Sizes are in units of the X axis; the two resolutions (units per mm) convert the height.
#pragma once

#include <array>
#include <vector>

#include "VexoCommon/VexoCommon.h"
#include "VexoTUIO/VexoTouch.h"

constexpr VexoSource::u32 kMTUinputSlots = 32;
constexpr VexoSource::i32 kMTUinputAxisMax = 32767;
constexpr VexoSource::i32 kMTUinputTrackingIdMax = 65535;

struct MTUinputEvent {
    VexoSource::u16 type;
    VexoSource::u16 code;
    VexoSource::i32 value;
};

// Units per millimetre of the two position axes; 0 where the size is unknown (square units
// are then assumed for the contact size).
struct MTUinputResolution {
    VexoSource::i32 x = 0;
    VexoSource::i32 y = 0;
};

class MTUinputEncoder {
public:
    explicit MTUinputEncoder(MTUinputResolution resolution = {});

    // Appends the events that take the device from the previous scan's contacts to these
    // `count` touches, ending each report with SYN_REPORT. Appends nothing when nothing
    // changed.
    void Encode(const VexoSource::VexoTouch_S* touches, VexoSource::u32 count,
                std::vector<MTUinputEvent>& out);
    // Every held contact lifted (the frame leaves or stops streaming).
    void LiftAll(std::vector<MTUinputEvent>& out) { Encode(nullptr, 0, out); }

    VexoSource::u32 HeldContacts() const;

private:
    struct Axes {
        VexoSource::i32 x, y, major, minor;
        bool operator==(const Axes& o) const {
            return x == o.x && y == o.y && major == o.major && minor == o.minor;
        }
    };
    struct Slot {
        bool held = false;
        VexoSource::u32 touchId = 0;
        VexoSource::i32 trackingId = -1;
        VexoSource::u64 downOrder = 0;  // which held contact came first: the legacy pointer
        Axes axes{};
    };
    // What one scan asks of a slot.
    enum class Change { None, Lift, Move, Down };

    Axes AxesOf(const VexoSource::VexoTouch_S& touch) const;
    VexoSource::i32 NextTrackingId();
    // One report: every slot's change in slot order, then the legacy state and SYN_REPORT.
    void EmitReport(const std::array<Change, kMTUinputSlots>& changes,
                    const std::array<Axes, kMTUinputSlots>& axes,
                    const std::array<VexoSource::u32, kMTUinputSlots>& ids,
                    std::vector<MTUinputEvent>& out);

    MTUinputResolution m_resolution;
    std::array<Slot, kMTUinputSlots> m_slots{};
    VexoSource::i32 m_nextTrackingId = 0;
    VexoSource::u64 m_downCount = 0;
    bool m_btnTouch = false;
    VexoSource::i32 m_pointerX = -1;
    VexoSource::i32 m_pointerY = -1;
};
