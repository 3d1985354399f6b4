/*
 * RecordingDesktop.h - a Desktop backend that records what it is asked to do, for tests and
 * benchmarks, and the one-line text form of a desktop event that it and a printing backend use.
 *
 * Text forms (pixel numbers with up to ten significant digits, so 480 and 499.6875 print as
 * such):
 *   "mouse-moved 480,540"  "left-down 480,540"  "left-up 480,540"  "left-dragged 480,540"
 *   "right-down 480,540"   "right-up 480,540"
 *     followed by " click=N" when the click state N is not 0, and by " button=B" when the
 *     button is not the one the type implies (Right for the right-* types, Left otherwise);
 *   "scroll -10"  "key-down 55"  "key-up 55"  "dock com.apple.expose.awake"  "pause 10"
 */
#ifndef ORDALO_RECORDING_DESKTOP_H
#define ORDALO_RECORDING_DESKTOP_H

#include <cstdint>
#include <string>
#include <vector>

#include "Desktop.h"

namespace ordalo {
namespace sdk {
namespace desktop {

struct DesktopEvent {
    enum class Kind { Mouse, Scroll, Key, Dock, Pause };
    Kind kind;
    MouseEventType mouseType;  /* Mouse */
    double xPx, yPx;           /* Mouse */
    MouseButton button;        /* Mouse */
    std::int64_t clickState;   /* Mouse */
    std::int32_t scrollPx;     /* Scroll */
    std::uint16_t keyCode;     /* Key */
    bool keyDown;              /* Key */
    std::string name;          /* Dock */
    std::uint32_t pauseMs;     /* Pause */
};

/* The one-line text form above. */
ODOSX_API std::string describe(const DesktopEvent& event);

/* Records every call, never waits. Not a thread-safe object (one thread, as the mapper). */
class ODOSX_API RecordingDesktop : public Desktop {
public:
    explicit RecordingDesktop(DisplaySize size = {1920, 1080});

    DisplaySize mainDisplaySize() override;
    void mouseEvent(MouseEventType type, double xPx, double yPx, MouseButton button,
                    std::int64_t clickState) override;
    void pixelScroll(std::int32_t wheel1Px) override;
    void keyEvent(std::uint16_t macKeyCode, bool down) override;
    void dockNotification(const std::string& name) override;
    void pause(std::uint32_t ms) override;

    void setDisplaySize(DisplaySize size);
    const std::vector<DesktopEvent>& events() const;
    /* The text forms of the events recorded so far, which are then forgotten. */
    std::vector<std::string> take();
    void clear();

private:
    DesktopEvent& record(DesktopEvent::Kind kind);

    DisplaySize size_;
    std::vector<DesktopEvent> events_;
};

}  // namespace desktop
}  // namespace sdk
}  // namespace ordalo

#endif
