// What the bridge takes from its environment: the desktop backend, the monitor it drives and the
// size of the touch surface. The bridge takes no command-line arguments.
#pragma once

#include <functional>
#include <string>

namespace ordalo {
namespace bridge {

enum class DesktopKind { XTest, Print };

struct BridgeSettings {
    DesktopKind desktop = DesktopKind::Print;
    std::string output;      // ORDALO_OUTPUT; empty: the primary monitor
    std::string screenSpec;  // ORDALO_SCREEN as given; empty: the recognizers' default
    double widthMm = 475.97, heightMm = 267.73;
};

// Looks a variable up; null when it is not set.
using Environment = std::function<const char*(const char* name)>;

// Fills settings from ORDALO_DESKTOP, ORDALO_OUTPUT, ORDALO_SCREEN and DISPLAY. Returns an error
// text naming the variable and what it accepts, or an empty text when everything is usable.
std::string loadSettings(const Environment& environment, BridgeSettings& settings);

// "<diagonal inches>@<aspect w>:<aspect h>" (as "55@16:9") to the surface's width and height in
// mm; false for anything else.
bool parseScreenSize(const std::string& text, double& widthMm, double& heightMm);

}  // namespace bridge
}  // namespace ordalo
