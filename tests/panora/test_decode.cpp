// Every raw packing the frame library knows: a hand-built frame carrying known beam words
// decodes, after the data fix, to exactly those words.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

#include "PanoraCore.h"
#include "PanoraTestSupport.h"

using panora_test::FillAndFix;
using panora_test::Geometry;
using panora_test::RandomBeamWords;
using panora_test::ReadyContext;
using panora_test::ScanWords;

namespace {

bool Bit(uint32_t w, int b) { return (w >> b) & 1u; }

// Frames are built from the words the library should report, by undoing each packing step.

struct Block {
    int base, n, g;
};

// --- run-length coded bytes ------------------------------------------------------------------

std::vector<uint8_t> RunLengthCode(const std::vector<uint8_t>& bytes) {
    std::vector<uint8_t> out;
    size_t i = 0;
    while (i < bytes.size()) {
        size_t run = 1;
        while (i + run < bytes.size() && bytes[i + run] == bytes[i] && run < 256) ++run;
        if (run >= 3) {
            out.push_back(static_cast<uint8_t>(0x80 | bytes[i]));
            out.push_back(static_cast<uint8_t>(run - 1));
        } else {
            for (size_t k = 0; k < run; ++k) out.push_back(bytes[i]);
        }
        i += run;
    }
    out.insert(out.end(), {0xFF, 0xFF, 0x00, 0x00});
    return out;
}

std::vector<uint8_t> EncodeCompressed(const std::vector<uint16_t>& w, int nX, int nY, int gX,
                                      int gY) {
    std::vector<uint8_t> t(nX + nY, 0);
    for (const Block& b : {Block{0, nY, gY}, Block{nY, nX, gX}}) {
        for (int i = 0; i < b.n; ++i) {
            const int e = b.base + i, g = b.g;
            if (Bit(w[e], 2)) t[e] |= 1;
            if (Bit(w[e], 0)) t[e + 2 * g] |= 1 << 4;
            if (Bit(w[e], 1)) t[e + g] |= 1 << 3;
            if (Bit(w[e], 3)) t[e - g] |= 1 << 1;
            if (Bit(w[e], 4)) t[e - 2 * g] |= 1 << 2;
        }
    }
    return RunLengthCode(t);
}

// --- sequential bit planes -------------------------------------------------------------------

void PutPlaneBits(std::vector<uint8_t>& out, const std::vector<int>& bits) {
    const int len = static_cast<int>(bits.size());
    const int fill = (8 - len % 8) % 8;
    const size_t start = out.size();
    out.resize(start + (len + 7) / 8, 0);
    for (int i = 0; i < len; ++i) {
        if (bits[i]) out[start + (fill + i) / 8] |= 0x80 >> ((fill + i) % 8);
    }
}

std::vector<uint8_t> EncodeBitPlanes(const std::vector<uint16_t>& w, int nX, int nY, int gX,
                                     int gY) {
    std::vector<uint8_t> out;
    for (const Block& b : {Block{0, nY, gY}, Block{nY, nX, gX}}) {
        const int n = b.n, g = b.g;
        const struct {
            int len, bit, offset;
        } planes[5] = {
            {n - 2 * g, 4, 2 * g}, {n - g, 3, g}, {n, 2, 0}, {n - g, 1, 0}, {n - 2 * g, 0, 0}};
        for (const auto& p : planes) {
            std::vector<int> bits(p.len);
            for (int i = 0; i < p.len; ++i) bits[i] = Bit(w[b.base + p.offset + i], p.bit);
            PutPlaneBits(out, bits);
        }
    }
    return out;
}

// --- pair-interleaved bit planes -------------------------------------------------------------

struct PlaneOut {
    int bit, len, first, shift, tailFrom, tailBase;  // tailBase < 0: no tail rule
};

void PutPairPlane(std::vector<uint8_t>& run, int parity, const PlaneOut& p,
                  const std::vector<uint16_t>& w, int base) {
    for (int i = p.first; i < p.len; ++i) {
        if (!Bit(w[base + i + p.shift], p.bit)) continue;
        const int bit = (p.tailBase >= 0 && i >= p.tailFrom) ? p.tailBase - i % 8 : 7 - i % 8;
        ASSERT_GE(bit, 0) << "geometry chosen so that no tail bit collides";
        run[2 * (i / 8) + parity] |= static_cast<uint8_t>(1u << bit);
    }
}

std::vector<uint8_t> EncodePairPlanes(const std::vector<uint16_t>& w, int nX, int nY, int gX,
                                      int gY) {
    std::vector<uint8_t> out;
    auto floor8 = [](int v) { return v / 8 * 8; };
    auto block = [&](int base, int n, int g, bool x) {
        const int t1 = x ? 5 : 1, t2 = x ? -1 : 6, t3 = x ? 2 : 3, t4 = x ? 0 : 1;
        const struct {
            int runLen;
            PlaneOut a, b;
            bool single;
        } units[4] = {
            {n - 2 * g,
             {0, n - 2 * g, g, -g, floor8(n - 2 * g), t1},
             {1, n - 2 * g, 0, 0, floor8(n - 2 * g), t1},
             false},
            {n, {2, n, g, -g, floor8(n), t2}, {3, n, 0, 0, floor8(n), t2}, false},
            {n - g,
             {4, n - g, 0, g, floor8(n - g), t3},
             {5, n - 2 * g, 0, 2 * g, floor8(n - g), t3},
             false},
            {n - 3 * g, {6, n - 3 * g, 0, 3 * g, floor8(n - 3 * g), t4}, {}, true},
        };
        for (const auto& u : units) {
            std::vector<uint8_t> run(2 * ((u.runLen + 7) / 8), 0);
            PutPairPlane(run, 0, u.a, w, base);
            if (!u.single) PutPairPlane(run, 1, u.b, w, base);
            out.insert(out.end(), run.begin(), run.end());
        }
    };
    block(nY, nX, gX, true);
    block(0, nY, gY, false);
    return out;
}

// --- 7-line words seen from the emitter --------------------------------------------------------

// Emitter view of one block: bits 0..2 name the LEDs 3g, 2g, g further on, bits 4..6 those
// before, bit 3 the straight beam.
void ToEmitterView(const std::vector<uint16_t>& w, std::vector<uint16_t>& v, int base, int n,
                   int g) {
    for (int i = 0; i < n; ++i) {
        const int e = base + i;
        uint16_t x = w[e] & 8u;
        if (i + 3 * g < n && Bit(w[e + 3 * g], 6)) x |= 1u << 0;
        if (i + 2 * g < n && Bit(w[e + 2 * g], 5)) x |= 1u << 1;
        if (i + g < n && Bit(w[e + g], 4)) x |= 1u << 2;
        if (i - g >= 0 && Bit(w[e - g], 2)) x |= 1u << 4;
        if (i - 2 * g >= 0 && Bit(w[e - 2 * g], 1)) x |= 1u << 5;
        if (i - 3 * g >= 0 && Bit(w[e - 3 * g], 0)) x |= 1u << 6;
        v[e] = x;
    }
}

std::vector<uint8_t> EncodeEmitterBytes(const std::vector<uint16_t>& w, int nX, int nY, int gX,
                                        int gY) {
    std::vector<uint16_t> v(nX + nY, 0);
    ToEmitterView(w, v, 0, nY, gY);
    ToEmitterView(w, v, nY, nX, gX);
    std::vector<uint8_t> raw(nX + nY);
    // The frame sends blocked beams as 1; bit 7 carries nothing.
    for (int e = 0; e < nX + nY; ++e) raw[e] = static_cast<uint8_t>(~v[e] & 0x7F);
    return raw;
}

uint16_t Rot7(uint16_t v, int right) {
    right = ((right % 7) + 7) % 7;
    v &= 0x7F;
    return static_cast<uint16_t>(((v >> right) | (v << (7 - right))) & 0x7F);
}

uint16_t Mirror7(uint16_t v) {
    uint16_t out = 0;
    for (int b = 0; b < 7; ++b) {
        if (Bit(v, b)) out |= 1u << (6 - b);
    }
    return out;
}

// One inverted byte per LED, line bits rotated by 3 - (position / gap). With `panelReorder`
// the words are first put into the emitter view with the Y block reversed and mirrored, as the
// 19-inch and 17-inch panels send them.
std::vector<uint8_t> EncodeRotatedBytes(const std::vector<uint16_t>& w, int nX, int nY, int gX,
                                        int gY, bool panelReorder) {
    std::vector<uint16_t> v(w);
    if (panelReorder) {
        ToEmitterView(w, v, nY, nX, gX);
        for (int m = 0; m < nY; ++m) v[m] = Mirror7(w[nY - 1 - m]);
    }
    std::vector<uint8_t> raw(nX + nY);
    for (int e = 0; e < nX + nY; ++e) {
        const int i = e < nY ? e : e - nY;
        const int g = e < nY ? gY : gX;
        const int right = 3 - i / g;                       // what the fix rotates right by
        const uint8_t noise = (e % 3 == 0) ? 0x80 : 0x00;  // bit 7 is not a line
        raw[e] = static_cast<uint8_t>((~Rot7(v[e], -right) & 0x7F) | noise);
    }
    return raw;
}

// --- 16-bit words ----------------------------------------------------------------------------

uint16_t Mirror15(uint16_t v) {
    uint16_t out = 0;
    for (int b = 0; b < 15; ++b) {
        if (Bit(v, b)) out |= static_cast<uint16_t>(1u << (14 - b));
    }
    return out;
}

uint16_t Rot16Right(uint16_t v, int k) {
    k %= 16;
    return static_cast<uint16_t>((v >> k) | (v << ((16 - k) % 16)));
}

// Inverted words, X block first, each rotated left by position / gap, then the whole frame
// reversed and bit-mirrored; little-endian on the wire.
std::vector<uint8_t> EncodeWords(const std::vector<uint16_t>& w, int nX, int nY, int gX, int gY) {
    const int total = nX + nY;
    std::vector<uint8_t> raw(2 * total);
    for (int j = 0; j < total; ++j) {
        uint16_t v = Mirror15(w[total - 1 - j]);
        const int k = j < nX ? j / gX : (j - nX) / gY;
        v = static_cast<uint16_t>(~Rot16Right(v, k));
        raw[2 * j] = static_cast<uint8_t>(v & 0xFF);
        raw[2 * j + 1] = static_cast<uint8_t>(v >> 8);
    }
    return raw;
}

void ExpectWords(const CoreContext& ctx, const std::vector<uint16_t>& want, uint16_t mask) {
    ASSERT_EQ(+ctx.entryCount, static_cast<int>(want.size()));
    const std::vector<uint16_t> got = ScanWords(ctx, static_cast<int>(want.size()));
    int wrong = 0;
    for (size_t e = 0; e < want.size(); ++e) {
        if ((got[e] & mask) != want[e] && ++wrong <= 5) {
            ADD_FAILURE() << "entry " << e << ": got 0x" << std::hex << (got[e] & mask)
                          << " want 0x" << want[e];
        }
    }
    EXPECT_EQ(wrong, 0);
}

// Decodes `raw` on a fresh context and checks the frame is ignored when one byte short.
std::unique_ptr<CoreContext> DecodeOnFreshContext(const Geometry& g,
                                                  const std::vector<uint8_t>& raw) {
    auto ctx = ReadyContext(g);
    // Exact-size buffers: a read past the end shows under AddressSanitizer.
    const std::vector<uint8_t> shortFrame(raw.begin(), raw.end() - 1);
    FillAndFix(ctx.get(), shortFrame);
    const std::vector<uint16_t> untouched(g.ledsX + g.ledsY, 0xFFFF);
    EXPECT_EQ(ScanWords(*ctx, g.ledsX + g.ledsY), untouched) << "a short frame must be ignored";
    FillAndFix(ctx.get(), raw);
    return ctx;
}

}  // namespace

TEST(RawDecode, CompressedFiveLineFrame) {
    const Geometry g{120.0f, 480, 270, 5, 5, 20, 12};
    const auto want = RandomBeamWords(g.ledsX, g.ledsY, g.gapX, g.gapY, 5, 11);
    const auto raw = EncodeCompressed(want, g.ledsX, g.ledsY, g.gapX, g.gapY);
    ASSERT_LT(raw.size(), 2048u);
    auto ctx = ReadyContext(g);
    FillAndFix(ctx.get(), raw);
    ExpectWords(*ctx, want, 0xFFFF);
    EXPECT_EQ(+ctx->mirrorX, 0u);
    EXPECT_EQ(+ctx->mirrorY, 0u);
}

TEST(RawDecode, CompressedFrameThatStopsEarlyIsIgnored) {
    const Geometry g{120.0f, 480, 270, 5, 5, 20, 12};
    const auto want = RandomBeamWords(g.ledsX, g.ledsY, g.gapX, g.gapY, 5, 12);
    auto raw = EncodeCompressed(want, g.ledsX, g.ledsY, g.gapX, g.gapY);
    auto ctx = ReadyContext(g);
    FillAndFix(ctx.get(), raw);
    // Cut the stream in the middle: the entries it no longer reaches would read as blocked.
    raw.resize(raw.size() / 2);
    raw.insert(raw.end(), {0xFF, 0xFF, 0x00, 0x00});
    FillAndFix(ctx.get(), raw);
    ExpectWords(*ctx, want, 0xFFFF);
    EXPECT_EQ(+ctx->frameCounter, 2u);
}

TEST(RawDecode, HalfLineFifteenLineFrame) {
    const Geometry g{55.0f, 240, 135, 15, 15, 4, 4};
    const int total = g.ledsX + g.ledsY;
    std::vector<uint8_t> raw(total);
    std::mt19937 rng(5);
    for (auto& b : raw) b = static_cast<uint8_t>(rng() & 0xFF);
    // Measured line j (1..7) of byte e lands on bit 15 - 2j of the entry counted from the end.
    std::vector<uint16_t> want(total, 0);
    for (int e = 0; e < total; ++e) {
        for (int j = 1; j <= 7; ++j) {
            if (Bit(raw[e], j - 1))
                want[total - 1 - e] |= static_cast<uint16_t>(1u << (15 - 2 * j));
        }
    }
    auto ctx = DecodeOnFreshContext(g, raw);
    ExpectWords(*ctx, want, 0xFFFF);
}

TEST(RawDecode, SequentialBitPlaneFiveLineFrame) {
    for (const Geometry& g :
         {Geometry{21.0f, 96, 54, 5, 5, 6, 6}, Geometry{15.0f, 43, 29, 5, 5, 3, 2}}) {
        SCOPED_TRACE(g.ledsX);
        const auto want = RandomBeamWords(g.ledsX, g.ledsY, g.gapX, g.gapY, 5, 21);
        auto ctx = DecodeOnFreshContext(g, EncodeBitPlanes(want, g.ledsX, g.ledsY, g.gapX, g.gapY));
        ExpectWords(*ctx, want, 0xFFFF);
        EXPECT_EQ(+ctx->mirrorX, 1u);
        EXPECT_EQ(+ctx->mirrorY, 1u);
    }
}

TEST(RawDecode, PairInterleavedPlaneSevenLineFrame) {
    const Geometry g{48.0f, 144, 82, 7, 7, 13, 8};
    const auto want = RandomBeamWords(g.ledsX, g.ledsY, g.gapX, g.gapY, 7, 48);
    auto ctx = DecodeOnFreshContext(g, EncodePairPlanes(want, g.ledsX, g.ledsY, g.gapX, g.gapY));
    ExpectWords(*ctx, want, 0xFFFF);
}

TEST(RawDecode, EmitterSideByteSevenLineFrame) {
    for (const Geometry& g :
         {Geometry{70.0f, 320, 180, 7, 7, 14, 14}, Geometry{82.0f, 360, 200, 7, 7, 16, 16}}) {
        SCOPED_TRACE(g.ledsX);
        const auto want = RandomBeamWords(g.ledsX, g.ledsY, g.gapX, g.gapY, 7, 70);
        auto raw = EncodeEmitterBytes(want, g.ledsX, g.ledsY, g.gapX, g.gapY);
        const auto sent = raw;
        auto ctx = DecodeOnFreshContext(g, raw);
        ExpectWords(*ctx, want, 0xFFFF);
        EXPECT_EQ(raw, sent) << "the caller's frame is only read";
    }
}

TEST(RawDecode, RotatedByteSevenLineFrames) {
    const struct {
        Geometry g;
        bool panelReorder;  // the 19-inch 72 x 58 and 17-inch 65 x 52 panels
        uint32_t mirrorX, mirrorY;
    } cases[] = {
        {{32.0f, 144, 80, 7, 7, 8, 6}, false, 1, 1},
        {{20.0f, 88, 50, 7, 7, 7, 5}, false, 0, 1},
        {panora_test::DefaultPanel(), true, 0, 0},
        {{17.0f, 65, 52, 7, 7, 5, 4}, true, 0, 0},
    };
    for (const auto& c : cases) {
        const Geometry& g = c.g;
        SCOPED_TRACE(g.inches);
        const auto want = RandomBeamWords(g.ledsX, g.ledsY, g.gapX, g.gapY, 7, 19);
        auto ctx = DecodeOnFreshContext(
            g, EncodeRotatedBytes(want, g.ledsX, g.ledsY, g.gapX, g.gapY, c.panelReorder));
        // Without the panel reordering, bits above the seven lines may hold leftovers of the
        // rotation.
        ExpectWords(*ctx, want, c.panelReorder ? 0xFFFF : 0x7F);
        EXPECT_EQ(+ctx->mirrorX, c.mirrorX);
        EXPECT_EQ(+ctx->mirrorY, c.mirrorY);
    }
}

TEST(RawDecode, ComplementMirroredTwentyThreeInchFrame) {
    const Geometry g{23.0f, 120, 68, 7, 7, 12, 20};
    std::vector<uint8_t> raw(g.ledsX + g.ledsY, 0x7F);
    raw[0] = 0x7F;
    raw[1] = 0x00;
    raw[2] = 0x01;
    raw[3] = 0x40;
    auto ctx = DecodeOnFreshContext(g, raw);
    EXPECT_EQ(+ctx->scan[0], 0x00);
    EXPECT_EQ(+ctx->scan[1], 0x7F);
    EXPECT_EQ(+ctx->scan[2], 0x3F);
    EXPECT_EQ(+ctx->scan[3], 0x7E);
    EXPECT_EQ(+ctx->scan[g.ledsX + g.ledsY - 1], 0x00);
    EXPECT_EQ(+ctx->mirrorX, 0u);
    EXPECT_EQ(+ctx->mirrorY, 1u);
}

TEST(RawDecode, SixteenBitWordFrame) {
    for (const Geometry& g :
         {Geometry{27.0f, 112, 64, 15, 15, 2, 2}, Geometry{27.0f, 90, 50, 9, 9, 3, 4},
          // 15 lines on a large screen without fast frames use words too.
          Geometry{55.0f, 60, 40, 15, 15, 2, 3}}) {
        SCOPED_TRACE(g.ledsX);
        const auto want = RandomBeamWords(g.ledsX, g.ledsY, g.gapX, g.gapY, g.linesX, 27);
        auto ctx = ReadyContext(g);
        if (g.inches >= 30.0f) ctx->fastFrame = 0;
        FillAndFix(ctx.get(), EncodeWords(want, g.ledsX, g.ledsY, g.gapX, g.gapY));
        ExpectWords(*ctx, want, 0xFFFF);
    }
}

TEST(RawDecode, FiveLineFrameOfTwentyThreeInchesOrMoreKeepsThePreviousWords) {
    for (const Geometry& g :
         {Geometry{23.0f, 100, 60, 5, 5, 4, 4}, Geometry{30.0f, 100, 60, 5, 5, 4, 4},
          Geometry{40.0f, 100, 60, 5, 7, 4, 4},
          Geometry{23.0f, 100, 60, 5, 5, 4, 4, /*padX=*/2, /*padY=*/1}}) {
        SCOPED_TRACE(g.inches);
        auto ctx = ReadyContext(g);
        const int total = ctx->entryCount;
        const auto previous = RandomBeamWords(total - ctx->ledCountY, ctx->ledCountY, 4, 4, 5, 3);
        panora_test::SetScanWords(ctx.get(), previous);
        FillAndFix(ctx.get(), std::vector<uint8_t>(2 * total, 0x00));
        EXPECT_EQ(ScanWords(*ctx, total), previous);
        EXPECT_EQ(+ctx->entryCount, total);
        EXPECT_EQ(+ctx->frameCounter, 1u);
    }
}

TEST(RawDecode, TwoCompressedFramesDecodeConcurrently) {
    // Each context has its own decompression buffer: two devices of the compressed model run
    // side by side without seeing each other's frames.
    const Geometry g{120.0f, 480, 270, 5, 5, 20, 12};
    std::vector<uint16_t> want[2];
    std::vector<uint8_t> raw[2];
    std::unique_ptr<CoreContext> ctx[2];
    for (int d = 0; d < 2; ++d) {
        want[d] = RandomBeamWords(g.ledsX, g.ledsY, g.gapX, g.gapY, 5, 100 + d);
        raw[d] = EncodeCompressed(want[d], g.ledsX, g.ledsY, g.gapX, g.gapY);
        ctx[d] = panora_test::NewContext();
    }
    std::vector<uint16_t> got[2];
    auto device = [&](int d) {
        SetupParams p = panora_test::ParamsFor(g);
        if (OrdaloScreenSetup(ctx[d].get(), &p) != 1) return;
        ctx[d]->eraseBackground = 0;  // keep the decoded words unmasked for the comparison
        for (int frame = 0; frame < 50; ++frame) {
            OrdaloDataFill(ctx[d].get(), raw[d].data(), static_cast<uint32_t>(raw[d].size()));
            OrdaloDataFix(ctx[d].get());
            OrdaloUpdateBlobs(ctx[d].get());
            if (ScanWords(*ctx[d], g.ledsX + g.ledsY) != want[d]) break;
        }
        got[d] = ScanWords(*ctx[d], g.ledsX + g.ledsY);
    };
    std::thread other(device, 1);
    device(0);
    other.join();
    EXPECT_EQ(got[0], want[0]);
    EXPECT_EQ(got[1], want[1]);
}
