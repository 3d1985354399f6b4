#include "BridgeSettings.h"

#include <cctype>
#include <cmath>
#include <cstdlib>

namespace ordalo {
namespace bridge {

namespace {

constexpr double kMmPerInch = 25.4;
// Beyond these the value is a typing mistake, not a screen.
constexpr double kMaxDiagonalInches = 1000.0;
constexpr unsigned long kMaxAspectTerm = 10000;

bool allDigits(const std::string& text) {
    if (text.empty()) return false;
    for (char c : text)
        if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    return true;
}

bool aspectTerm(const std::string& text, unsigned long& out) {
    if (!allDigits(text) || text.size() > 5) return false;
    out = std::strtoul(text.c_str(), nullptr, 10);
    return out >= 1 && out <= kMaxAspectTerm;
}

// Digits with at most one decimal point: the recognizers' own reading of the value accepts no
// sign, exponent or spaces, so neither does the bridge.
bool diagonal(const std::string& text, double& out) {
    const std::size_t point = text.find('.');
    std::string digits = text;
    if (point != std::string::npos) digits.erase(point, 1);
    if (!allDigits(digits) || text.find('.', point == std::string::npos ? 0 : point + 1) !=
                                      std::string::npos)
        return false;
    out = std::strtod(text.c_str(), nullptr);
    return out > 0.0 && out <= kMaxDiagonalInches;
}

}  // namespace

bool parseScreenSize(const std::string& text, double& widthMm, double& heightMm) {
    const std::size_t at = text.find('@');
    const std::size_t colon = text.find(':', at == std::string::npos ? 0 : at);
    if (at == std::string::npos || colon == std::string::npos) return false;
    double inches = 0.0;
    unsigned long w = 0, h = 0;
    if (!diagonal(text.substr(0, at), inches) || !aspectTerm(text.substr(at + 1, colon - at - 1), w) ||
        !aspectTerm(text.substr(colon + 1), h))
        return false;
    const double hypotenuse = std::sqrt(double(w) * double(w) + double(h) * double(h));
    widthMm = inches * kMmPerInch * double(w) / hypotenuse;
    heightMm = inches * kMmPerInch * double(h) / hypotenuse;
    return true;
}

std::string loadSettings(const Environment& environment, BridgeSettings& settings) {
    auto value = [&](const char* name) {
        const char* v = environment(name);
        return std::string(v ? v : "");
    };
    const std::string desktop = value("ORDALO_DESKTOP");
    if (desktop == "xtest")
        settings.desktop = DesktopKind::XTest;
    else if (desktop == "print")
        settings.desktop = DesktopKind::Print;
    else if (desktop.empty())
        settings.desktop = value("DISPLAY").empty() ? DesktopKind::Print : DesktopKind::XTest;
    else
        return "ORDALO_DESKTOP must be xtest or print, not '" + desktop + "'";

    settings.output = value("ORDALO_OUTPUT");

    settings.screenSpec = value("ORDALO_SCREEN");
    if (!settings.screenSpec.empty() &&
        !parseScreenSize(settings.screenSpec, settings.widthMm, settings.heightMm))
        return "ORDALO_SCREEN must be <diagonal inches>@<aspect width>:<aspect height>, such as "
               "55@16:9, not '" +
               settings.screenSpec + "'";
    return std::string();
}

}  // namespace bridge
}  // namespace ordalo
