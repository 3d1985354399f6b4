// Finger scenarios: keyframes of fingers over time, from built-ins or from text files.
//
// File format, one keyframe per line, '#' starts a comment, blank lines are ignored:
//     # time_ms  finger  x      y      [diameter_mm]
//     0          1       0.25   0.50   10
//     400        1       0.30   0.50
//     450        1       up
// x, y are normalised screen positions (0..1, y down). A finger moves linearly between its
// consecutive keyframes (diameter included), stays where it is after its last keyframe, and
// `up` lifts it; the same finger number may land again later as a new touch. A diameter left
// out keeps the finger's previous one (10 mm for a new finger). Times never go backwards
// through the file. The scenario ends at its last keyframe, when every finger still down lifts.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "VirtualFrame/BeamModel.h"

namespace VirtualFrame {

// A refused scenario text: `line` is the 1-based line number (0 when the whole file is at
// fault), what() reads "line N: reason".
class ScenarioError : public std::runtime_error {
public:
    ScenarioError(int line, const std::string& reason);
    int line() const { return line_; }
    const std::string& reason() const { return reason_; }

private:
    int line_;
    std::string reason_;
};

struct Keyframe {
    uint32_t timeMs = 0;
    int finger = 0;
    bool up = false;
    double x = 0, y = 0;
    double diameterMm = kDefaultFingerDiameterMm;
};

class Scenario {
public:
    // Limits of the format: finger numbers 0..kMaxFingerId, diameters up to kMaxDiameterMm.
    static constexpr int kMaxFingerId = 999;
    static constexpr double kMaxDiameterMm = 200.0;

    Scenario() = default;

    // Throw ScenarioError naming the first bad line.
    static Scenario parse(std::istream& in, const std::string& name = "");
    static Scenario parseText(const std::string& text, const std::string& name = "");
    // Also throws ScenarioError (line 0) when the file cannot be read.
    static Scenario load(const std::string& path);

    const std::string& name() const { return name_; }
    const std::vector<Keyframe>& keyframes() const { return keyframes_; }
    uint32_t durationMs() const { return keyframes_.empty() ? 0 : keyframes_.back().timeMs; }

    // Fingers down at time t (ms from the start), ordered by finger number. At the scenario's
    // end time and later no finger is down.
    std::vector<Finger> fingersAt(double timeMs) const;

    // The scenario in the file format; parse(toText()) gives the same keyframes.
    std::string toText() const;

private:
    std::string name_;
    std::vector<Keyframe> keyframes_;
    // Per finger number, its keyframes in time order, for lookups in long recordings.
    std::map<int, std::vector<Keyframe>> byFinger_;
};

// Built-in scenarios by name (see builtinScenarioNames); throws std::out_of_range for an
// unknown name.
Scenario builtinScenario(const std::string& name);
const std::vector<std::string>& builtinScenarioNames();
// A built-in name, else a file path.
Scenario loadScenario(const std::string& nameOrPath);

}  // namespace VirtualFrame
