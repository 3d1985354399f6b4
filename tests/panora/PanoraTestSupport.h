// Context set-up and beam-word helpers shared by the frame library's tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <random>
#include <vector>

#include "PanoraCore.h"

namespace panora_test {

struct Geometry {
    float inches;
    int ledsX, ledsY;
    int linesX, linesY;
    int gapX, gapY;
    int padX = 0, padY = 0;
};

// The catalogue's default panel: 19 inches, 72 x 58 LEDs, 7 lines.
inline Geometry DefaultPanel() { return Geometry{19.0f, 72, 58, 7, 7, 6, 5}; }

inline SetupParams ParamsFor(const Geometry& g) {
    SetupParams p{};
    p.screenInches = g.inches;
    p.ledsX = g.ledsX;
    p.ledsY = g.ledsY;
    p.linesX = g.linesX;
    p.linesY = g.linesY;
    p.ledGapX = g.gapX;
    p.ledGapY = g.gapY;
    p.frameWidth = 1.0f;
    p.frameHeight = 1.0f;
    p.pairGate = 0.05f;
    p.minBlobSize = 0.001f;
    p.maxBlobSize = 0.5f;
    p.maxBlobs = 10;
    p.reserved = 1;
    return p;
}

// A zeroed context on the heap (it is about 2 MB).
inline std::unique_ptr<CoreContext> NewContext() { return std::make_unique<CoreContext>(); }

inline std::unique_ptr<CoreContext> ReadyContext(const Geometry& g) {
    auto ctx = NewContext();
    ctx->padLedsX = g.padX;
    ctx->padLedsY = g.padY;
    SetupParams p = ParamsFor(g);
    EXPECT_EQ(OrdaloScreenSetup(ctx.get(), &p), 1u);
    return ctx;
}

// Whether line bit k of the LED at block position i has a partner receiver (c = lines / 2).
inline bool BeamExists(int i, int n, int g, int k, int c) {
    if (k > c) return i >= (k - c) * g;
    if (k < c) return i < n - (c - k) * g;
    return true;
}

// Logical beam words (bit 1 = arrived) for nY Y entries followed by nX X entries. Beams with
// no partner are 0; about one existing beam in five is blocked. Fixed seed per call site.
inline std::vector<uint16_t> RandomBeamWords(int nX, int nY, int gX, int gY, int lines,
                                             uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<uint16_t> w(nX + nY, 0);
    const int c = lines / 2;
    for (int e = 0; e < nX + nY; ++e) {
        const bool yBlock = e < nY;
        const int n = yBlock ? nY : nX, g = yBlock ? gY : gX, i = yBlock ? e : e - nY;
        for (int k = 0; k < lines; ++k) {
            if (BeamExists(i, n, g, k, c) && rng() % 5 != 0) w[e] |= 1u << k;
        }
    }
    return w;
}

inline std::vector<uint16_t> ScanWords(const CoreContext& ctx, int count) {
    std::vector<uint16_t> out(count);
    for (int e = 0; e < count; ++e) out[e] = ctx.scan[e];
    return out;
}

inline void SetScanWords(CoreContext* ctx, const std::vector<uint16_t>& words) {
    for (size_t e = 0; e < words.size(); ++e) ctx->scan[e] = words[e];
}

inline void FillAndFix(CoreContext* ctx, const std::vector<uint8_t>& raw) {
    OrdaloDataFill(ctx, raw.data(), static_cast<uint32_t>(raw.size()));
    OrdaloDataFix(ctx);
}

}  // namespace panora_test
