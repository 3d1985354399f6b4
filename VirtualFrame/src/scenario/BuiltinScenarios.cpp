#include <cmath>
#include <cstdio>
#include <functional>
#include <map>
#include <stdexcept>

#include "VirtualFrame/Scenario.h"

namespace VirtualFrame {

namespace {

// Gestures are laid out in millimetres on the surface the gesture mapper measures with
// (a 21.5-inch 16:9 screen), so that their sizes and speeds fall inside its thresholds.
constexpr double kSurfaceWidthMm = 475.97;
constexpr double kSurfaceHeightMm = 267.73;
constexpr double kCentreXMm = kSurfaceWidthMm / 2;
constexpr double kCentreYMm = kSurfaceHeightMm / 2;
constexpr double kPi = 3.14159265358979323846;

// Writes keyframes in the file format; the result goes through the same parser as files.
class Script {
public:
    void at(uint32_t timeMs, int finger, double xMm, double yMm) {
        char line[96];
        std::snprintf(line, sizeof line, "%u %d %.5f %.5f\n", timeMs, finger, xMm / kSurfaceWidthMm,
                      yMm / kSurfaceHeightMm);
        text_ += line;
    }
    void up(uint32_t timeMs, int finger) {
        text_ += std::to_string(timeMs) + " " + std::to_string(finger) + " up\n";
    }
    const std::string& text() const { return text_; }

private:
    std::string text_;
};

struct Point {
    double x, y;
};

// Fingers that move in a straight line from `from` to `to`: land at 100 ms, rest 100 ms, move
// for `moveMs`, rest 100 ms and lift.
std::string straightMove(const std::vector<Point>& from, const std::vector<Point>& to,
                         uint32_t moveMs) {
    Script s;
    const uint32_t start = 200, end = 200 + moveMs;
    for (size_t i = 0; i < from.size(); ++i)
        s.at(100, static_cast<int>(i + 1), from[i].x, from[i].y);
    for (size_t i = 0; i < from.size(); ++i)
        s.at(start, static_cast<int>(i + 1), from[i].x, from[i].y);
    for (size_t i = 0; i < to.size(); ++i) s.at(end, static_cast<int>(i + 1), to[i].x, to[i].y);
    for (size_t i = 0; i < from.size(); ++i) s.up(end + 100, static_cast<int>(i + 1));
    return s.text();
}

std::vector<Point> shifted(const std::vector<Point>& points, double dx, double dy) {
    std::vector<Point> out = points;
    for (Point& p : out) {
        p.x += dx;
        p.y += dy;
    }
    return out;
}

// A relaxed hand: fingers 25 mm apart, the middle ones a little higher.
std::vector<Point> hand(int fingers, double cx, double cy) {
    std::vector<Point> points;
    for (int i = 0; i < fingers; ++i) {
        const double offset = i - (fingers - 1) / 2.0;
        points.push_back({cx + 25.0 * offset, cy + 3.0 * offset * offset});
    }
    return points;
}

std::vector<Point> ring(int fingers, double radiusMm) {
    std::vector<Point> points;
    for (int i = 0; i < fingers; ++i) {
        const double angle = 2 * kPi * i / fingers - kPi / 2;
        points.push_back(
            {kCentreXMm + radiusMm * std::cos(angle), kCentreYMm + radiusMm * std::sin(angle)});
    }
    return points;
}

std::string tap(bool twice) {
    Script s;
    s.at(100, 1, kCentreXMm, kCentreYMm);
    s.up(200, 1);
    if (twice) {
        s.at(350, 1, kCentreXMm + 2, kCentreYMm + 1);
        s.up(450, 1);
    }
    return s.text();
}

std::string hold() {
    Script s;
    s.at(100, 1, kCentreXMm, kCentreYMm);
    s.up(1600, 1);
    return s.text();
}

std::string drag() {
    Script s;
    s.at(100, 1, 150, kCentreYMm);
    s.at(400, 1, 150, kCentreYMm);
    s.at(1000, 1, 330, kCentreYMm + 20);
    s.up(1100, 1);
    return s.text();
}

std::string circle() {
    Script s;
    const int steps = 24;
    for (int i = 0; i <= steps; ++i) {
        const double angle = 2 * kPi * i / steps;
        s.at(100 + 50 * i, 1, kCentreXMm + 60 * std::cos(angle), kCentreYMm + 60 * std::sin(angle));
    }
    s.up(100 + 50 * steps + 100, 1);
    return s.text();
}

std::string twoFingerTap() {
    Script s;
    s.at(100, 1, kCentreXMm - 15, kCentreYMm);
    s.at(100, 2, kCentreXMm + 15, kCentreYMm);
    s.up(220, 1);
    s.up(220, 2);
    return s.text();
}

// The gestures of the demo's tour, in the order it plays them.
const char* const kTourGestures[] = {"tap",   "drag",        "two-finger-scroll",
                                     "pinch", "swipe4-left", "hold"};

// One gesture of each kind after 1.5 s in which the host learns the untouched screen, with a
// second between gestures so that the mapper has ended one before the next lands.
std::string tour() {
    std::string text;
    uint32_t at = 1500;
    for (const char* name : kTourGestures) {
        const Scenario part = builtinScenario(name);
        for (const Keyframe& k : part.keyframes()) {
            char line[128];
            if (k.up) {
                std::snprintf(line, sizeof line, "%u %d up\n", at + k.timeMs, k.finger);
            } else {
                std::snprintf(line, sizeof line, "%u %d %.5f %.5f %.3f\n", at + k.timeMs,
                              k.finger, k.x, k.y, k.diameterMm);
            }
            text += line;
        }
        at += part.durationMs() + 1000;
    }
    return text;
}

const std::map<std::string, std::function<std::string()>>& generators() {
    static const std::map<std::string, std::function<std::string()>> table = {
        {"tap", [] { return tap(false); }},
        {"double-tap", [] { return tap(true); }},
        {"hold", hold},
        {"drag", drag},
        {"circle", circle},
        {"two-finger-tap", twoFingerTap},
        {"two-finger-scroll",
         [] {
             const std::vector<Point> from = {{kCentreXMm - 15, 90}, {kCentreXMm + 15, 90}};
             return straightMove(from, shifted(from, 0, 90), 500);
         }},
        {"pinch",
         [] {
             return straightMove({{kCentreXMm - 60, kCentreYMm}, {kCentreXMm + 60, kCentreYMm}},
                                 {{kCentreXMm - 20, kCentreYMm}, {kCentreXMm + 20, kCentreYMm}},
                                 500);
         }},
        {"spread",
         [] {
             return straightMove({{kCentreXMm - 20, kCentreYMm}, {kCentreXMm + 20, kCentreYMm}},
                                 {{kCentreXMm - 60, kCentreYMm}, {kCentreXMm + 60, kCentreYMm}},
                                 500);
         }},
        {"swipe4-left",
         [] {
             const auto from = hand(4, kCentreXMm + 40, kCentreYMm);
             return straightMove(from, shifted(from, -80, 0), 400);
         }},
        {"swipe4-right",
         [] {
             const auto from = hand(4, kCentreXMm - 40, kCentreYMm);
             return straightMove(from, shifted(from, 80, 0), 400);
         }},
        {"swipe4-up",
         [] {
             const auto from = hand(4, kCentreXMm, kCentreYMm + 40);
             return straightMove(from, shifted(from, 0, -80), 400);
         }},
        {"swipe4-down",
         [] {
             const auto from = hand(4, kCentreXMm, kCentreYMm - 40);
             return straightMove(from, shifted(from, 0, 80), 400);
         }},
        {"gather5", [] { return straightMove(ring(5, 60), ring(5, 25), 500); }},
        {"spread5", [] { return straightMove(ring(5, 25), ring(5, 60), 500); }},
        {"tour", tour},
        {"ten-fingers",
         [] {
             auto from = hand(5, kCentreXMm - 110, kCentreYMm);
             const auto right = hand(5, kCentreXMm + 110, kCentreYMm);
             from.insert(from.end(), right.begin(), right.end());
             return straightMove(from, shifted(from, 20, 10), 400);
         }},
    };
    return table;
}

}  // namespace

const std::vector<std::string>& builtinScenarioNames() {
    static const std::vector<std::string> names = {"tap",
                                                   "double-tap",
                                                   "hold",
                                                   "drag",
                                                   "circle",
                                                   "two-finger-tap",
                                                   "two-finger-scroll",
                                                   "pinch",
                                                   "spread",
                                                   "swipe4-left",
                                                   "swipe4-right",
                                                   "swipe4-up",
                                                   "swipe4-down",
                                                   "gather5",
                                                   "spread5",
                                                   "ten-fingers",
                                                   "tour"};
    return names;
}

Scenario builtinScenario(const std::string& name) {
    const auto& table = generators();
    const auto found = table.find(name);
    if (found == table.end()) throw std::out_of_range("no built-in scenario '" + name + "'");
    return Scenario::parseText(found->second(), name);
}

}  // namespace VirtualFrame
