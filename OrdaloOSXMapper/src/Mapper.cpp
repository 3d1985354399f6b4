// The mapper: the accumulated frame, the twelve recognizers and the action of the first report.
#include <chrono>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "Actions.h"
#include "Gestures.h"
#include "Mapper.h"

namespace ordalo {
namespace sdk {
namespace gesturelibrary {

namespace {

std::uint64_t systemClockMs() {
    using namespace std::chrono;
    return std::uint64_t(duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count());
}

ClockFunction g_clock = systemClockMs;

}  // namespace

std::uint64_t nowMs() { return g_clock(); }

ClockFunction setClock(ClockFunction clock) {
    ClockFunction previous = g_clock;
    g_clock = clock ? clock : systemClockMs;
    return previous == systemClockMs ? nullptr : previous;
}

}  // namespace gesturelibrary
}  // namespace sdk
}  // namespace ordalo

namespace ODOM {

using namespace ordalo::sdk::gesturelibrary;

odOsxMapper::odOsxMapper()
    : tap("Tap", 1, 200, 10.0f, 0, 500, 10.0f),
      twoFingerTap("TwoFingerTap", 2, 200, 10.0f, 0, 500, 10.0f),
      hover("Hover"),
      drag("Drag", 1),
      pinch("Pinch"),
      scroll("Scroll"),
      swipeLeft("SwipeLeft", 4, Direction::Left),
      swipeRight("SwipeRight", 4, Direction::Right),
      swipeUp("SwipeUp", 4, Direction::Up),
      swipeDown("SwipeDown", 4, Direction::Down),
      launchpad("Launchpad", false),
      showDesktop("ShowDesktop", true) {}

std::array<IGesture*, 12> odOsxMapper::dispatchOrder() {
    // Scroll is asked before pinch: a straight two-finger move is a scroll first.
    return {&tap,       &twoFingerTap, &hover,      &drag,    &scroll,    &pinch,
            &swipeLeft, &swipeRight,   &swipeUp,    &swipeDown, &launchpad, &showDesktop};
}

namespace {

std::unique_ptr<Action> actionOf(std::size_t slot, const std::string& message) {
    switch (slot) {
        case 0: return TapAction::withGestureEvent(message);
        case 1: return RightClickAction::withGestureEvent(message);
        case 2: return HoverAction::withGestureEvent(message);
        case 3: return DragAction::withGestureEvent(message);
        case 4: return ScrollAction::withGestureEvent(message);
        case 5: return PinchAction::withGestureEvent(message);
        case 6: return std::make_unique<SwipeAppAction>(SwipeDirection::Left);
        case 7: return std::make_unique<SwipeAppAction>(SwipeDirection::Right);
        case 8: return std::make_unique<MissionControlAction>();
        case 9: return std::make_unique<AppExposeAction>();
        case 10: return std::make_unique<LaunchpadAction>();
        default: return std::make_unique<ShowDesktopAction>();
    }
}

}  // namespace

std::unique_ptr<Action> odOsxMapper::matchAction(const Contact<float>& contact) {
    std::string message;
    std::unique_ptr<Action> action;
    const auto order = dispatchOrder();
    for (std::size_t slot = 0; slot < order.size(); ++slot) {
        // Every recognizer sees every contact, reported or not, so none falls behind.
        if (order[slot]->updatePoint(contact, message) > 0 && !action)
            action = actionOf(slot, message);
    }
    return action;
}

void odOsxMapper::putFrame(const Frame<float>& frame) {
    for (const Contact<float>& contact : frame)
        if (std::unique_ptr<Action> action = matchAction(contact)) action->perform();
}

void odOsxMapper::setParameter(const std::string&, const std::string&) {}

int odOsxMapper::setAttribute(const std::string& recognizer, const std::string& key,
                              const std::string& value) {
    // Names are looked up before any change, so renaming one cannot make the call reach it twice.
    std::vector<IGesture*> targets;
    for (IGesture* gesture : dispatchOrder())
        if (recognizer == "*" || static_cast<GestureBase*>(gesture)->name == recognizer)
            targets.push_back(gesture);
    for (IGesture* gesture : targets) gesture->setAttribute(key, value);
    return int(targets.size());
}

odOsxMapper& mapper() {
    static odOsxMapper instance;
    return instance;
}

Frame<float>& theFrame() {
    static Frame<float> frame;
    return frame;
}

}  // namespace ODOM

extern "C" {

void odosxmapper_put_frame(const ordalo::sdk::gesturelibrary::Contact<float>* contacts,
                           unsigned long count) {
    using ordalo::sdk::gesturelibrary::Contact;
    ordalo::sdk::gesturelibrary::Frame<float> next;
    if (contacts)
        for (unsigned long i = 0; i < count; ++i) {
            const Contact<float>& c = contacts[i];
            // A position that is not a number would poison every average the recognizers keep.
            if (std::isfinite(c.location.x) && std::isfinite(c.location.y)) next.push_back(c);
        }
    ordalo::sdk::gesturelibrary::Frame<float>& accumulated = ODOM::theFrame();
    accumulated += next;
    if (!accumulated.empty()) ODOM::mapper().putFrame(accumulated);
}

void odosxmapper_set_parameter(const char* name, const char* value) {
    if (!name || !value) return;
    ODOM::mapper().setParameter(name, value);
}

int odosxmapper_set_attribute(const char* recognizer, const char* key, const char* value) {
    if (!recognizer || !key || !value) return 0;
    return ODOM::mapper().setAttribute(recognizer, key, value);
}
}
