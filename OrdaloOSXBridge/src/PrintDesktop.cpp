#include "Desktops.h"

namespace ordalo {
namespace bridge {

PrintDesktop::PrintDesktop(std::FILE* out, DisplaySize size) : RecordingDesktop(size), out_(out) {}

void PrintDesktop::print() {
    for (const std::string& line : take()) std::fprintf(out_, "%s\n", line.c_str());
    // Whoever reads the dry run (a pipe, the journal) sees each event as it happens.
    std::fflush(out_);
}

void PrintDesktop::mouseEvent(sdk::desktop::MouseEventType type, double xPx, double yPx,
                              sdk::desktop::MouseButton button, std::int64_t clickState) {
    RecordingDesktop::mouseEvent(type, xPx, yPx, button, clickState);
    print();
}

void PrintDesktop::pixelScroll(std::int32_t wheel1Px) {
    RecordingDesktop::pixelScroll(wheel1Px);
    print();
}

void PrintDesktop::keyEvent(std::uint16_t macKeyCode, bool down) {
    RecordingDesktop::keyEvent(macKeyCode, down);
    print();
}

void PrintDesktop::dockNotification(const std::string& name) {
    RecordingDesktop::dockNotification(name);
    print();
}

void PrintDesktop::pause(std::uint32_t) {}

}  // namespace bridge
}  // namespace ordalo
