// The bridge's desktop backends: real input through X11 XTest, and a printed dry run.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "Desktop.h"
#include "RecordingDesktop.h"

namespace ordalo {
namespace bridge {

using sdk::desktop::Desktop;
using sdk::desktop::DisplaySize;

// One line per input event in the text form of RecordingDesktop.h ("left-down 480,540"), on a
// display of a nominal size. Pauses are not events: they are neither printed nor waited for.
class PrintDesktop : public sdk::desktop::RecordingDesktop {
public:
    explicit PrintDesktop(std::FILE* out, DisplaySize size = {1920, 1080});

    void mouseEvent(sdk::desktop::MouseEventType type, double xPx, double yPx,
                    sdk::desktop::MouseButton button, std::int64_t clickState) override;
    void pixelScroll(std::int32_t wheel1Px) override;
    void keyEvent(std::uint16_t macKeyCode, bool down) override;
    void dockNotification(const std::string& name) override;
    void pause(std::uint32_t ms) override;

private:
    void print();

    std::FILE* out_;
};

// A rectangle of the X screen that RandR names: a monitor, or an output with a CRTC.
struct XMonitor {
    std::string name;
    int x = 0, y = 0;
    unsigned width = 0, height = 0;
    bool primary = false;
};

// "left (1920x1080+0+0, primary)"
std::string describeMonitor(const XMonitor& monitor);

// Pixel scroll to wheel steps: whole steps leave, the remainder waits for the next scroll.
class WheelSteps {
public:
    static constexpr std::int64_t kPixelsPerStep = 50;
    // A single event never turns into more steps than this (what is beyond is dropped).
    static constexpr std::int64_t kMaxStepsPerEvent = 64;

    // Steps for this scroll: positive scrolls up (X button 4), negative down (button 5).
    std::int64_t add(std::int32_t pixels);

private:
    std::int64_t carriedPx_ = 0;
};

struct OpenedDesktop {
    std::unique_ptr<Desktop> desktop;
    std::string summary;  // for the start line: "xtest on left (1920x1080+0+0, primary)"
    std::string error;    // empty when desktop is set
    bool settingsFault = false;  // the error is in the settings, not the machine
};

// The X display named by DISPLAY, posting through XTest onto the monitor named output (empty:
// the primary one, or the first one, or the whole screen without RandR). An output name that
// RandR does not know is refused with the list of those it knows.
OpenedDesktop openXTestDesktop(const std::string& output);

// The X keysym a macOS virtual key code stands for on an X desktop, 0 for none.
unsigned long keysymOfMacKey(std::uint16_t macKeyCode);

}  // namespace bridge
}  // namespace ordalo
