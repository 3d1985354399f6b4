#include "Actions.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

#include "Desktop.h"
#include "GestureSupport.h"

using ordalo::sdk::desktop::currentDesktop;
using ordalo::sdk::desktop::Desktop;
using ordalo::sdk::desktop::DisplaySize;
using ordalo::sdk::desktop::MouseButton;
using ordalo::sdk::desktop::MouseEventType;
namespace keycode = ordalo::sdk::desktop::keycode;
namespace dock = ordalo::sdk::desktop::dock;

std::unique_ptr<char[]> strsqz(const char* text, const char* key, const char* end) {
    const char* from = std::strstr(text, key);
    if (!from) return nullptr;
    from += std::strlen(key);
    // Searching behind the key: an end inside the key itself does not count.
    const char* to = std::strstr(from, end);
    if (!to) return nullptr;
    const std::size_t length = std::size_t(to - from);
    std::unique_ptr<char[]> value(new char[length + 1]);
    std::memcpy(value.get(), from, length);
    value[length] = '\0';
    return value;
}

namespace {

// The number behind key up to the line end, read as atof reads it but whatever the process
// locale. Missing keys and values that are not finite give false: no action.
bool numberAfter(const std::string& text, const char* key, float& out) {
    std::unique_ptr<char[]> value = strsqz(text.c_str(), key, "\n");
    if (!value) return false;
    const char* at = value.get();
    while (*at == ' ' || *at == '\t') ++at;
    if (*at == '+') ++at;
    double number = 0.0;
    if (std::from_chars(at, at + std::strlen(at), number).ec != std::errc()) number = 0.0;
    if (!std::isfinite(number) || std::fabs(number) > std::numeric_limits<float>::max())
        return false;
    out = float(number);
    return true;
}

bool centerOf(const std::string& text, float& x, float& y) {
    return numberAfter(text, "center_x=", x) && numberAfter(text, "center_y=", y);
}

// The point actions: made at the text's center, or not at all.
template <typename A>
std::unique_ptr<A> atCenterOf(const std::string& text) {
    float x = 0.0f, y = 0.0f;
    if (!centerOf(text, x, y)) return nullptr;
    return std::make_unique<A>(x, y);
}

bool statusWord(const char* word, ActionParse& status, bool endAccepted = true) {
    if (!word) return false;
    if (std::strcmp(word, "begin") == 0)
        status = ActionParse::Begin;
    else if (std::strcmp(word, "delta") == 0)
        status = ActionParse::Delta;
    else if (endAccepted && std::strcmp(word, "end") == 0)
        status = ActionParse::End;
    else
        return false;
    return true;
}

bool statusLine(const std::string& text, ActionParse& status, bool endAccepted = true) {
    return statusWord(strsqz(text.c_str(), "status=", "\n").get(), status, endAccepted);
}

struct Screen {
    Desktop& desktop;
    DisplaySize size;

    Screen() : desktop(currentDesktop()), size(desktop.mainDisplaySize()) {}
    void mouse(MouseEventType type, float x, float y, MouseButton button = MouseButton::Left,
               std::int64_t clickState = 0) {
        desktop.mouseEvent(type, double(x) * size.widthPx, double(y) * size.heightPx, button,
                           clickState);
    }
};

void pressChord(Desktop& desktop, std::uint16_t modifier, std::uint16_t key) {
    desktop.keyEvent(modifier, true);
    desktop.pause(10);
    desktop.keyEvent(key, true);
    desktop.pause(10);
    desktop.keyEvent(key, false);
    desktop.keyEvent(modifier, false);
}

}  // namespace

// ---- TapAction ------------------------------------------------------------------------------

float TapAction::_lastX = 0.0f;
float TapAction::_lastY = 0.0f;
std::uint64_t TapAction::_comboCount = 0;
std::uint64_t TapAction::_lastOccurred = 0;

TapAction::TapAction(float x, float y) : x(x), y(y) {
    const bool sameSpot =
            std::fabs(x - _lastX) < _maxShiftOfCombo && std::fabs(y - _lastY) < _maxShiftOfCombo;
    const std::int64_t sinceLast =
            ordalo::sdk::gesturelibrary::elapsedMs(ordalo::sdk::gesturelibrary::nowMs(),
                                                   _lastOccurred);
    if (sameSpot && sinceLast >= 0 && sinceLast < _maxIntervalOfCombo) {
        this->x = _lastX;
        this->y = _lastY;
        ++_comboCount;
    } else {
        // Another spot, or the same one too late (also after a triple click): a fresh sequence.
        _lastX = x;
        _lastY = y;
        _comboCount = 0;
    }
}

std::unique_ptr<TapAction> TapAction::withGestureEvent(const std::string& text) {
    return atCenterOf<TapAction>(text);
}

void TapAction::perform() {
    Screen screen;
    const std::int64_t clickState = _comboCount != 0 ? std::int64_t(_comboCount + 1) : 0;
    screen.mouse(MouseEventType::MouseMoved, x, y);
    screen.mouse(MouseEventType::LeftMouseDown, x, y, MouseButton::Left, clickState);
    screen.desktop.pause(1);
    screen.mouse(MouseEventType::LeftMouseUp, x, y, MouseButton::Left, clickState);
    _lastOccurred = _comboCount >= _maxCombo ? 0 : ordalo::sdk::gesturelibrary::nowMs();
}

// ---- Pointer actions ------------------------------------------------------------------------

std::unique_ptr<RightClickAction> RightClickAction::withGestureEvent(const std::string& text) {
    return atCenterOf<RightClickAction>(text);
}

void RightClickAction::perform() {
    Screen screen;
    screen.mouse(MouseEventType::MouseMoved, x, y);
    screen.mouse(MouseEventType::RightMouseDown, x, y, MouseButton::Right);
    screen.desktop.pause(1);
    screen.mouse(MouseEventType::RightMouseUp, x, y, MouseButton::Right);
}

std::unique_ptr<HoverAction> HoverAction::withGestureEvent(const std::string& text) {
    ActionParse status;
    float x = 0.0f, y = 0.0f;
    if (!statusWord(strsqz(text.c_str(), ":", "]").get(), status) || !centerOf(text, x, y))
        return nullptr;
    return std::make_unique<HoverAction>(status, x, y);
}

void HoverAction::perform() { Screen().mouse(MouseEventType::MouseMoved, x, y); }

std::unique_ptr<DragAction> DragAction::withGestureEvent(const std::string& text) {
    ActionParse status;
    float x = 0.0f, y = 0.0f;
    if (!statusLine(text, status) || !centerOf(text, x, y)) return nullptr;
    return std::make_unique<DragAction>(status, x, y);
}

void DragAction::perform() {
    Screen screen;
    switch (status) {
        case ActionParse::Begin:
            screen.mouse(MouseEventType::MouseMoved, x, y);
            screen.mouse(MouseEventType::LeftMouseDown, x, y);
            break;
        case ActionParse::Delta:
            screen.mouse(MouseEventType::LeftMouseDragged, x, y);
            break;
        case ActionParse::End:
            screen.mouse(MouseEventType::LeftMouseUp, x, y);
            break;
    }
}

std::unique_ptr<ScrollAction> ScrollAction::withGestureEvent(const std::string& text) {
    ActionParse status;
    float x = 0.0f, value = 0.0f;
    if (!statusLine(text, status) || !numberAfter(text, "center_x=", x) ||
        !numberAfter(text, status == ActionParse::Begin ? "center_y=" : "dy=", value))
        return nullptr;
    return std::make_unique<ScrollAction>(status, x, value);
}

void ScrollAction::perform() {
    Screen screen;
    if (status == ActionParse::Begin) {
        screen.mouse(MouseEventType::MouseMoved, x, value);
        return;
    }
    const double pixels = std::trunc(double(value) * screen.size.heightPx);
    const double limit = std::numeric_limits<std::int32_t>::max();
    screen.desktop.pixelScroll(std::int32_t(pixels > limit ? limit : pixels < -limit ? -limit
                                                                                      : pixels));
}

std::unique_ptr<PinchAction> PinchAction::withGestureEvent(const std::string& text) {
    ActionParse status;
    float x = 0.0f, y = 0.0f, scale = 0.0f;
    if (!statusLine(text, status, false) || !centerOf(text, x, y) ||
        !numberAfter(text, "scale=", scale))
        return nullptr;
    return std::make_unique<PinchAction>(status, x, y, scale);
}

void PinchAction::perform() {
    Screen screen;
    if (status == ActionParse::Begin) screen.mouse(MouseEventType::MouseMoved, x, y);
    pressChord(screen.desktop, keycode::Command, scale > 1.0f ? keycode::KeypadPlus : keycode::Minus);
}

// ---- Keys and the Dock ----------------------------------------------------------------------

void SwipeAppAction::perform() {
    pressChord(currentDesktop(), keycode::Control,
               direction == SwipeDirection::Left ? keycode::RightArrow : keycode::LeftArrow);
}

void MissionControlAction::perform() { currentDesktop().dockNotification(dock::MissionControl); }

void AppExposeAction::perform() { currentDesktop().dockNotification(dock::AppExpose); }

void LaunchpadAction::perform() { currentDesktop().dockNotification(dock::Launchpad); }

void ShowDesktopAction::perform() { currentDesktop().dockNotification(dock::ShowDesktop); }
