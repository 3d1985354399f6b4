#include "VirtualFrame/Scenario.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>

namespace VirtualFrame {

ScenarioError::ScenarioError(int line, const std::string& reason)
    : std::runtime_error("line " + std::to_string(line) + ": " + reason),
      line_(line),
      reason_(reason) {}

namespace {

bool parseDouble(const std::string& text, double& value) {
    if (text.empty()) return false;
    char* end = nullptr;
    errno = 0;
    value = std::strtod(text.c_str(), &end);
    return errno == 0 && end == text.c_str() + text.size() && std::isfinite(value);
}

bool parseWhole(const std::string& text, unsigned long long limit, unsigned long long& value) {
    if (text.empty() || text.size() > 12) return false;
    value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    return value <= limit;
}

std::string formatNumber(double value) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.9g", value);
    return buffer;
}

}  // namespace

Scenario Scenario::parse(std::istream& in, const std::string& name) {
    Scenario scenario;
    scenario.name_ = name;
    std::map<int, double> diameterOf;  // fingers down, with their current diameter
    std::string text;
    int lineNumber = 0;
    uint32_t lastTime = 0;
    while (std::getline(in, text)) {
        ++lineNumber;
        const size_t hash = text.find('#');
        if (hash != std::string::npos) text.erase(hash);
        std::istringstream fields(text);
        std::vector<std::string> f;
        for (std::string word; fields >> word;) f.push_back(word);
        if (f.empty()) continue;
        if (f.size() < 3) {
            throw ScenarioError(lineNumber,
                                "expected: time_ms finger x y [diameter_mm], or time_ms finger up");
        }
        Keyframe key;
        unsigned long long whole = 0;
        if (!parseWhole(f[0], 0xFFFFFFFFull, whole)) {
            throw ScenarioError(lineNumber, "time '" + f[0] + "' is not a whole number of ms");
        }
        key.timeMs = static_cast<uint32_t>(whole);
        if (key.timeMs < lastTime) {
            throw ScenarioError(lineNumber, "time goes backwards (" + f[0] + " ms after " +
                                                std::to_string(lastTime) + " ms)");
        }
        if (!parseWhole(f[1], kMaxFingerId, whole)) {
            throw ScenarioError(lineNumber, "finger '" + f[1] + "' is not a number from 0 to " +
                                                std::to_string(kMaxFingerId));
        }
        key.finger = static_cast<int>(whole);
        auto down = diameterOf.find(key.finger);
        if (f[2] == "up") {
            if (f.size() > 3) throw ScenarioError(lineNumber, "nothing may follow 'up'");
            if (down == diameterOf.end()) {
                throw ScenarioError(lineNumber, "finger " + f[1] + " is not down");
            }
            key.up = true;
            diameterOf.erase(down);
        } else {
            if (f.size() < 4) throw ScenarioError(lineNumber, "position needs both x and y");
            if (f.size() > 5) throw ScenarioError(lineNumber, "too many fields");
            const char* axis[] = {"x", "y"};
            double* value[] = {&key.x, &key.y};
            for (int a = 0; a < 2; ++a) {
                if (!parseDouble(f[2 + a], *value[a]) || *value[a] < 0.0 || *value[a] > 1.0) {
                    throw ScenarioError(lineNumber, std::string(axis[a]) + " '" + f[2 + a] +
                                                        "' is not a number from 0 to 1");
                }
            }
            key.diameterMm = down == diameterOf.end() ? kDefaultFingerDiameterMm : down->second;
            if (f.size() == 5 && (!parseDouble(f[4], key.diameterMm) || key.diameterMm <= 0.0 ||
                                  key.diameterMm > kMaxDiameterMm)) {
                throw ScenarioError(lineNumber, "diameter '" + f[4] +
                                                    "' is not a number of mm above 0 and up to " +
                                                    formatNumber(kMaxDiameterMm));
            }
            diameterOf[key.finger] = key.diameterMm;
        }
        lastTime = key.timeMs;
        scenario.keyframes_.push_back(key);
        scenario.byFinger_[key.finger].push_back(key);
    }
    if (in.bad()) throw ScenarioError(lineNumber, "read error");
    if (scenario.keyframes_.empty()) throw ScenarioError(0, "the scenario has no keyframes");
    return scenario;
}

Scenario Scenario::parseText(const std::string& text, const std::string& name) {
    std::istringstream in(text);
    return parse(in, name);
}

Scenario Scenario::load(const std::string& path) {
    std::ifstream in(path);
    if (!in) throw ScenarioError(0, "cannot open scenario file '" + path + "'");
    return parse(in, path);
}

std::vector<Finger> Scenario::fingersAt(double timeMs) const {
    std::vector<Finger> fingers;
    if (keyframes_.empty() || timeMs >= durationMs() || timeMs < 0) return fingers;
    for (const auto& entry : byFinger_) {
        const std::vector<Keyframe>& keys = entry.second;
        // The last keyframe at or before t (the later one of equal times wins), and the next.
        const auto next = std::upper_bound(
            keys.begin(), keys.end(), timeMs,
            [](double t, const Keyframe& key) { return t < static_cast<double>(key.timeMs); });
        if (next == keys.begin()) continue;
        const Keyframe& at = *(next - 1);
        if (at.up) continue;
        Finger finger{at.finger, at.x, at.y, at.diameterMm};
        if (next != keys.end() && !next->up) {
            const double span = static_cast<double>(next->timeMs) - at.timeMs;
            const double f = span > 0 ? (timeMs - at.timeMs) / span : 1.0;
            finger.x = at.x + (next->x - at.x) * f;
            finger.y = at.y + (next->y - at.y) * f;
            finger.diameterMm = at.diameterMm + (next->diameterMm - at.diameterMm) * f;
        }
        fingers.push_back(finger);
    }
    return fingers;
}

std::string Scenario::toText() const {
    std::string out = "# time_ms finger x y [diameter_mm]\n";
    for (const Keyframe& key : keyframes_) {
        out += std::to_string(key.timeMs) + " " + std::to_string(key.finger) + " ";
        if (key.up) {
            out += "up\n";
        } else {
            out += formatNumber(key.x) + " " + formatNumber(key.y) + " " +
                   formatNumber(key.diameterMm) + "\n";
        }
    }
    return out;
}

Scenario loadScenario(const std::string& nameOrPath) {
    const auto& names = builtinScenarioNames();
    if (std::find(names.begin(), names.end(), nameOrPath) != names.end()) {
        return builtinScenario(nameOrPath);
    }
    return Scenario::load(nameOrPath);
}

}  // namespace VirtualFrame
