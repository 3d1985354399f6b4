/*
 * OrdaloOSXMapper.h - public interface of libOrdaloOSXMapper, the gesture mapper.
 *
 * The library receives successive touch frames (arrays of Contact<float> in normalised screen
 * coordinates), keeps its own picture of which fingers are down, runs its twelve gesture
 * recognizers on every contact and performs the desktop action of the first recognizer that
 * reports (click, right click, pointer move, drag, scroll, zoom key, space switch, Dock
 * notification). Actions reach the desktop through the Desktop interface of Desktop.h; until a
 * caller installs a backend there, actions are made and dropped.
 *
 * Ownership: every array handed in stays owned by the caller and is only read during the call.
 * The library owns one process-wide mapper and one accumulated frame, created when it is loaded
 * and destroyed at process exit; there is no reset entry point.
 *
 * Threads: none of its own and no locks. All calls (including setClock and the Desktop.h
 * functions) must come from one thread, the one that feeds the frames.
 *
 * Blocking: odosxmapper_put_frame performs the actions it recognises before it returns; a key
 * sequence pauses twice 10 ms and a click 1 ms (through Desktop::pause), so a call takes at most
 * about 20 ms and usually microseconds.
 *
 * Units: coordinates normalised to the screen, 0..1 from left to right and from top to bottom;
 * times in milliseconds since the epoch (64-bit); the recognizers' thresholds in millimetres of
 * the touch surface, whose size defaults to a 21.5-inch 16:9 surface (475.97 x 267.73 mm) until
 * the caller sets the real one with odosxmapper_set_attribute(..., "TouchScreenSpec", ...).
 *
 * Do not include this header after X11's headers in one translation unit: X.h defines None.
 */
#ifndef ORDALO_OSX_MAPPER_H
#define ORDALO_OSX_MAPPER_H

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <list>
#include <type_traits>
#include <unordered_map>
#include <unordered_set>

#ifndef ODOSX_API
#define ODOSX_API __attribute__((visibility("default")))
#endif

namespace ordalo {
namespace sdk {
namespace gesturelibrary {

template <typename T>
struct Point {
    T x;
    T y;
};

enum class ContactState : std::int32_t { None = 0, Added = 1, Removed = 2, Moved = 3 };

/* One finger. Instantiated for float only; its layout (below) is shared with the plugin. */
template <typename T>
struct Contact {
    std::uint64_t id;        /* the same finger keeps its id from frame to frame; any value */
    Point<T> location;       /* current position */
    Point<T> origin;         /* where the finger was first seen (set by the mapper) */
    Point<T> extent;         /* width and height of the touch, copied along, never decided on */
    Point<T> delta;          /* movement since the previous frame (set by the mapper) */
    std::uint64_t timestamp; /* ms since the epoch; after accumulation: when it was added */
    ContactState state;      /* set by the mapper; ignored on input */
    bool isLast;             /* set by the mapper on the last contact of its frame; ignored on input */
};

/* Every field sits at its natural offset, so the layout needs no packing and is the same for
 * every compiler of the platform ABI. */
static_assert(std::is_standard_layout<Contact<float>>::value, "Contact<float> is a plain record");
static_assert(offsetof(Contact<float>, id) == 0 && offsetof(Contact<float>, location) == 8 &&
                      offsetof(Contact<float>, origin) == 16 &&
                      offsetof(Contact<float>, extent) == 24 &&
                      offsetof(Contact<float>, delta) == 32 &&
                      offsetof(Contact<float>, timestamp) == 40 &&
                      offsetof(Contact<float>, state) == 48 &&
                      offsetof(Contact<float>, isLast) == 52 && sizeof(Contact<float>) == 56,
              "layout of Contact<float> shared with the plugin");

/* Physical size of the touch surface in mm; turns normalised differences into millimetres. */
struct ScreenRuler {
    float width = 475.97f;  // a 21.5-inch 16:9 surface
    float height = 267.73f;

    // Computed in double: the thresholds sit a few millimetres apart and spacing ratios of
    // nearby fingers must not pick up rounding from the products.
    double dxMm(float dx) const { return double(dx) * width; }
    double dyMm(float dy) const { return double(dy) * height; }
    double distanceMm(const Point<float>& a, const Point<float>& b) const {
        const double x = dxMm(b.x - a.x);
        const double y = dyMm(b.y - a.y);
        return std::sqrt(x * x + y * y);
    }

    // Largest distance between any two points of the range (0 for fewer than two).
    template <typename F, typename It>
    F computeMaxDistance(It first, It last) const {
        double largest = 0.0;
        for (It i = first; i != last; ++i) {
            It j = i;
            for (++j; j != last; ++j) {
                const double d = distanceMm(*i, *j);
                if (d > largest) largest = d;
            }
        }
        return F(largest);
    }
};

/* The clock of the gesture library: ms since the epoch. Tests replace it with a fake one. */
using ClockFunction = std::uint64_t (*)();
/* The current time through the installed clock (the system clock unless replaced). */
ODOSX_API std::uint64_t nowMs();
/* Installs a clock (nullptr: the system clock again); returns the one it replaces. */
ODOSX_API ClockFunction setClock(ClockFunction clock);

/*
 * An ordered list of contacts. As the accumulated frame (this += next) it turns raw frames into
 * contact states: after each += every contact is exactly one of Added (new in next), Moved
 * (present again, moved or not) or Removed (absent from next; dropped by the following +=),
 * origin and timestamp are those of its arrival, delta its movement since the previous frame,
 * and only the last contact has isLast set. Contacts of next are matched by id; new ones are
 * appended in the order of next.
 */
template <typename T>
class Frame : public std::list<Contact<T>> {
public:
    Frame() = default;
    Frame(const Contact<T>* contacts, std::size_t count)
        : std::list<Contact<T>>(contacts, contacts + count) {}

    Frame& operator+=(const Frame& next);

private:
    using Iterator = typename std::list<Contact<T>>::iterator;
    /* Above this many id comparisons the matching goes through hash tables, so a hostile frame
     * of thousands of contacts costs linear time rather than quadratic. */
    static constexpr std::size_t kLinearMatchLimit = 4096;
};

template <typename T>
Frame<T>& Frame<T>::operator+=(const Frame& next) {
    const bool hashed = this->size() * next.size() > kLinearMatchLimit;
    std::unordered_set<std::uint64_t> nextIds;
    if (hashed)
        for (const Contact<T>& n : next) nextIds.insert(n.id);
    auto inNext = [&](std::uint64_t id) {
        if (hashed) return nextIds.count(id) != 0;
        return std::any_of(next.begin(), next.end(),
                           [id](const Contact<T>& n) { return n.id == id; });
    };
    for (Iterator c = this->begin(); c != this->end();) {
        if (c->state == ContactState::Removed) {
            c = this->erase(c);
            continue;
        }
        c->isLast = false;
        if (!inNext(c->id)) c->state = ContactState::Removed;
        ++c;
    }

    std::unordered_map<std::uint64_t, Iterator> firstById;
    if (hashed)
        for (Iterator c = this->begin(); c != this->end(); ++c) firstById.emplace(c->id, c);
    auto find = [&](std::uint64_t id) {
        if (hashed) {
            auto found = firstById.find(id);
            return found == firstById.end() ? this->end() : found->second;
        }
        return std::find_if(this->begin(), this->end(),
                            [id](const Contact<T>& c) { return c.id == id; });
    };
    for (const Contact<T>& n : next) {
        Iterator c = find(n.id);
        if (c == this->end()) {
            Contact<T> added{};
            added.id = n.id;
            added.location = n.location;
            added.origin = n.location;
            added.extent = n.extent;
            added.timestamp = nowMs();
            added.state = ContactState::Added;
            Iterator appended = this->insert(this->end(), added);
            if (hashed) firstById.emplace(n.id, appended);
        } else {
            c->delta = Point<T>{n.location.x - c->location.x, n.location.y - c->location.y};
            c->location = n.location;
            c->extent = n.extent;
            c->state = ContactState::Moved;
        }
    }
    if (!this->empty()) this->back().isLast = true;
    return *this;
}

}  // namespace gesturelibrary
}  // namespace sdk
}  // namespace ordalo

extern "C" {

/*
 * Hands one touch frame to the mapper: count contiguous records starting at contacts (only id,
 * location and extent are read). An empty frame (count 0) means every finger is up. The mapper
 * updates its accumulated frame, runs the recognizers on every contact of it and performs the
 * actions they yield before returning. A contact whose location is not a finite number is left
 * out, as if that finger were absent; a null contacts pointer with a count above 0 is ignored.
 */
ODOSX_API void odosxmapper_put_frame(const ordalo::sdk::gesturelibrary::Contact<float>* contacts,
                                     unsigned long count);

/* Accepted for compatibility and without effect: the recognizers' settings are changed only
 * through odosxmapper_set_attribute. Null arguments are ignored. */
ODOSX_API void odosxmapper_set_parameter(const char* name, const char* value);

/*
 * Sets the attribute key to value on the recognizer currently named recognizer, or on all
 * twelve when recognizer is "*". Keys every recognizer knows: "name" (renames it) and
 * "TouchScreenSpec" ("<diagonal inches>@<aspect w>:<aspect h>", e.g. "55@16:9", sets the
 * surface size its millimetre thresholds refer to). The tap recognizers ("Tap",
 * "TwoFingerTap") also take "fingerAmount" (1..48), "maxTapTime" (ms, 100 and up),
 * "maxTapShift" (mm, 5..10000), "maxCombo", "maxComboInterval" (ms, 100 and up) and
 * "maxComboShift" (mm, 5..10000). A value that cannot be read or lies outside its range leaves
 * the recognizer unchanged. Returns the number of recognizers the call reached (0 for an unknown
 * name or a null argument), not whether the value was accepted.
 */
ODOSX_API int odosxmapper_set_attribute(const char* recognizer, const char* key,
                                        const char* value);
}

#endif
