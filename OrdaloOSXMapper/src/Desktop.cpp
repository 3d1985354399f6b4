// The installed desktop backend, the built-in one that drops everything, and the recording one.
#include <cstdio>

#include "Desktop.h"
#include "RecordingDesktop.h"

namespace ordalo {
namespace sdk {
namespace desktop {

Desktop::~Desktop() = default;

namespace {

// Until a caller installs a backend, actions are made and dropped: a library loaded without a
// desktop must not post anywhere.
class DroppingDesktop : public Desktop {
public:
    DisplaySize mainDisplaySize() override { return {0, 0}; }
    void mouseEvent(MouseEventType, double, double, MouseButton, std::int64_t) override {}
    void pixelScroll(std::int32_t) override {}
    void keyEvent(std::uint16_t, bool) override {}
    void dockNotification(const std::string&) override {}
    void pause(std::uint32_t) override {}
};

DroppingDesktop g_dropping;
Desktop* g_installed = nullptr;

const char* mouseWord(MouseEventType type) {
    switch (type) {
        case MouseEventType::LeftMouseDown: return "left-down";
        case MouseEventType::LeftMouseUp: return "left-up";
        case MouseEventType::RightMouseDown: return "right-down";
        case MouseEventType::RightMouseUp: return "right-up";
        case MouseEventType::MouseMoved: return "mouse-moved";
        case MouseEventType::LeftMouseDragged: return "left-dragged";
    }
    return "mouse-unknown";
}

MouseButton impliedButton(MouseEventType type) {
    return type == MouseEventType::RightMouseDown || type == MouseEventType::RightMouseUp
                   ? MouseButton::Right
                   : MouseButton::Left;
}

}  // namespace

Desktop* setDesktop(Desktop* desktop) {
    Desktop* previous = g_installed;
    g_installed = desktop;
    return previous;
}

Desktop& currentDesktop() { return g_installed ? *g_installed : g_dropping; }

std::string describe(const DesktopEvent& event) {
    char text[160];
    switch (event.kind) {
        case DesktopEvent::Kind::Mouse: {
            int length = std::snprintf(text, sizeof text, "%s %.10g,%.10g",
                                       mouseWord(event.mouseType), event.xPx, event.yPx);
            std::string line(text, std::size_t(length));
            if (event.clickState != 0) line += " click=" + std::to_string(event.clickState);
            if (event.button != impliedButton(event.mouseType))
                line += " button=" + std::to_string(int(event.button));
            return line;
        }
        case DesktopEvent::Kind::Scroll:
            return "scroll " + std::to_string(event.scrollPx);
        case DesktopEvent::Kind::Key:
            return std::string(event.keyDown ? "key-down " : "key-up ") +
                   std::to_string(event.keyCode);
        case DesktopEvent::Kind::Dock:
            return "dock " + event.name;
        case DesktopEvent::Kind::Pause:
            return "pause " + std::to_string(event.pauseMs);
    }
    return "unknown";
}

RecordingDesktop::RecordingDesktop(DisplaySize size) : size_(size) {}

DisplaySize RecordingDesktop::mainDisplaySize() { return size_; }

DesktopEvent& RecordingDesktop::record(DesktopEvent::Kind kind) {
    events_.push_back(DesktopEvent{});
    events_.back().kind = kind;
    return events_.back();
}

void RecordingDesktop::mouseEvent(MouseEventType type, double xPx, double yPx, MouseButton button,
                                  std::int64_t clickState) {
    DesktopEvent& event = record(DesktopEvent::Kind::Mouse);
    event.mouseType = type;
    event.xPx = xPx;
    event.yPx = yPx;
    event.button = button;
    event.clickState = clickState;
}

void RecordingDesktop::pixelScroll(std::int32_t wheel1Px) {
    record(DesktopEvent::Kind::Scroll).scrollPx = wheel1Px;
}

void RecordingDesktop::keyEvent(std::uint16_t macKeyCode, bool down) {
    DesktopEvent& event = record(DesktopEvent::Kind::Key);
    event.keyCode = macKeyCode;
    event.keyDown = down;
}

void RecordingDesktop::dockNotification(const std::string& name) {
    record(DesktopEvent::Kind::Dock).name = name;
}

void RecordingDesktop::pause(std::uint32_t ms) { record(DesktopEvent::Kind::Pause).pauseMs = ms; }

void RecordingDesktop::setDisplaySize(DisplaySize size) { size_ = size; }

const std::vector<DesktopEvent>& RecordingDesktop::events() const { return events_; }

std::vector<std::string> RecordingDesktop::take() {
    std::vector<std::string> lines;
    for (const DesktopEvent& event : events_) lines.push_back(describe(event));
    events_.clear();
    return lines;
}

void RecordingDesktop::clear() { events_.clear(); }

}  // namespace desktop
}  // namespace sdk
}  // namespace ordalo
