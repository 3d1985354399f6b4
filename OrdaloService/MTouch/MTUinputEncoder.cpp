#include "MTouch/MTUinputEncoder.h"

#include <linux/input.h>

#include <algorithm>
#include <cmath>

using namespace VexoSource;

namespace {

// Normalised value to axis units; NaN and infinities count as 0, as far as callers let them in.
i32 ToAxis(double normalised) {
    if (!std::isfinite(normalised)) return 0;
    const double units = std::clamp(normalised * kMTUinputAxisMax, 0.0, double(kMTUinputAxisMax));
    return i32(std::lround(units));
}

}  // namespace

MTUinputEncoder::MTUinputEncoder(MTUinputResolution resolution) : m_resolution(resolution) {}

u32 MTUinputEncoder::HeldContacts() const {
    return u32(std::count_if(m_slots.begin(), m_slots.end(), [](const Slot& s) { return s.held; }));
}

MTUinputEncoder::Axes MTUinputEncoder::AxesOf(const VexoTouch_S& touch) const {
    const double yToX = (m_resolution.x > 0 && m_resolution.y > 0)
                            ? double(m_resolution.x) / double(m_resolution.y)
                            : 1.0;
    const i32 w = ToAxis(double(touch.width));
    const i32 h = ToAxis(double(touch.height) * yToX);
    return Axes{ToAxis(double(touch.x)), ToAxis(double(touch.y)), std::max(w, h), std::min(w, h)};
}

i32 MTUinputEncoder::NextTrackingId() {
    for (;;) {
        const i32 id = m_nextTrackingId;
        m_nextTrackingId = id == kMTUinputTrackingIdMax ? 0 : id + 1;
        const bool taken = std::any_of(m_slots.begin(), m_slots.end(), [id](const Slot& s) {
            return s.held && s.trackingId == id;
        });
        if (!taken) return id;
    }
}

void MTUinputEncoder::Encode(const VexoTouch_S* touches, u32 count,
                             std::vector<MTUinputEvent>& out) {
    std::array<Change, kMTUinputSlots> changes{};
    std::array<Axes, kMTUinputSlots> axes{};
    std::array<u32, kMTUinputSlots> ids{};
    std::array<bool, kMTUinputSlots> seen{};
    struct Arrival {
        u32 id;
        Axes axes;
    };
    std::array<Arrival, kMTUinputSlots> arrivals{};
    u32 arrivalCount = 0;

    for (u32 i = 0; touches && i < count; ++i) {
        const VexoTouch_S& touch = touches[i];
        if (!std::isfinite(touch.x) || !std::isfinite(touch.y)) continue;
        u32 s = 0;
        while (s < kMTUinputSlots && !(m_slots[s].held && m_slots[s].touchId == touch.id)) ++s;
        if (s < kMTUinputSlots) {
            if (seen[s]) continue;
            seen[s] = true;
            const Axes now = AxesOf(touch);
            if (!(now == m_slots[s].axes)) {
                changes[s] = Change::Move;
                axes[s] = now;
            }
            continue;
        }
        const bool repeated =
            std::any_of(arrivals.begin(), arrivals.begin() + arrivalCount,
                        [&touch](const Arrival& a) { return a.id == touch.id; });
        if (!repeated && arrivalCount < kMTUinputSlots) {
            arrivals[arrivalCount++] = Arrival{touch.id, AxesOf(touch)};
        }
    }
    for (u32 s = 0; s < kMTUinputSlots; ++s) {
        if (m_slots[s].held && !seen[s]) changes[s] = Change::Lift;
    }

    // New contacts go to slots that were free before this scan; the rest wait for the
    // slots this report lifts, in a report of their own.
    u32 placed = 0;
    auto place = [&](auto slotIsFree) {
        for (u32 s = 0; s < kMTUinputSlots && placed < arrivalCount; ++s) {
            if (!slotIsFree(s)) continue;
            changes[s] = Change::Down;
            axes[s] = arrivals[placed].axes;
            ids[s] = arrivals[placed].id;
            ++placed;
        }
    };
    place([this](u32 s) { return !m_slots[s].held; });
    EmitReport(changes, axes, ids, out);
    if (placed == arrivalCount) return;

    changes.fill(Change::None);
    place([this](u32 s) { return !m_slots[s].held; });
    EmitReport(changes, axes, ids, out);
}

void MTUinputEncoder::EmitReport(const std::array<Change, kMTUinputSlots>& changes,
                                 const std::array<Axes, kMTUinputSlots>& axes,
                                 const std::array<u32, kMTUinputSlots>& ids,
                                 std::vector<MTUinputEvent>& out) {
    const std::size_t before = out.size();
    auto abs = [&out](u16 code, i32 value) { out.push_back(MTUinputEvent{EV_ABS, code, value}); };

    for (u32 s = 0; s < kMTUinputSlots; ++s) {
        Slot& slot = m_slots[s];
        const Axes& a = axes[s];
        switch (changes[s]) {
            case Change::None:
                continue;
            case Change::Lift:
                abs(ABS_MT_SLOT, i32(s));
                abs(ABS_MT_TRACKING_ID, -1);
                slot.held = false;
                break;
            case Change::Move:
                abs(ABS_MT_SLOT, i32(s));
                if (a.x != slot.axes.x) abs(ABS_MT_POSITION_X, a.x);
                if (a.y != slot.axes.y) abs(ABS_MT_POSITION_Y, a.y);
                if (a.major != slot.axes.major) abs(ABS_MT_TOUCH_MAJOR, a.major);
                if (a.minor != slot.axes.minor) abs(ABS_MT_TOUCH_MINOR, a.minor);
                slot.axes = a;
                break;
            case Change::Down:
                slot.trackingId = NextTrackingId();
                slot.held = true;
                slot.touchId = ids[s];
                slot.downOrder = ++m_downCount;
                slot.axes = a;
                abs(ABS_MT_SLOT, i32(s));
                abs(ABS_MT_TRACKING_ID, slot.trackingId);
                abs(ABS_MT_TOOL_TYPE, MT_TOOL_FINGER);
                abs(ABS_MT_POSITION_X, a.x);
                abs(ABS_MT_POSITION_Y, a.y);
                abs(ABS_MT_TOUCH_MAJOR, a.major);
                abs(ABS_MT_TOUCH_MINOR, a.minor);
                break;
        }
    }

    // The single-touch axes follow the contact held longest, as the kernel's own pointer
    // emulation does.
    const Slot* pointer = nullptr;
    for (const Slot& slot : m_slots) {
        if (slot.held && (!pointer || slot.downOrder < pointer->downOrder)) pointer = &slot;
    }
    if ((pointer != nullptr) != m_btnTouch) {
        m_btnTouch = pointer != nullptr;
        out.push_back(MTUinputEvent{EV_KEY, BTN_TOUCH, m_btnTouch ? 1 : 0});
    }
    if (pointer) {
        if (pointer->axes.x != m_pointerX) abs(ABS_X, m_pointerX = pointer->axes.x);
        if (pointer->axes.y != m_pointerY) abs(ABS_Y, m_pointerY = pointer->axes.y);
    }
    if (out.size() != before) out.push_back(MTUinputEvent{EV_SYN, SYN_REPORT, 0});
}
