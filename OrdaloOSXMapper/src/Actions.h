// Desktop actions: one recognised gesture turned into events on the installed Desktop. The
// mapper makes at most one per contact, performs it at once and drops it.
#ifndef ORDALO_OSX_MAPPER_ACTIONS_H
#define ORDALO_OSX_MAPPER_ACTIONS_H

#include <cstdint>
#include <memory>
#include <string>

enum class ActionParse { Begin = 1, Delta = 2, End = 3 };

// 1: control + right arrow (fingers swiped left), 2: control + left arrow.
enum class SwipeDirection { Left = 1, Right = 2 };

class Action {
public:
    virtual void perform() = 0;
    virtual ~Action() = default;
};

// A left click; repeated taps on one spot become double and triple clicks.
class TapAction : public Action {
public:
    TapAction(float x, float y);
    static std::unique_ptr<TapAction> withGestureEvent(const std::string& text);
    void perform() override;

    float x, y;

    // Combo state of the process: where and when the last click went.
    static float _lastX, _lastY;
    static std::uint64_t _comboCount;
    static std::uint64_t _lastOccurred;
    static constexpr std::uint64_t _maxCombo = 2;
    static constexpr std::int64_t _maxIntervalOfCombo = 500;
    static constexpr float _maxShiftOfCombo = 0.01f;
};

class RightClickAction : public Action {
public:
    RightClickAction(float x, float y) : x(x), y(y) {}
    static std::unique_ptr<RightClickAction> withGestureEvent(const std::string& text);
    void perform() override;

    float x, y;
};

class HoverAction : public Action {
public:
    HoverAction(ActionParse status, float x, float y) : status(status), x(x), y(y) {}
    static std::unique_ptr<HoverAction> withGestureEvent(const std::string& text);
    void perform() override;

    ActionParse status;
    float x, y;
};

class DragAction : public Action {
public:
    DragAction(ActionParse status, float x, float y) : status(status), x(x), y(y) {}
    static std::unique_ptr<DragAction> withGestureEvent(const std::string& text);
    void perform() override;

    ActionParse status;
    float x, y;
};

class ScrollAction : public Action {
public:
    // value: the y of the center for a begin, the vertical movement dy otherwise.
    ScrollAction(ActionParse status, float x, float value) : status(status), x(x), value(value) {}
    static std::unique_ptr<ScrollAction> withGestureEvent(const std::string& text);
    void perform() override;

    ActionParse status;
    float x, value;
};

class PinchAction : public Action {
public:
    PinchAction(ActionParse status, float x, float y, float scale)
        : status(status), x(x), y(y), scale(scale) {}
    static std::unique_ptr<PinchAction> withGestureEvent(const std::string& text);
    void perform() override;

    ActionParse status;
    float x, y, scale;
};

class SwipeAppAction : public Action {
public:
    explicit SwipeAppAction(SwipeDirection direction) : direction(direction) {}
    void perform() override;

    SwipeDirection direction;
};

class MissionControlAction : public Action {
public:
    void perform() override;
};

class AppExposeAction : public Action {
public:
    void perform() override;
};

class LaunchpadAction : public Action {
public:
    void perform() override;
};

class ShowDesktopAction : public Action {
public:
    void perform() override;
};

// The characters between the first `key` in text and the first `end` behind it, as a new
// NUL-terminated string; null when either is missing.
std::unique_ptr<char[]> strsqz(const char* text, const char* key, const char* end);

#endif
