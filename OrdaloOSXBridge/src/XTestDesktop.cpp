// Real input on an X display: pointer, buttons, wheel and keys through XTest, placed on one
// RandR monitor. Desktop.h comes before X11's headers, which define None.
#include "Desktops.h"

#include <X11/Xlib.h>
#include <X11/XKBlib.h>
#include <X11/extensions/XTest.h>
#include <X11/extensions/Xrandr.h>
#include <X11/keysym.h>
#include <X11/XF86keysym.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <thread>

namespace ordalo {
namespace bridge {

namespace {

using sdk::desktop::MouseButton;
using sdk::desktop::MouseEventType;

struct MacKey {
    std::uint16_t code;
    unsigned long keysym;
};

// macOS virtual key codes (ANSI layout) to the keysyms of the same keys. Command becomes Control,
// because the Command shortcuts the actions send (zoom with Command + plus and minus) are Control
// shortcuts on Linux desktops.
constexpr MacKey kMacKeys[] = {
        {0x00, XK_a}, {0x01, XK_s}, {0x02, XK_d}, {0x03, XK_f}, {0x04, XK_h}, {0x05, XK_g},
        {0x06, XK_z}, {0x07, XK_x}, {0x08, XK_c}, {0x09, XK_v}, {0x0B, XK_b}, {0x0C, XK_q},
        {0x0D, XK_w}, {0x0E, XK_e}, {0x0F, XK_r}, {0x10, XK_y}, {0x11, XK_t}, {0x12, XK_1},
        {0x13, XK_2}, {0x14, XK_3}, {0x15, XK_4}, {0x16, XK_6}, {0x17, XK_5}, {0x18, XK_equal},
        {0x19, XK_9}, {0x1A, XK_7}, {0x1B, XK_minus}, {0x1C, XK_8}, {0x1D, XK_0},
        {0x1E, XK_bracketright}, {0x1F, XK_o}, {0x20, XK_u}, {0x21, XK_bracketleft},
        {0x22, XK_i}, {0x23, XK_p}, {0x24, XK_Return}, {0x25, XK_l}, {0x26, XK_j},
        {0x27, XK_apostrophe}, {0x28, XK_k}, {0x29, XK_semicolon}, {0x2A, XK_backslash},
        {0x2B, XK_comma}, {0x2C, XK_slash}, {0x2D, XK_n}, {0x2E, XK_m}, {0x2F, XK_period},
        {0x30, XK_Tab}, {0x31, XK_space}, {0x32, XK_grave}, {0x33, XK_BackSpace},
        {0x35, XK_Escape}, {0x36, XK_Control_R}, {0x37, XK_Control_L}, {0x38, XK_Shift_L},
        {0x39, XK_Caps_Lock}, {0x3A, XK_Alt_L}, {0x3B, XK_Control_L}, {0x3C, XK_Shift_R},
        {0x3D, XK_Alt_R}, {0x3E, XK_Control_R}, {0x40, XK_F17}, {0x41, XK_KP_Decimal},
        {0x43, XK_KP_Multiply}, {0x45, XK_KP_Add}, {0x47, XK_Num_Lock},
        {0x48, XF86XK_AudioRaiseVolume}, {0x49, XF86XK_AudioLowerVolume},
        {0x4A, XF86XK_AudioMute}, {0x4B, XK_KP_Divide}, {0x4C, XK_KP_Enter},
        {0x4E, XK_KP_Subtract}, {0x4F, XK_F18}, {0x50, XK_F19}, {0x51, XK_KP_Equal},
        {0x52, XK_KP_0}, {0x53, XK_KP_1}, {0x54, XK_KP_2}, {0x55, XK_KP_3}, {0x56, XK_KP_4},
        {0x57, XK_KP_5}, {0x58, XK_KP_6}, {0x59, XK_KP_7}, {0x5A, XK_F20}, {0x5B, XK_KP_8},
        {0x5C, XK_KP_9}, {0x60, XK_F5}, {0x61, XK_F6}, {0x62, XK_F7}, {0x63, XK_F3},
        {0x64, XK_F8}, {0x65, XK_F9}, {0x67, XK_F11}, {0x69, XK_F13}, {0x6A, XK_F16},
        {0x6B, XK_F14}, {0x6D, XK_F10}, {0x6F, XK_F12}, {0x71, XK_F15}, {0x72, XK_Help},
        {0x73, XK_Home}, {0x74, XK_Page_Up}, {0x75, XK_Delete}, {0x76, XK_F4}, {0x77, XK_End},
        {0x78, XK_F2}, {0x79, XK_Page_Down}, {0x7A, XK_F1}, {0x7B, XK_Left}, {0x7C, XK_Right},
        {0x7D, XK_Down}, {0x7E, XK_Up},
};

struct DockCombo {
    const char* notification;
    std::vector<unsigned long> keysyms;  // pressed in order, released in reverse
};

// The Dock's four views as the shortcuts of the usual Linux desktops: GNOME's overview, KDE
// Plasma's windows of the current application, GNOME's application grid, and show desktop
// (Super + D in GNOME's and most desktops' defaults).
const std::vector<DockCombo>& dockCombos() {
    static const std::vector<DockCombo> combos = {
            {sdk::desktop::dock::MissionControl, {XK_Super_L, XK_s}},
            {sdk::desktop::dock::AppExpose, {XK_Control_L, XK_F7}},
            {sdk::desktop::dock::Launchpad, {XK_Super_L, XK_a}},
            {sdk::desktop::dock::ShowDesktop, {XK_Super_L, XK_d}},
    };
    return combos;
}

std::vector<XMonitor> listMonitors(Display* display) {
    std::vector<XMonitor> monitors;
    int eventBase = 0, errorBase = 0, major = 0, minor = 0;
    if (!XRRQueryExtension(display, &eventBase, &errorBase) ||
        !XRRQueryVersion(display, &major, &minor))
        return monitors;
    const Window root = DefaultRootWindow(display);
    if (major > 1 || (major == 1 && minor >= 5)) {
        // Monitors cover both the outputs and the rectangles a user defined on top of them.
        int count = 0;
        XRRMonitorInfo* infos = XRRGetMonitors(display, root, True, &count);
        for (int i = 0; i < count; ++i) {
            XMonitor m;
            if (char* name = XGetAtomName(display, infos[i].name)) {
                m.name = name;
                XFree(name);
            }
            m.x = infos[i].x;
            m.y = infos[i].y;
            m.width = unsigned(std::max(infos[i].width, 0));
            m.height = unsigned(std::max(infos[i].height, 0));
            m.primary = infos[i].primary;
            monitors.push_back(m);
        }
        if (infos) XRRFreeMonitors(infos);
        return monitors;
    }
    if (major == 1 && minor < 2) return monitors;
    XRRScreenResources* resources = XRRGetScreenResourcesCurrent(display, root);
    if (!resources) return monitors;
    const RROutput primary = XRRGetOutputPrimary(display, root);
    for (int i = 0; i < resources->noutput; ++i) {
        XRROutputInfo* output = XRRGetOutputInfo(display, resources, resources->outputs[i]);
        if (!output) continue;
        if (output->crtc) {
            if (XRRCrtcInfo* crtc = XRRGetCrtcInfo(display, resources, output->crtc)) {
                monitors.push_back({output->name, crtc->x, crtc->y, crtc->width, crtc->height,
                                    resources->outputs[i] == primary});
                XRRFreeCrtcInfo(crtc);
            }
        }
        XRRFreeOutputInfo(output);
    }
    XRRFreeScreenResources(resources);
    return monitors;
}

std::string listOf(const std::vector<XMonitor>& monitors) {
    std::string text;
    for (const XMonitor& m : monitors) text += (text.empty() ? "" : ", ") + describeMonitor(m);
    return text.empty() ? "none" : text;
}

int onXError(Display* display, XErrorEvent* error) {
    // Xlib's default handler ends the process; a refused request must not end the bridge.
    static std::set<int> reported;
    if (reported.insert(error->error_code).second) {
        char text[256] = "";
        XGetErrorText(display, error->error_code, text, sizeof text);
        std::fprintf(stderr, "OrdaloOSXBridge: X error: %s (request %d)\n", text,
                     int(error->request_code));
    }
    return 0;
}

int onXIOError(Display*) {
    std::fprintf(stderr, "OrdaloOSXBridge: lost the connection to the X display\n");
    std::exit(1);
}

class XTestDesktop : public Desktop {
public:
    XTestDesktop(Display* display, std::string output, XMonitor monitor)
        : display_(display), output_(std::move(output)), monitor_(std::move(monitor)),
          checked_(Clock::now()) {}

    ~XTestDesktop() override {
        // A drag cut short by the end of the bridge must not leave the button held.
        if (heldLeft_) XTestFakeButtonEvent(display_, 1, False, CurrentTime);
        if (heldRight_) XTestFakeButtonEvent(display_, 3, False, CurrentTime);
        XCloseDisplay(display_);
    }

    DisplaySize mainDisplaySize() override {
        refresh();
        return {monitor_.width, monitor_.height};
    }

    void mouseEvent(MouseEventType type, double xPx, double yPx, MouseButton,
                    std::int64_t) override {
        // X has no click state: clients count clicks by their timing, which the actions keep.
        if (!std::isfinite(xPx) || !std::isfinite(yPx)) return;
        const int x = monitor_.x + pixel(xPx, monitor_.width);
        const int y = monitor_.y + pixel(yPx, monitor_.height);
        // A button event goes where the pointer is; a move there first only if it is elsewhere,
        // so that a click has no motion between its press and release.
        const bool move = type == MouseEventType::MouseMoved ||
                          type == MouseEventType::LeftMouseDragged || !posted_ ||
                          x != postedX_ || y != postedY_;
        if (move) XTestFakeMotionEvent(display_, DefaultScreen(display_), x, y, CurrentTime);
        posted_ = true;
        postedX_ = x;
        postedY_ = y;
        switch (type) {
            case MouseEventType::LeftMouseDown: press(1, heldLeft_); break;
            case MouseEventType::LeftMouseUp: release(1, heldLeft_); break;
            case MouseEventType::RightMouseDown: press(3, heldRight_); break;
            case MouseEventType::RightMouseUp: release(3, heldRight_); break;
            case MouseEventType::MouseMoved:
            case MouseEventType::LeftMouseDragged: break;
        }
        XFlush(display_);
    }

    void pixelScroll(std::int32_t wheel1Px) override {
        const std::int64_t steps = wheel_.add(wheel1Px);
        const unsigned button = steps > 0 ? 4 : 5;
        for (std::int64_t i = 0; i < std::llabs(steps); ++i) {
            XTestFakeButtonEvent(display_, button, True, CurrentTime);
            XTestFakeButtonEvent(display_, button, False, CurrentTime);
        }
        XFlush(display_);
    }

    void keyEvent(std::uint16_t macKeyCode, bool down) override {
        const unsigned long keysym = keysymOfMacKey(macKeyCode);
        if (keysym == 0) {
            warnOnce(unknownCodes_, macKeyCode, "no X key for macOS key code");
            return;
        }
        postKey(keysym, down);
        XFlush(display_);
    }

    void dockNotification(const std::string& name) override {
        for (const DockCombo& combo : dockCombos()) {
            if (name != combo.notification) continue;
            for (unsigned long keysym : combo.keysyms) postKey(keysym, true);
            for (auto k = combo.keysyms.rbegin(); k != combo.keysyms.rend(); ++k)
                postKey(*k, false);
            XFlush(display_);
            return;
        }
        if (unknownDock_.insert(name).second)
            std::fprintf(stderr, "OrdaloOSXBridge: no shortcut for %s\n", name.c_str());
    }

    void pause(std::uint32_t ms) override {
        XFlush(display_);
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    }

private:
    using Clock = std::chrono::steady_clock;
    // Monitors come and go: the rectangle is looked up again at most this often.
    static constexpr std::chrono::milliseconds kRecheck{1000};

    static int pixel(double px, unsigned size) {
        const double limit = size > 0 ? double(size - 1) : 0.0;
        return int(std::lround(std::clamp(px, 0.0, limit)));
    }

    void press(unsigned button, bool& held) {
        // A press while this backend still holds the button (a drag whose end the actions never
        // sent) releases it first, so that the press is seen as one.
        if (held) XTestFakeButtonEvent(display_, button, False, CurrentTime);
        XTestFakeButtonEvent(display_, button, True, CurrentTime);
        held = true;
    }

    void release(unsigned button, bool& held) {
        // Only what this backend pressed: a stray release could end a drag of the real mouse.
        if (!held) return;
        XTestFakeButtonEvent(display_, button, False, CurrentTime);
        held = false;
    }

    void postKey(unsigned long keysym, bool down) {
        const KeyCode code = XKeysymToKeycode(display_, KeySym(keysym));
        if (code == 0) {
            warnOnce(unmappedKeysyms_, keysym, "the X keyboard map has no key for keysym");
            return;
        }
        XTestFakeKeyEvent(display_, code, down ? True : False, CurrentTime);
    }

    template <typename K>
    static void warnOnce(std::set<K>& seen, K key, const char* what) {
        if (seen.insert(key).second)
            std::fprintf(stderr, "OrdaloOSXBridge: %s 0x%lx\n", what, static_cast<unsigned long>(key));
    }

    void refresh() {
        const Clock::time_point now = Clock::now();
        if (now - checked_ < kRecheck) return;
        checked_ = now;
        const std::vector<XMonitor> monitors = listMonitors(display_);
        for (const XMonitor& m : monitors) {
            if (output_.empty() ? m.primary : m.name == output_) {
                monitor_ = m;
                return;
            }
        }
        if (output_.empty() && !monitors.empty()) monitor_ = monitors.front();
        // A named monitor that has gone keeps its last rectangle until it comes back.
    }

    Display* display_;
    std::string output_;
    XMonitor monitor_;
    Clock::time_point checked_;
    bool heldLeft_ = false, heldRight_ = false;
    bool posted_ = false;  // postedX_, postedY_: where this backend last put the pointer
    int postedX_ = 0, postedY_ = 0;
    WheelSteps wheel_;
    std::set<std::uint16_t> unknownCodes_;
    std::set<unsigned long> unmappedKeysyms_;
    std::set<std::string> unknownDock_;
};

}  // namespace

unsigned long keysymOfMacKey(std::uint16_t macKeyCode) {
    for (const MacKey& key : kMacKeys)
        if (key.code == macKeyCode) return key.keysym;
    return 0;
}

std::string describeMonitor(const XMonitor& m) {
    char text[160];
    std::snprintf(text, sizeof text, "%ux%u%+d%+d", m.width, m.height, m.x, m.y);
    return m.name + " (" + text + (m.primary ? ", primary)" : ")");
}

std::int64_t WheelSteps::add(std::int32_t pixels) {
    carriedPx_ += pixels;
    const std::int64_t steps = carriedPx_ / kPixelsPerStep;
    carriedPx_ -= steps * kPixelsPerStep;
    return std::clamp(steps, -kMaxStepsPerEvent, kMaxStepsPerEvent);
}

OpenedDesktop openXTestDesktop(const std::string& output) {
    OpenedDesktop opened;
    const char* name = std::getenv("DISPLAY");
    Display* display = XOpenDisplay(nullptr);
    if (!display) {
        opened.error = std::string("cannot open the X display '") + (name ? name : "") + "'";
        return opened;
    }
    int event = 0, error = 0, major = 0, minor = 0;
    if (!XTestQueryExtension(display, &event, &error, &major, &minor)) {
        XCloseDisplay(display);
        opened.error = "the X display has no XTEST extension";
        return opened;
    }
    XSetErrorHandler(onXError);
    XSetIOErrorHandler(onXIOError);

    const std::vector<XMonitor> monitors = listMonitors(display);
    XMonitor chosen;
    bool found = false;
    for (const XMonitor& m : monitors) {
        if (output.empty() ? m.primary : m.name == output) {
            chosen = m;
            found = true;
            break;
        }
    }
    if (!found && !output.empty()) {
        XCloseDisplay(display);
        opened.error = "ORDALO_OUTPUT names no output of this X display: '" + output +
                       "'; outputs: " + listOf(monitors);
        opened.settingsFault = true;
        return opened;
    }
    if (!found && !monitors.empty()) chosen = monitors.front();
    if (!found && monitors.empty()) {
        const int screen = DefaultScreen(display);
        chosen = {"screen", 0, 0, unsigned(DisplayWidth(display, screen)),
                  unsigned(DisplayHeight(display, screen)), true};
    }
    opened.summary = "xtest on " + describeMonitor(chosen);
    opened.desktop = std::make_unique<XTestDesktop>(display, output, chosen);
    return opened;
}

}  // namespace bridge
}  // namespace ordalo
