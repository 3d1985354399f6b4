// Two-finger scroll and pinch, four-finger swipes, and the gather and spread of the whole hand.
#include <cmath>
#include <iterator>

#include "Gestures.h"

namespace ordalo {
namespace sdk {
namespace gesturelibrary {

namespace {

bool addedOrRemoved(const Contact<float>& contact) {
    return contact.state == ContactState::Added || contact.state == ContactState::Removed;
}

const char* phaseWord(GestureStatus status) {
    switch (status) {
        case GestureStatus::Begin:
            return "begin";
        case GestureStatus::Delta:
            return "delta";
        case GestureStatus::End:
            return "end";
        case GestureStatus::Idle:
        case GestureStatus::Blocked:
            break;
    }
    return "";
}

}  // namespace

// ---- Scroll and pinch -----------------------------------------------------------------------

TwoFingerGesture::TwoFingerGesture(std::string gestureName)
    : DynamicGesture(std::move(gestureName)) {
    first.timestamp = second.timestamp = nowMs();
}

void TwoFingerGesture::takeSnapshots() {
    first = *contacts.begin()->second;
    second = *std::next(contacts.begin())->second;
}

void TwoFingerGesture::append(std::string& message, float x, float y, const char* key,
                              float value, const char* phase) const {
    message += "[" + name + "]\ncenter_x=";
    appendFixed8(message, x);
    message += "\ncenter_y=";
    appendFixed8(message, y);
    message += "\n";
    message += key;
    message += "=";
    appendFixed8(message, value);
    message += "\nstatus=";
    message += phase;
    message += "\n";
}

bool Apple_TwoFingerScroll::beginsVertically(const Contact<float>& snapshot,
                                             const Contact<float>& now) const {
    return std::fabs(ruler.dxMm(snapshot.location.x - now.location.x)) < 3.0 &&
           std::fabs(ruler.dyMm(snapshot.location.y - now.location.y)) > 5.0;
}

int Apple_TwoFingerScroll::updatePoint(const Contact<float>& contact, std::string& message) {
    updateCommonData(contact);
    if (stayBlocked()) return 0;
    const std::size_t n = fingers();
    if (n != 2) {
        if (running()) {
            status = GestureStatus::End;
            dy = center.y - lastCenter.y;
            append(message, center.x, center.y, "dy", dy, "end");
            status = GestureStatus::Idle;
            return 1;
        }
        status = n > 1 ? GestureStatus::Blocked : GestureStatus::Idle;
        return 0;
    }
    if (addedOrRemoved(contact)) {
        takeSnapshots();
        lastCenter = center;
    }
    if (!contact.isLast) return 0;
    if (spreadMm() > 70.0) return 0;

    const Contact<float> c1 = current(first);
    const Contact<float> c2 = current(second);
    if (status == GestureStatus::Idle) {
        const double spacingChange = ruler.distanceMm(c1.location, c2.location) -
                                     ruler.distanceMm(first.location, second.location);
        if (!(std::fabs(spacingChange) < 3.0 && beginsVertically(first, c1) &&
              beginsVertically(second, c2)))
            return 0;
        status = GestureStatus::Begin;
        dy = center.y - lastCenter.y;
        append(message, center.x, center.y, "dy", dy, "begin");
        first = c1;
        second = c2;
    } else {
        status = GestureStatus::Delta;
        dy = center.y - lastCenter.y;
        // Only vertical strokes scroll, and only while both fingers went the same way at the
        // begin.
        if (!(std::fabs(dy) > std::fabs(center.x - lastCenter.x) &&
              first.delta.y * second.delta.y > 0.0f))
            return 0;
        append(message, center.x, center.y, "dy", dy, "delta");
        followCurrent();
    }
    lastCenter = center;
    return 1;
}

float Apple_PinchZoom::getScaleFactory(const Point<float>& a1, const Point<float>& a2,
                                       const Point<float>& b1, const Point<float>& b2) const {
    return float(ruler.distanceMm(b1, b2) / ruler.distanceMm(a1, a2));
}

int Apple_PinchZoom::updatePoint(const Contact<float>& contact, std::string& message) {
    updateCommonData(contact);
    if (stayBlocked()) return 0;
    const std::size_t n = fingers();
    if (n != 2) {
        int written = 0;
        if (running()) {
            status = GestureStatus::End;
            scale = 1.0f;
            append(message, center.x, center.y, "scale", scale, "end");
            written = 1;
        }
        status = n > 1 ? GestureStatus::Blocked : GestureStatus::Idle;
        return written;
    }
    if (addedOrRemoved(contact)) {
        takeSnapshots();
        lastCenter = center;
        return 0;
    }
    if (!contact.isLast) return 0;

    const Contact<float>& c1 = current(first);
    const Contact<float>& c2 = current(second);
    const double d0 = ruler.distanceMm(first.location, second.location);
    const double d1 = ruler.distanceMm(c1.location, c2.location);
    // Fingers reported on one spot have no spacing to compare with.
    if (!(d0 > 0.0)) return 0;
    scale = getScaleFactory(first.location, second.location, c1.location, c2.location);
    if (status != GestureStatus::Idle) {
        if (std::fabs(scale - 1.0f) < 0.05f) return 0;
        status = GestureStatus::Delta;
    } else if (std::fabs(d1 - d0) > 10.0) {
        status = GestureStatus::Begin;
    } else {
        // Both fingers moving together is no pinch.
        if (ruler.distanceMm(lastCenter, center) > 5.0) status = GestureStatus::Blocked;
        return 0;
    }
    append(message, center.x, center.y, "scale", scale, phaseWord(status));
    followCurrent();
    return 1;
}

// ---- Swipes ---------------------------------------------------------------------------------

MissionControlGesture::MissionControlGesture(std::string gestureName, unsigned fingers,
                                             Direction toward)
    : StaticGesture(std::move(gestureName)),
      fingerAmount(fingers),
      direction(toward),
      startTime(timeMs) {}

void MissionControlGesture::reset() {
    tracking = false;
    startPoints.clear();
}

bool MissionControlGesture::testEvent() const {
    for (const auto& [id, start] : startPoints) {
        auto found = contacts.find(id);
        if (found == contacts.end()) continue;
        const double dx = ruler.dxMm(found->second->location.x - start.x);
        const double dy = ruler.dyMm(found->second->location.y - start.y);
        double forward = 0.0, sideways = 0.0;
        switch (direction) {
            case Direction::Up:
                forward = -dy, sideways = std::fabs(dx);
                break;
            case Direction::Right:
                forward = dx, sideways = std::fabs(dy);
                break;
            case Direction::Down:
                forward = dy, sideways = std::fabs(dx);
                break;
            case Direction::Left:
                forward = -dx, sideways = std::fabs(dy);
                break;
        }
        if (forward < 30.0 || sideways > 10.0) return false;
    }
    return true;
}

int MissionControlGesture::updatePoint(const Contact<float>& contact, std::string& message) {
    message.clear();
    updateCommonData(contact);
    if (fingers() != fingerAmount) {
        reset();
        return 0;
    }
    if (spreadMm() > 50.0 * fingerAmount - 30.0) return 0;
    if (addedOrRemoved(contact)) {
        tracking = true;
        startCenter = center;
        startTime = contact.timestamp;
        startPoints.clear();
        for (const auto& [id, finger] : contacts) startPoints[id] = finger->location;
        return 0;
    }
    if (contact.state != ContactState::Moved || !tracking || !testEvent()) return 0;
    endCenter = center;
    message = "[" + name + "]\nstart_x=";
    appendPrintf8f(message, startCenter.x);
    message += "\nstart_y=";
    appendPrintf8f(message, startCenter.y);
    message += "\nend_x=";
    appendPrintf8f(message, endCenter.x);
    message += "\nend_y=";
    appendPrintf8f(message, endCenter.y);
    reset();
    // Forget the fingers so the swipe cannot fire again before the hand is lifted.
    contacts.clear();
    return int(message.size());
}

// ---- Launchpad and show desktop -------------------------------------------------------------

void Apple_LanchpadGesture::reset() {
    tracking = false;
    startCenter = Point<float>{0.0f, 0.0f};
    startPoints.clear();
}

bool Apple_LanchpadGesture::startTracking(const Contact<float>& contact) {
    startPoints.clear();
    for (const auto& [id, finger] : contacts) {
        if (ruler.distanceMm(finger->origin, finger->location) > 10.0 ||
            ruler.distanceMm(finger->location, center) > 200.0) {
            reset();
            return false;
        }
        startPoints[id] = finger->location;
    }
    tracking = true;
    startCenter = center;
    timeMs = contact.timestamp + 1500;
    return true;
}

template <typename Gain>
bool Apple_LanchpadGesture::allFingersGain(Gain gain) const {
    bool farEnough = false;
    for (const auto& [id, start] : startPoints) {
        auto found = contacts.find(id);
        if (found == contacts.end()) continue;
        const double g = gain(start, found->second->location);
        if (g < 2.0) return false;
        if (g > 6.0) farEnough = true;
    }
    return farEnough;
}

bool Apple_LanchpadGesture::allPointMoveToCenterLocation() const {
    return allFingersGain([this](const Point<float>& start, const Point<float>& now) {
        return ruler.distanceMm(startCenter, start) - ruler.distanceMm(startCenter, now);
    });
}

bool Apple_LanchpadGesture::allPointMoveOffCenterLocation() const {
    return allFingersGain([this](const Point<float>& start, const Point<float>& now) {
        return ruler.distanceMm(startCenter, now) - ruler.distanceMm(startCenter, start);
    });
}

int Apple_LanchpadGesture::updatePoint(const Contact<float>& contact, std::string& message) {
    message.clear();
    updateCommonData(contact);
    const std::size_t n = fingers();
    if (n != 4 && n != 5) {
        reset();
        return 0;
    }
    if (!tracking) {
        if (contact.state != ContactState::Added || n != 4) return 0;
        if (!startTracking(contact)) return 0;
    }
    if (contact.state == ContactState::Added && n == 5 && startPoints.count(contact.id) == 0) {
        startPoints[contact.id] = contact.location;
        startCenter = center;
        timeMs = contact.timestamp + 1500;
    }
    if (elapsedMs(nowMs(), timeMs) > 0) {
        reset();
        return 0;
    }
    if (contact.state != ContactState::Moved) return 0;
    if (outward && ruler.distanceMm(startCenter, center) > 9.0) {
        // The hand moved as a whole.
        reset();
        return 0;
    }
    if (!(outward ? allPointMoveOffCenterLocation() : allPointMoveToCenterLocation())) return 0;
    reset();
    message = "[" + name + "]\ncenter_x=";
    appendPrintf8f(message, center.x);
    message += "\ncenter_y=";
    appendPrintf8f(message, center.y);
    message += "\n";
    return int(message.size());
}

}  // namespace gesturelibrary
}  // namespace sdk
}  // namespace ordalo
