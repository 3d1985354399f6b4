// Beam geometry checked from first principles: LED cells of mmPerLed on both axes, beams from the
// centre of an LED's cell to the centre of its partner's cell, a finger blocks the beams its disc
// reaches.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <set>

#include "VirtualFrame/BeamModel.h"

using namespace VirtualFrame;

namespace {

const FrameModel& model(const char* name) {
    const FrameModel* m = findFrameModel(name);
    EXPECT_NE(m, nullptr) << name;
    return m ? *m : defaultFrameModel();
}

// (entry, bit) pairs of the words that read 0 on an existing beam.
std::set<std::pair<int, int>> blockedBits(const BeamModel& beams,
                                          const std::vector<uint16_t>& words) {
    std::set<std::pair<int, int>> out;
    for (int e = 0; e < beams.entryCount(); ++e) {
        for (int bit = 0; bit < 16; ++bit) {
            if ((beams.existingMask(e) >> bit & 1) && !(words[e] >> bit & 1)) out.insert({e, bit});
        }
    }
    return out;
}

}  // namespace

TEST(BeamGeometry, DefaultModelIsThe19InchPanel) {
    const FrameModel& m = defaultFrameModel();
    EXPECT_EQ(m.name, "19in-72x58-7line");
    EXPECT_EQ(m.geometry.ledsX, 72);
    EXPECT_EQ(m.geometry.ledsY, 58);
    EXPECT_EQ(m.geometry.linesX, 7);
    EXPECT_FLOAT_EQ(m.geometry.mmPerLed(), 19 * 25.4 / std::sqrt(72.0 * 72 + 58 * 58));
    // Panels below 22 inches are reported unmirrored.
    EXPECT_FALSE(m.mirrorX);
    EXPECT_FALSE(m.mirrorY);
}

// Finger at the middle of the default frame, between X LEDs 35 and 36 and between Y LEDs 28 and
// 29. Half-way across the frame an X line j has moved 3j columns (gap 6) and a Y line i 2.5i rows
// (gap 5); every beam whose centre line passes within 5 mm is blocked, the next ones are about
// 5.2 mm or more away.
TEST(BeamGeometry, TenMillimetreFingerAtTheCentreBlocksTheBeamsItCovers) {
    BeamModel beams(defaultFrameModel());
    const auto words = beams.scan({Finger{1, 0.5, 0.5, 10.0}});
    const int nY = 58;
    std::set<std::pair<int, int>> expected;
    auto x = [&](int led, int line) { expected.insert({nY + led, 3 - line}); };
    auto y = [&](int led, int line) { expected.insert({nY - 1 - led, 3 - line}); };
    for (int j = -3; j <= 3; ++j) {
        x(35 - 3 * j, j);
        x(36 - 3 * j, j);
    }
    y(28, 0), y(29, 0);
    y(31, 1), y(26, -1);
    y(33, 2), y(34, 2), y(23, -2), y(24, -2);
    y(36, 3), y(21, -3);
    EXPECT_EQ(blockedBits(beams, words), expected);
}

TEST(BeamGeometry, StraightBeamsFollowTheFingerSize) {
    BeamModel beams(defaultFrameModel());
    const double mm = defaultFrameModel().geometry.mmPerLed();  // about 5.22
    // Centred on X LED 10's cell and Y LED 40's cell; 20 mm reaches one neighbour each side
    // (5.2 mm away) but not two (10.4 mm).
    const Finger finger{1, 10.5 / 72, 40.5 / 58, 20.0};
    ASSERT_LT(2 * mm, 10.0 + 0.5);
    std::set<int> xs, ys;
    for (const Beam& b : beams.blockedBy(finger)) {
        if (b.line != 0) continue;
        (b.axis == Axis::X ? xs : ys).insert(b.led);
    }
    EXPECT_EQ(xs, (std::set<int>{9, 10, 11}));
    EXPECT_EQ(ys, (std::set<int>{39, 40, 41}));
    // A 4 mm finger on the same spot covers only its own cells.
    xs.clear(), ys.clear();
    for (const Beam& b : beams.blockedBy({1, 10.5 / 72, 40.5 / 58, 4.0})) {
        if (b.line == 0) (b.axis == Axis::X ? xs : ys).insert(b.led);
    }
    EXPECT_EQ(xs, (std::set<int>{10}));
    EXPECT_EQ(ys, (std::set<int>{40}));
}

// Every model, many positions: the blocked beams are exactly those whose LED-to-partner segment
// passes within the radius, with the distance computed independently here.
TEST(BeamGeometry, BlockedBeamsMatchSegmentDistanceOnEveryModel) {
    std::mt19937 random(7);
    std::uniform_real_distribution<double> unit(0.0, 1.0), size(4.0, 25.0);
    for (const FrameModel& m : frameModels()) {
        BeamModel beams(m);
        const FrameGeometry& g = m.geometry;
        const double mm = g.mmPerLed(), width = g.ledsX * mm, height = g.ledsY * mm;
        const int h = g.linesX / 2;
        for (int trial = 0; trial < 12; ++trial) {
            const Finger f{1, unit(random), unit(random), size(random)};
            const double fx = (m.mirrorX ? 1 - f.x : f.x) * width;
            const double fy = (m.mirrorY ? 1 - f.y : f.y) * height;
            const double r = f.diameterMm / 2;
            std::set<Beam> expected, ambiguous;
            auto consider = [&](Axis axis, int led, int line, double ax, double ay, double bx,
                                double by) {
                // Closest point of segment a-b to the finger, by projection onto its direction.
                const double len = std::hypot(bx - ax, by - ay);
                const double ux = (bx - ax) / len, uy = (by - ay) / len;
                double along = (fx - ax) * ux + (fy - ay) * uy;
                along = std::max(0.0, std::min(len, along));
                const double d = std::hypot(ax + along * ux - fx, ay + along * uy - fy);
                if (std::fabs(d - r) < 1e-7) ambiguous.insert({axis, led, line});
                if (d <= r) expected.insert({axis, led, line});
            };
            for (int line = -h; line <= h; ++line) {
                for (int led = 0; led < g.ledsX; ++led) {
                    const int partner = led + g.gapX * line;
                    if (partner < 0 || partner >= g.ledsX) continue;
                    consider(Axis::X, led, line, (led + 0.5) * mm, 0, (partner + 0.5) * mm, height);
                }
                for (int led = 0; led < g.ledsY; ++led) {
                    const int partner = led - g.gapY * line;
                    if (partner < 0 || partner >= g.ledsY) continue;
                    consider(Axis::Y, led, line, 0, (led + 0.5) * mm, width, (partner + 0.5) * mm);
                }
            }
            std::set<Beam> got;
            for (const Beam& b : beams.blockedBy(f)) got.insert(b);
            for (const Beam& b : ambiguous) expected.erase(b), got.erase(b);
            EXPECT_EQ(got, expected)
                << m.name << " finger " << f.x << "," << f.y << " d " << f.diameterMm;
            // The beam words carry exactly these beams.
            const auto words = beams.scan({f});
            std::set<std::pair<int, int>> bits;
            for (const Beam& b : beams.blockedBy(f)) {
                const int entry = b.axis == Axis::Y ? g.ledsY - 1 - b.led : g.ledsY + b.led;
                bits.insert({entry, h - b.line});
            }
            EXPECT_EQ(blockedBits(beams, words), bits) << m.name;
        }
    }
}

// Without fingers every existing beam arrives and no other bit is set. Edges of the default
// model (gaps 6 on X, 5 on Y): Y row 0 only has lines going down (i <= 0), the last row only
// lines going up; X column 0 only lines going right.
TEST(BeamGeometry, PartnerRulesAtTheEdges) {
    BeamModel beams(defaultFrameModel());
    const auto words = beams.scan({});
    const int nY = 58;
    EXPECT_EQ(words[nY - 1 - 0], 0x78);   // Y row 0: bits 3..6 (lines 0, -1, -2, -3)
    EXPECT_EQ(words[nY - 1 - 4], 0x78);   // row 4: line 1 would end at row -1
    EXPECT_EQ(words[nY - 1 - 5], 0x7C);   // row 5: line 1 ends at row 0
    EXPECT_EQ(words[nY - 1 - 57], 0x0F);  // last row: lines 0..3
    EXPECT_EQ(words[nY - 1 - 29], 0x7F);
    EXPECT_EQ(words[nY + 0], 0x0F);   // X column 0: lines 0..3 (partners to the right)
    EXPECT_EQ(words[nY + 6], 0x1F);   // column 6: line -1 ends at column 0
    EXPECT_EQ(words[nY + 71], 0x78);  // last column
    EXPECT_EQ(words[nY + 36], 0x7F);

    // The same rule phrased per block entry for every model: with c = L/2 and offset e in its
    // block of n LEDs, bit k > c exists only for e >= (k-c)*gap, bit k < c only for
    // e < n - (c-k)*gap.
    for (const FrameModel& m : frameModels()) {
        BeamModel b(m);
        const FrameGeometry& g = m.geometry;
        const int c = g.linesX / 2;
        for (int entry = 0; entry < g.entryCount(); ++entry) {
            const bool yBlock = entry < g.ledsY;
            const int e = yBlock ? entry : entry - g.ledsY;
            const int n = yBlock ? g.ledsY : g.ledsX, gap = yBlock ? g.gapY : g.gapX;
            uint16_t mask = 0;
            for (int k = 0; k < g.linesX; ++k) {
                const bool ok = k > c ? e >= (k - c) * gap : k < c ? e < n - (c - k) * gap : true;
                if (ok) mask = static_cast<uint16_t>(mask | 1u << k);
            }
            ASSERT_EQ(b.existingMask(entry), mask) << m.name << " entry " << entry;
        }
        EXPECT_EQ(b.scan({}), [&] {
            std::vector<uint16_t> all;
            for (int e = 0; e < g.entryCount(); ++e) all.push_back(b.existingMask(e));
            return all;
        }()) << m.name;
    }
}

// A finger hard in a corner only ever clears beams that exist.
TEST(BeamGeometry, CornerFingerTouchesOnlyExistingBeams) {
    for (const FrameModel& m : frameModels()) {
        BeamModel beams(m);
        for (double x : {0.0, 1.0}) {
            for (double y : {0.0, 1.0}) {
                const auto words = beams.scan({{1, x, y, 30.0}});
                bool anyBlocked = false;
                for (int e = 0; e < beams.entryCount(); ++e) {
                    EXPECT_EQ(words[e] & ~beams.existingMask(e), 0) << m.name;
                    anyBlocked |= words[e] != beams.existingMask(e);
                }
                EXPECT_TRUE(anyBlocked) << m.name << " corner " << x << "," << y;
            }
        }
    }
}

// A model reported with only y mirrored: screen (0.25, 0.25) lies at frame (0.25, 0.75).
TEST(BeamGeometry, MirrorFlagsMoveTheFingerOnTheFrame) {
    const FrameModel& m = model("20in-88x50-7line");
    EXPECT_FALSE(m.mirrorX);
    EXPECT_TRUE(m.mirrorY);
    const FrameModel& big = model("32in-144x80-7line");
    EXPECT_TRUE(big.mirrorX);
    EXPECT_TRUE(big.mirrorY);

    BeamModel beams(m);
    std::set<int> xs, ys;
    for (const Beam& b : beams.blockedBy({1, 22.0 / 88, 12.5 / 50, 6.0})) {
        if (b.line == 0) (b.axis == Axis::X ? xs : ys).insert(b.led);
    }
    EXPECT_EQ(xs, (std::set<int>{21, 22}));
    EXPECT_EQ(ys, (std::set<int>{37}));  // frame y = 37.5 rows: the cell of row 37

    BeamModel mirrored(big);
    xs.clear();
    for (const Beam& b : mirrored.blockedBy({1, 0.25, 0.5, 6.0})) {
        if (b.line == 0 && b.axis == Axis::X) xs.insert(b.led);
    }
    EXPECT_EQ(xs, (std::set<int>{107, 108}));  // frame x = 0.75 * 144 = 108
}

TEST(BeamGeometry, DirtStaysBlockedAndNoiseFlipsOnlyExistingBeams) {
    BeamModel beams(defaultFrameModel());
    const Beam dirt{Axis::X, 20, 1};
    beams.addDirt(dirt);
    beams.addDirt({Axis::X, 0, -1});  // does not exist: ignored
    auto words = beams.scan({});
    const int entry = 58 + 20;
    EXPECT_EQ(words[entry], 0x7F & ~(1 << 2));
    EXPECT_EQ(words[58], 0x0F);

    beams.clearDirt();
    beams.setNoise(1.0, 3);
    words = beams.scan({});
    for (int e = 0; e < beams.entryCount(); ++e) EXPECT_EQ(words[e], 0) << e;

    beams.setNoise(0.25, 11);
    const auto first = beams.scan({});
    beams.setNoise(0.25, 11);
    EXPECT_EQ(beams.scan({}), first);  // a seed repeats its run
    int flipped = 0, total = 0;
    for (int e = 0; e < beams.entryCount(); ++e) {
        EXPECT_EQ(first[e] & ~beams.existingMask(e), 0);
        for (int bit = 0; bit < 7; ++bit) {
            if (beams.existingMask(e) >> bit & 1) {
                ++total;
                flipped += !(first[e] >> bit & 1);
            }
        }
    }
    EXPECT_GT(flipped, total / 8);
    EXPECT_LT(flipped, total * 3 / 8);
}

// The selection rules behind the catalogue, on geometries of its own.
TEST(Catalogue, FormatAndMirrorsFollowTheGeometry) {
    auto geometry = [](int inches, int lines, int gapX, int gapY, int nX = 100, int nY = 60) {
        return frameGeometry(inches, nX, nY, lines, gapX, gapY);
    };
    struct Case {
        FrameGeometry g;
        RawFormat format;
        bool mirrorX, mirrorY;
    } cases[] = {
        {geometry(19, 7, 6, 5, 72, 58), RawFormat::BytePerLedShifted19, false, false},
        {geometry(19, 7, 6, 5, 72, 60), RawFormat::BytePerLedShifted, false, false},
        {geometry(21, 7, 6, 5), RawFormat::BytePerLedShifted, false, false},
        {geometry(20, 7, 6, 5), RawFormat::BytePerLedShifted, false, true},
        {geometry(23, 7, 6, 5), RawFormat::BytePerLedShifted, false, true},
        {geometry(23, 7, 12, 20, 120, 68), RawFormat::ComplementMirrored23, false, true},
        {geometry(24, 7, 12, 20, 120, 68), RawFormat::BytePerLedShifted, true, true},
        {geometry(40, 7, 14, 14, 300, 200), RawFormat::EmitterSide70_82, true, true},
        {geometry(40, 7, 14, 14, 400, 200), RawFormat::Unsupported, true, true},  // > 576
        {geometry(48, 7, 13, 8, 144, 82), RawFormat::PairedPlanesTR48, true, true},
        {geometry(48, 7, 13, 8, 144, 85), RawFormat::Unsupported, true, true},  // tail bits < 0
        {geometry(22, 5, 6, 6), RawFormat::SequentialPlanes5, true, true},
        {geometry(25, 5, 6, 6), RawFormat::Unsupported, true, true},
        {geometry(31, 5, 6, 6), RawFormat::Compressed5, false, false},
        {geometry(30, 15, 4, 4), RawFormat::HalfLines15, true, true},
        {geometry(29, 15, 4, 4), RawFormat::Words16, true, true},
        {geometry(29, 9, 4, 4), RawFormat::Words16, true, true},
        {geometry(29, 8, 4, 4), RawFormat::Unsupported, true, true},
        {geometry(29, 17, 4, 4), RawFormat::Unsupported, true, true},
        {geometry(29, 9, 4, 4, 600, 500), RawFormat::Unsupported, true, true},  // > 1024 entries
        // 960 entries of 15 lines: more beams (14400) than the library's per-beam tables hold.
        {geometry(29, 15, 5, 5, 600, 360), RawFormat::Unsupported, true, true},
        {geometry(55, 15, 5, 5, 600, 360), RawFormat::Unsupported, true, true},
        {geometry(55, 15, 5, 5, 600, 355), RawFormat::HalfLines15, true, true},  // 14325 beams
    };
    for (const Case& c : cases) {
        const FrameModel m = makeFrameModel("probe", "", c.g);
        const std::string what = std::to_string(c.g.screenInches) + "in " +
                                 std::to_string(c.g.ledsX) + "x" + std::to_string(c.g.ledsY) +
                                 " lines " + std::to_string(c.g.linesX);
        EXPECT_EQ(rawFormatName(m.format), std::string(rawFormatName(c.format))) << what;
        if (m.format == RawFormat::Unsupported) continue;
        EXPECT_EQ(m.mirrorX, c.mirrorX) << what;
        EXPECT_EQ(m.mirrorY, c.mirrorY) << what;
        EXPECT_EQ(m.firmware.lcdSize, c.g.screenInches);
        EXPECT_EQ(m.firmware.ledGapY, static_cast<uint32_t>(c.g.gapY));
    }
}
