// Recognizer bases, attributes, and the tap, hover and drag recognizers.
#include <charconv>
#include <cmath>
#include <cstring>

#include "Gestures.h"

namespace ordalo {
namespace sdk {
namespace gesturelibrary {

namespace {

// Whole-string numbers only, independent of the process locale.
bool readDouble(const std::string& text, double& out) {
    const char* end = text.data() + text.size();
    auto [at, ec] = std::from_chars(text.data(), end, out);
    return ec == std::errc() && at == end && std::isfinite(out);
}

bool readInteger(const std::string& text, long long& out) {
    const char* end = text.data() + text.size();
    auto [at, ec] = std::from_chars(text.data(), end, out);
    return ec == std::errc() && at == end;
}

// "<diagonal>@<w>:<h>" in inches and aspect units.
bool readTouchScreenSpec(const std::string& value, ScreenRuler& ruler) {
    const std::size_t at = value.find('@');
    if (at == std::string::npos) return false;
    const std::size_t colon = value.find(':', at + 1);
    if (colon == std::string::npos) return false;
    const std::size_t end = value.find(':', colon + 1);
    double diagonal = 0.0;
    long long w = 0, h = 0;
    if (!readDouble(value.substr(0, at), diagonal) ||
        !readInteger(value.substr(at + 1, colon - at - 1), w) ||
        !readInteger(value.substr(colon + 1, end == std::string::npos ? end : end - colon - 1), h))
        return false;
    // A surface without extent would turn every threshold into a division by nothing.
    if (diagonal <= 0.0 || w <= 0 || h <= 0) return false;
    const double aspect = std::hypot(double(w), double(h));
    const double width = diagonal * 25.4 * double(w) / aspect;
    const double height = diagonal * 25.4 * double(h) / aspect;
    if (!std::isfinite(width) || !std::isfinite(height) || float(width) <= 0.0f ||
        float(height) <= 0.0f)
        return false;
    ruler.width = float(width);
    ruler.height = float(height);
    return true;
}

template <typename T>
void readInRange(const std::string& value, T low, T high, T& parameter) {
    if constexpr (std::is_floating_point<T>::value) {
        double v = 0.0;
        if (readDouble(value, v) && v >= low && v <= high) parameter = T(v);
    } else {
        long long v = 0;
        if (readInteger(value, v) && v >= static_cast<long long>(low) &&
            v <= static_cast<long long>(high))
            parameter = T(v);
    }
}

void appendFormatted(std::string& text, double value, int decimals, std::size_t minWidth) {
    char digits[128];
    auto [end, ec] =
            std::to_chars(digits, digits + sizeof digits, value, std::chars_format::fixed, decimals);
    const std::size_t length = ec == std::errc() ? std::size_t(end - digits) : 0;
    if (length < minWidth) text.append(minWidth - length, ' ');
    text.append(digits, length);
}

}  // namespace

void appendFixed8(std::string& text, double value) { appendFormatted(text, value, 8, 0); }

void appendPrintf8f(std::string& text, double value) { appendFormatted(text, value, 6, 8); }

void GestureBase::setAttribute(const std::string& key, const std::string& value) {
    if (key == "name")
        name = value;
    else if (key == "TouchScreenSpec")
        readTouchScreenSpec(value, ruler);
}

void GestureBase::updateCommonData(const Contact<float>& contact) {
    const std::size_t n = contacts.size();
    switch (contact.state) {
        case ContactState::Added:
            center.x = (center.x * float(n) + contact.location.x) / float(n + 1);
            center.y = (center.y * float(n) + contact.location.y) / float(n + 1);
            contacts[contact.id] = &contact;
            break;
        case ContactState::Removed: {
            auto found = contacts.find(contact.id);
            if (found == contacts.end()) break;
            if (n == 1) {
                center = Point<float>{0.0f, 0.0f};
            } else {
                center.x = (center.x * float(n) - contact.location.x) / float(n - 1);
                center.y = (center.y * float(n) - contact.location.y) / float(n - 1);
            }
            contacts.erase(found);
            break;
        }
        case ContactState::Moved: {
            auto found = contacts.find(contact.id);
            if (found == contacts.end()) break;
            center.x += contact.delta.x / float(n);
            center.y += contact.delta.y / float(n);
            found->second = &contact;
            break;
        }
        case ContactState::None:
            break;
    }
}

StaticGesture::StaticGesture(std::string gestureName)
    : GestureBase(std::move(gestureName)), timeMs(nowMs()) {}

int StaticGesture::updatePoint(const Contact<float>& contact, std::string&) {
    updateCommonData(contact);
    return 0;
}

int DynamicGesture::updatePoint(const Contact<float>& contact, std::string&) {
    updateCommonData(contact);
    return 0;
}

bool DynamicGesture::stayBlocked() {
    if (status != GestureStatus::Blocked) return false;
    if (contacts.empty()) status = GestureStatus::Idle;
    return true;
}

// ---- Tap ------------------------------------------------------------------------------------

TapGesture::TapGesture(std::string gestureName, unsigned fingers, std::int64_t tapTime,
                       float tapShift, std::int64_t comboLimit, std::int64_t comboInterval,
                       float comboShift)
    : StaticGesture(std::move(gestureName)),
      firstDownTime(timeMs),
      lastTapTime(timeMs),
      fingerAmount(fingers),
      maxTapTime(tapTime),
      maxTapShift(tapShift),
      maxCombo(comboLimit),
      maxComboInterval(comboInterval),
      maxComboShift(comboShift) {}

int TapGesture::reset() {
    downCount = 0;
    combo = 0;
    return 0;
}

void TapGesture::setAttribute(const std::string& key, const std::string& value) {
    StaticGesture::setAttribute(key, value);
    if (key == "fingerAmount")
        readInRange(value, MinContactAmount, MaxContactAmount, fingerAmount);
    else if (key == "maxTapTime")
        readInRange(value, MinMaxTapTime, MaxMaxTapTime, maxTapTime);
    else if (key == "maxTapShift")
        readInRange(value, MinMaxTapShift, MaxMaxTapShift, maxTapShift);
    else if (key == "maxCombo")
        readInRange(value, MinMaxCombo, MaxMaxCombo, maxCombo);
    else if (key == "maxComboInterval")
        readInRange(value, MinMaxComboInterval, MaxMaxComboInterval, maxComboInterval);
    else if (key == "maxComboShift")
        readInRange(value, MinMaxComboShift, MaxMaxComboShift, maxComboShift);
}

int TapGesture::updatePoint(const Contact<float>& contact, std::string& message) {
    updateCommonData(contact);
    const std::size_t n = fingers();
    if (tapState == 2) {
        if (n == 0) tapState = 0;
        return 0;
    }
    if (contact.state == ContactState::Moved) return 0;
    if (n > fingerAmount) {
        tapState = 2;
        return reset();
    }
    const std::uint64_t now = nowMs();
    if (downCount > 0 && elapsedMs(now, firstDownTime) > maxTapTime) return reset();

    if (contact.state == ContactState::Added) {
        if (n == 1)
            firstDownTime = now;
        else if (n == fingerAmount && spreadMm() > 50.0 * fingerAmount - 50.0 + 20.0)
            return reset();
        tapPoint = center;
        ++downCount;
        return 0;
    }
    if (contact.state != ContactState::Removed) return 0;
    if (downCount < fingerAmount) return reset();
    if (ruler.distanceMm(contact.origin, contact.location) > maxTapShift) return reset();
    if (n > 0) return 0;

    if (combo == 0 || elapsedMs(now, lastTapTime) > maxComboInterval ||
        ruler.distanceMm(lastTapPoint, tapPoint) > maxComboShift)
        combo = 1;
    else
        ++combo;
    if (combo < maxCombo) {
        lastTapTime = now;
        lastTapPoint = tapPoint;
    }
    message += "[" + name + "]\ncenter_x=";
    appendFixed8(message, tapPoint.x);
    message += "\ncenter_y=";
    appendFixed8(message, tapPoint.y);
    message += "\n";
    if (maxCombo != 0) message += "combo=" + std::to_string(combo) + "\n";
    downCount = 0;
    if (combo >= maxCombo) combo = 0;
    contacts.clear();
    return 1;
}

// ---- Hover ----------------------------------------------------------------------------------

HoverGesture::HoverGesture(std::string gestureName)
    : DynamicGesture(std::move(gestureName)), beginTime(nowMs()) {}

int HoverGesture::write(const char* phase, std::string& message) const {
    message = "[" + name + ":" + phase + "]\ncenter_x=";
    appendPrintf8f(message, reported.x);
    message += "\ncenter_y=";
    appendPrintf8f(message, reported.y);
    message += "\n";
    return int(message.size());
}

bool HoverGesture::initiallyTest() {
    const Contact<float>& lowest = *contacts.begin()->second;
    if (ruler.distanceMm(lowest.origin, lowest.location) > 4.5) return false;
    if (elapsedMs(nowMs(), lowest.timestamp) <= _minTriggerTime) return false;
    reported = center;
    return true;
}

bool HoverGesture::continuouslyTest() {
    reported = center;
    return true;
}

int HoverGesture::updatePoint(const Contact<float>& contact, std::string& message) {
    updateCommonData(contact);
    if (stayBlocked()) return 0;
    const std::size_t n = fingers();
    if (n != 1) {
        int written = 0;
        if (active) {
            written = write("end", message);
            active = false;
        }
        if (n > 1) status = GestureStatus::Blocked;
        return written;
    }
    if (active) {
        continuouslyTest();
        return write("delta", message);
    }
    if (!initiallyTest()) return 0;
    beginTime = nowMs();
    active = true;
    return write("begin", message);
}

// ---- Drag -----------------------------------------------------------------------------------

void DragGesture::append(std::string& message, const Point<float>& at, const char* phase) const {
    message += "[" + name + "]\ncenter_x=";
    appendFixed8(message, at.x);
    message += "\ncenter_y=";
    appendFixed8(message, at.y);
    message += "\ndx=";
    appendFixed8(message, dx);
    message += "\ndy=";
    appendFixed8(message, dy);
    message += "\nstatus=";
    message += phase;
    message += "\n";
}

int DragGesture::updatePoint(const Contact<float>& contact, std::string& message) {
    updateCommonData(contact);
    if (stayBlocked()) return 0;
    if (status == GestureStatus::Idle && contact.state != ContactState::Moved) {
        lastCenter = center;
        return 0;
    }
    const std::size_t n = fingers();
    if (n != fingerAmount) {
        int written = 0;
        if (running()) {
            // The end repeats the last reported point: the fingers left or joined, they did
            // not move there.
            dx = dy = 0.0f;
            append(message, lastCenter, "end");
            written = 1;
        }
        status = n < fingerAmount ? GestureStatus::Idle : GestureStatus::Blocked;
        return written;
    }
    if (!contact.isLast) return 0;
    if (fingerAmount > 1 && spreadMm() > 50.0 * fingerAmount - 50.0 + 20.0) return 0;
    if (status != GestureStatus::Idle) {
        status = GestureStatus::Delta;
    } else {
        if (ruler.distanceMm(contact.origin, contact.location) <= 4.7) return 0;
        status = GestureStatus::Begin;
    }
    dx = center.x - lastCenter.x;
    dy = center.y - lastCenter.y;
    append(message, center, status == GestureStatus::Begin ? "begin" : "delta");
    lastCenter = center;
    return 1;
}

}  // namespace gesturelibrary
}  // namespace sdk
}  // namespace ordalo
