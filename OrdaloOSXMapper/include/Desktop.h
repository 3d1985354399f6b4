/*
 * Desktop.h - where the gesture mapper's actions go.
 *
 * The actions are written against the macOS event model: mouse events of a CoreGraphics event
 * type with a button and a click state, pixel scroll-wheel events, key events by macOS virtual
 * key code, Dock notifications by name. A Desktop backend turns these into input for the desktop
 * it drives (X11 XTest, a printed dry run, a recording for tests). This header needs nothing of
 * the mapper's other headers, so a backend includes it alone.
 *
 * Ownership: the mapper never owns a backend. setDesktop installs a caller-owned backend, which
 * must stay alive until it is replaced (setDesktop(nullptr) or another backend). With none
 * installed, actions go to a built-in backend that drops them (display size 0 x 0).
 *
 * Threads: a backend is called only from the thread that feeds the mapper; install it from that
 * thread too.
 *
 * Results: the event calls report nothing. Actions cannot act on a failed post, so a backend
 * that can fail logs or counts its failures itself.
 */
#ifndef ORDALO_DESKTOP_H
#define ORDALO_DESKTOP_H

#include <cstdint>
#include <string>

#ifndef ODOSX_API
#define ODOSX_API __attribute__((visibility("default")))
#endif

namespace ordalo {
namespace sdk {
namespace desktop {

/* CoreGraphics mouse event types, with their numbers. */
enum class MouseEventType : std::int32_t {
    LeftMouseDown = 1,
    LeftMouseUp = 2,
    RightMouseDown = 3,
    RightMouseUp = 4,
    MouseMoved = 5,
    LeftMouseDragged = 6,
};

/* CoreGraphics mouse buttons. Moves carry Left, which a backend may ignore. */
enum class MouseButton : std::int32_t { Left = 0, Right = 1 };

/* The macOS virtual key codes the actions send. */
namespace keycode {
constexpr std::uint16_t Minus = 27;
constexpr std::uint16_t Command = 55;
constexpr std::uint16_t Control = 59;
constexpr std::uint16_t KeypadPlus = 69;
constexpr std::uint16_t LeftArrow = 123;
constexpr std::uint16_t RightArrow = 124;
}  // namespace keycode

/* The Dock notifications the actions send. */
namespace dock {
constexpr const char* MissionControl = "com.apple.expose.awake";
constexpr const char* AppExpose = "com.apple.expose.front.awake";
constexpr const char* Launchpad = "com.apple.launchpad.toggle";
constexpr const char* ShowDesktop = "com.apple.showdesktop.awake";
}  // namespace dock

/* Size of the main display in pixels. */
struct DisplaySize {
    std::uint32_t widthPx;
    std::uint32_t heightPx;
};

class ODOSX_API Desktop {
public:
    virtual ~Desktop();

    /* The main display's size, asked once per action (the display may change between them). */
    virtual DisplaySize mainDisplaySize() = 0;

    /* A mouse event at (xPx, yPx), pixels from the main display's top left corner (fractional;
     * the backend rounds as its desktop needs). clickState 0 leaves the click state unset (a
     * single click); 2 and 3 mark the second and third click of a double or triple click. */
    virtual void mouseEvent(MouseEventType type, double xPx, double yPx, MouseButton button,
                            std::int64_t clickState) = 0;

    /* One scroll-wheel event of wheel 1 in pixel units, sign as on macOS: positive moves the
     * content down (towards the top of a document), negative moves it up. */
    virtual void pixelScroll(std::int32_t wheel1Px) = 0;

    /* A key going down or up, by macOS virtual key code. Modifiers arrive as keys of their own
     * (Command down, key down, key up, Command up); the events carry no modifier flags. */
    virtual void keyEvent(std::uint16_t macKeyCode, bool down) = 0;

    /* A Dock notification by name (one of the dock:: names). */
    virtual void dockNotification(const std::string& name) = 0;

    /* A pause between the events of one action, so the desktop sees a click or a key press
     * last. A real backend flushes what it posted and sleeps; a test backend need not wait. */
    virtual void pause(std::uint32_t ms) = 0;
};

/* Installs the backend the actions use (nullptr: the built-in one that drops everything);
 * returns the one it replaces (nullptr for the built-in one). */
ODOSX_API Desktop* setDesktop(Desktop* desktop);

/* The backend the actions use now. */
ODOSX_API Desktop& currentDesktop();

}  // namespace desktop
}  // namespace sdk
}  // namespace ordalo

#endif
