#include "VirtualFrame/BeamModel.h"

#include <algorithm>
#include <cmath>

namespace VirtualFrame {

namespace {

// Distance from point (px, py) to the segment a-b.
double segmentDistance(double px, double py, double ax, double ay, double bx, double by) {
    const double dx = bx - ax, dy = by - ay;
    const double lengthSquared = dx * dx + dy * dy;
    double t = lengthSquared > 0 ? ((px - ax) * dx + (py - ay) * dy) / lengthSquared : 0.0;
    t = std::clamp(t, 0.0, 1.0);
    return std::hypot(px - (ax + t * dx), py - (ay + t * dy));
}

}  // namespace

uint16_t existingBeamBits(const FrameGeometry& g, int entry) {
    if (entry < 0 || entry >= g.entryCount()) return 0;
    const int half = g.linesX / 2;
    const bool yAxis = entry < g.ledsY;
    const int led = yAxis ? g.ledsY - 1 - entry : entry - g.ledsY;
    uint16_t mask = 0;
    for (int line = -half; line <= half; ++line) {
        const int partner = yAxis ? led - g.gapY * line : led + g.gapX * line;
        if (partner >= 0 && partner < (yAxis ? g.ledsY : g.ledsX)) {
            mask = static_cast<uint16_t>(mask | (1u << (half - line)));
        }
    }
    return mask;
}

BeamModel::BeamModel(const FrameModel& model)
    : model_(model),
      nX_(model.geometry.ledsX),
      nY_(model.geometry.ledsY),
      half_(model.geometry.linesX / 2),
      gapX_(model.geometry.gapX),
      gapY_(model.geometry.gapY),
      mm_(model.geometry.mmPerLed()),
      random_(1u) {
    masks_.resize(nX_ + nY_);
    for (int e = 0; e < nX_ + nY_; ++e) masks_[e] = existingBeamBits(model.geometry, e);
}

int BeamModel::entryOf(Axis axis, int led) const {
    return axis == Axis::Y ? nY_ - 1 - led : nY_ + led;
}

int BeamModel::bitOf(Axis, int line) const { return half_ - line; }

bool BeamModel::exists(const Beam& b) const {
    if (b.line < -half_ || b.line > half_) return false;
    if (b.axis == Axis::Y) {
        const int partner = b.led - gapY_ * b.line;
        return b.led >= 0 && b.led < nY_ && partner >= 0 && partner < nY_;
    }
    const int partner = b.led + gapX_ * b.line;
    return b.led >= 0 && b.led < nX_ && partner >= 0 && partner < nX_;
}

uint16_t BeamModel::existingMask(int entry) const {
    return entry >= 0 && entry < entryCount() ? masks_[entry] : 0;
}

double BeamModel::frameX(double screenX) const { return model_.mirrorX ? 1.0 - screenX : screenX; }
double BeamModel::frameY(double screenY) const { return model_.mirrorY ? 1.0 - screenY : screenY; }

double BeamModel::distanceMm(const Beam& beam, double xMm, double yMm) const {
    const double widthMm = nX_ * mm_, heightMm = nY_ * mm_;
    if (beam.axis == Axis::Y) {
        const double fromY = (beam.led + 0.5) * mm_;
        const double toY = (beam.led - gapY_ * beam.line + 0.5) * mm_;
        return segmentDistance(xMm, yMm, 0.0, fromY, widthMm, toY);
    }
    const double fromX = (beam.led + 0.5) * mm_;
    const double toX = (beam.led + gapX_ * beam.line + 0.5) * mm_;
    return segmentDistance(xMm, yMm, fromX, 0.0, toX, heightMm);
}

bool BeamModel::crosses(Axis axis, int led, int line, double xMm, double yMm,
                        double radiusMm) const {
    return distanceMm(Beam{axis, led, line}, xMm, yMm) <= radiusMm;
}

std::vector<Beam> BeamModel::blockedBy(const Finger& finger) const {
    std::vector<Beam> blocked;
    const double radius = finger.diameterMm / 2.0;
    if (!(radius > 0.0)) return blocked;
    const double xMm = frameX(finger.x) * nX_ * mm_;
    const double yMm = frameY(finger.y) * nY_ * mm_;
    for (int line = -half_; line <= half_; ++line) {
        for (const Axis axis : {Axis::Y, Axis::X}) {
            // LEDs whose beam line passes within the radius. Across the frame a Y beam line is
            // y = (row + 0.5) * mm + slope * x, an X beam line x = (column + 0.5) * mm + slope * y;
            // the segment test settles the ends of the frame.
            const bool yAxis = axis == Axis::Y;
            const int count = yAxis ? nY_ : nX_;
            const double slope = yAxis ? -static_cast<double>(gapY_) * line / nX_
                                       : static_cast<double>(gapX_) * line / nY_;
            const double reach = radius * std::sqrt(1.0 + slope * slope);
            const double centre = yAxis ? yMm - slope * xMm : xMm - slope * yMm;
            const int from = std::max(0, static_cast<int>(std::floor((centre - reach) / mm_ - 1)));
            const int to = std::min(count - 1, static_cast<int>(std::ceil((centre + reach) / mm_)));
            for (int led = from; led <= to; ++led) {
                const Beam beam{axis, led, line};
                if (exists(beam) && crosses(axis, led, line, xMm, yMm, radius)) {
                    blocked.push_back(beam);
                }
            }
        }
    }
    return blocked;
}

void BeamModel::addDirt(const Beam& beam) {
    if (exists(beam)) dirt_.insert(beam);
}

void BeamModel::setNoise(double flipProbability, uint32_t seed) {
    noise_ = std::clamp(flipProbability, 0.0, 1.0);
    random_.seed(seed);
}

std::vector<uint16_t> BeamModel::scan(const std::vector<Finger>& fingers) {
    std::vector<uint16_t> words = masks_;
    auto block = [&](const Beam& beam) {
        uint16_t& word = words[entryOf(beam.axis, beam.led)];
        word = static_cast<uint16_t>(word & ~(1u << bitOf(beam.axis, beam.line)));
    };
    for (const Finger& finger : fingers) {
        for (const Beam& beam : blockedBy(finger)) block(beam);
    }
    for (const Beam& beam : dirt_) block(beam);
    if (noise_ > 0.0) {
        std::bernoulli_distribution flip(noise_);
        for (int e = 0; e < entryCount(); ++e) {
            const uint16_t mask = masks_[e];
            for (int bit = 0; bit < 16; ++bit) {
                if ((mask >> bit & 1u) && flip(random_)) {
                    words[e] = static_cast<uint16_t>(words[e] ^ (1u << bit));
                }
            }
        }
    }
    return words;
}

}  // namespace VirtualFrame
