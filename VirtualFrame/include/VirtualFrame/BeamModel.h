// Beam model: which beams of a frame arrive when fingers touch the screen.
//
// Coordinates. Fingers sit at normalised screen positions (x right, y down, 0..1), the positions
// the frame library reports. The model turns them into frame positions with the library's mirror
// flags for the model (frame = 1 - screen on a mirrored axis).
//
// Beams. nX, nY LEDs; L lines per LED, h = L/2, line index -h..h (0 = straight beam); gaps gX, gY.
//  - Y LED r (row r from the top, 0 <= r < nY) is beam-word entry nY-1-r. Its line i ends at the
//    receiver of row r - gY*i and exists when that row exists. Its bit is h - i.
//  - X LED r (column r from the left) is entry nY + r. Its line j ends at the receiver of column
//    r + gX*j and exists when that column exists. Its bit is h - j.
//  - Bit 1 = the beam arrived. Beams that do not exist always read 0, as do bits above L-1.
// Geometry in millimetres: every LED step is mmPerLed on both axes, so the frame is nX*mmPerLed
// wide and nY*mmPerLed high; an LED's beam runs from the centre of its cell on one edge to the
// centre of its partner's cell on the opposite edge. A finger is a disc; it blocks a beam when the
// disc reaches that centre line between the two edges.
#pragma once

#include <cstdint>
#include <random>
#include <set>
#include <tuple>
#include <vector>

#include "VirtualFrame/FrameModel.h"

namespace VirtualFrame {

constexpr double kDefaultFingerDiameterMm = 10.0;

struct Finger {
    int id = 0;
    double x = 0.5;  // normalised screen position, x right
    double y = 0.5;  // y down
    double diameterMm = kDefaultFingerDiameterMm;
};

enum class Axis { X, Y };

struct Beam {
    Axis axis = Axis::X;
    int led = 0;   // column (X) or row (Y) from the frame's origin
    int line = 0;  // -h..h
    bool operator<(const Beam& o) const {
        return std::tie(axis, led, line) < std::tie(o.axis, o.led, o.line);
    }
    bool operator==(const Beam& o) const {
        return axis == o.axis && led == o.led && line == o.line;
    }
};

// Bits of the existing beams of one entry of a frame of this geometry.
uint16_t existingBeamBits(const FrameGeometry& geometry, int entry);

class BeamModel {
public:
    explicit BeamModel(const FrameModel& model);

    const FrameModel& model() const { return model_; }
    int entryCount() const { return nX_ + nY_; }

    // Beam-word layout.
    int entryOf(Axis axis, int led) const;
    int bitOf(Axis axis, int line) const;
    bool exists(const Beam& beam) const;
    // Bits of the existing beams of one entry.
    uint16_t existingMask(int entry) const;

    // Frame position (0..1 on both axes, before the library's mirror) of a screen position.
    double frameX(double screenX) const;
    double frameY(double screenY) const;

    // Distance in millimetres from a frame point (frame position x nX * mmPerLed, likewise y)
    // to the beam's centre line between the two edges; a disc blocks the beam when its radius
    // reaches it.
    double distanceMm(const Beam& beam, double xMm, double yMm) const;
    // The beams one finger blocks (geometry only, no dirt or noise).
    std::vector<Beam> blockedBy(const Finger& finger) const;

    // Logical beam words of one scan: all existing beams arrive except those blocked by a finger
    // or by dirt; then noise flips existing beams at random. Fingers outside the screen (x or y
    // beyond 0..1) are clipped by the geometry like any other disc.
    std::vector<uint16_t> scan(const std::vector<Finger>& fingers);

    // Beams that never arrive (dirt on the glass, a dead LED).
    void addDirt(const Beam& beam);
    void clearDirt() { dirt_.clear(); }
    // Every existing beam of every scan flips with this probability (0 = off); seeded so that
    // runs repeat.
    void setNoise(double flipProbability, uint32_t seed);

private:
    bool crosses(Axis axis, int led, int line, double xMm, double yMm, double radiusMm) const;

    FrameModel model_;
    int nX_, nY_, half_, gapX_, gapY_;
    double mm_;
    std::vector<uint16_t> masks_;
    std::set<Beam> dirt_;
    double noise_ = 0.0;
    std::mt19937 random_;
};

}  // namespace VirtualFrame
