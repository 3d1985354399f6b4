// Raw frame decoding for every frame model, the data fix and the background model.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "PanoraCore.h"
#include "PanoraPrivate.h"

namespace panora {

namespace {

constexpr uint16_t kVirtualLedWord = 0x80;  // every line of a 7-line word blocked

int ClampEntries(int64_t n) {
    return static_cast<int>(std::clamp<int64_t>(n, 0, PANORA_MAX_ENTRIES));
}

// By value: context fields are packed and must not be bound to references.
int ClampInt(int v, int lo, int hi) { return v < lo ? lo : (v > hi ? hi : v); }

// The exported decoders take the gap from their caller: any gap of a whole block or more means
// no slanted partner in it, so clamping there keeps every gap product inside an int.
int SafeGap(int32_t g) { return g < 1 ? 1 : (g > PANORA_MAX_ENTRIES ? PANORA_MAX_ENTRIES : g); }

int CeilBytes(int bits) { return bits <= 0 ? 0 : (bits + 7) / 8; }

int8_t ToInt8(int v) { return static_cast<int8_t>(static_cast<uint8_t>(v & 0xFF)); }

// Entry counts of a context as the fixers see them, kept inside the scan array whatever the
// fields hold.
struct Counts {
    int y, x, total;
};

Counts ContextCounts(const CoreContext* ctx) {
    Counts c;
    c.y = ClampEntries(ctx->ledCountY);
    c.x = ClampEntries(ctx->ledCountX);
    if (c.y + c.x > PANORA_MAX_ENTRIES) c.x = PANORA_MAX_ENTRIES - c.y;
    c.total = std::min(ClampEntries(ctx->entryCount), c.y + c.x);
    return c;
}

uint16_t RotateThroughCycShift(uint16_t w, uint8_t width, int8_t count) {
    CycShift(&w, width, count);
    return w;
}

// Bit i goes to bit 14 - i for bits 0..14; bit 15 is dropped.
uint16_t Mirror15(uint16_t w) {
    uint16_t out = 0;
    for (int i = 0; i <= 14; ++i) {
        if (w & (1u << i)) out |= static_cast<uint16_t>(1u << (14 - i));
    }
    return out;
}

void Complement(CoreContext* ctx, int total) {
    for (int e = 0; e < total; ++e) ctx->scan[e] = static_cast<uint16_t>(~ctx->scan[e]);
}

// 16-bit words in raw order, X block first: each rotates left by its position over the gap.
void RotateWordsXFirst(CoreContext* ctx, const Counts& c) {
    const int nX = c.total - c.y;
    const int gy = SafeGap(ctx->ledGapY);
    const int gx = SafeGap(ctx->ledGapX);
    for (int i = 0; i < nX; ++i) {
        ctx->scan[i] = RotateThroughCycShift(ctx->scan[i], 16, ToInt8(-(i / gx)));
    }
    for (int i = 0; nX + i < c.total; ++i) {
        ctx->scan[nX + i] = RotateThroughCycShift(ctx->scan[nX + i], 16, ToInt8(-(i / gy)));
    }
}

void ReverseAndMirror(CoreContext* ctx, int total) {
    for (int i = 0, j = total - 1; i < j; ++i, --j) {
        const uint16_t t = ctx->scan[i];
        ctx->scan[i] = ctx->scan[j];
        ctx->scan[j] = t;
    }
    for (int i = 0; i < total; ++i) ctx->scan[i] = Mirror15(ctx->scan[i]);
}

// ---- Sequential bit planes (5 lines) --------------------------------------------------------

struct PlaneSpec {
    int lenGaps;     // plane length is n - lenGaps * g
    int bit;         // beam bit it sets
    int offsetGaps;  // entry of position i is b + offsetGaps * g + i
};

constexpr PlaneSpec kBitPlaneOrder[5] = {
    {2, 4, 2}, {1, 3, 1}, {0, 2, 0}, {1, 1, 0}, {2, 0, 0},
};

size_t BitPlaneBlockBytes(int n, int g) {
    size_t bytes = 0;
    for (const PlaneSpec& s : kBitPlaneOrder) bytes += CeilBytes(n - s.lenGaps * g);
    return bytes;
}

const uint8_t* DecodeBitPlaneBlock(const uint8_t* in, uint16_t* scan, int b, int n, int g) {
    for (const PlaneSpec& s : kBitPlaneOrder) {
        const int len = std::max(0, n - s.lenGaps * g);
        const int fill = (8 - len % 8) % 8;
        for (int i = 0; i < len; ++i) {
            const int pos = fill + i;
            if ((in[pos / 8] >> (7 - pos % 8)) & 1) {
                scan[b + s.offsetGaps * g + i] |= static_cast<uint16_t>(1u << s.bit);
            }
        }
        in += CeilBytes(len);
    }
    return in;
}

// ---- Pair-interleaved bit planes (7 lines, gap 13) ------------------------------------------

struct PairPlane {
    int bit;
    int lenGaps;      // plane length n - lenGaps * g
    int skipGaps;     // positions below skipGaps * g are not written
    int entryGaps;    // entry of position i is b + entryGaps * g + i (after the skip shift)
    int tailLenGaps;  // tail threshold from n - tailLenGaps * g, rounded down to 8; -1 = none
};

struct PairUnit {
    PairPlane even;
    PairPlane odd;   // bit < 0: the unit is a single plane on the even bytes
    int runLenGaps;  // run occupies 2 * ceil((n - runLenGaps * g) / 8) bytes
    int tailBaseX;
    int tailBaseY;
};

constexpr PairUnit kPairUnits[4] = {
    {{0, 2, 1, -1, 2}, {1, 2, 0, 0, 2}, 2, 5, 1},
    {{2, 0, 1, -1, 0}, {3, 0, 0, 0, 0}, 0, -1, 6},
    {{4, 1, 0, 1, 1}, {5, 2, 0, 2, 1}, 1, 2, 3},
    {{6, 3, 0, 3, 3}, {-1, 0, 0, 0, 0}, 3, 0, 1},
};

size_t PairBlockBytes(int n, int g) {
    size_t bytes = 0;
    for (const PairUnit& u : kPairUnits) bytes += 2 * CeilBytes(n - u.runLenGaps * g);
    return bytes;
}

void DecodePairPlane(const uint8_t* run, int parity, const PairPlane& p, int tailBase,
                     uint16_t* scan, int b, int n, int g) {
    const int len = std::max(0, n - p.lenGaps * g);
    // A tail base below 0 marks a plane read most significant bit first to its end.
    const int tailFrom = tailBase < 0 ? len : (std::max(0, n - p.tailLenGaps * g) / 8) * 8;
    for (int i = p.skipGaps * g; i < len; ++i) {
        const uint8_t byte = run[2 * (i / 8) + parity];
        int bit = i < tailFrom ? 7 - i % 8 : tailBase - i % 8;
        if (bit < 0) bit = 0;
        if ((byte >> bit) & 1) {
            scan[b + p.entryGaps * g + i] |= static_cast<uint16_t>(1u << p.bit);
        }
    }
}

const uint8_t* DecodePairBlock(const uint8_t* in, uint16_t* scan, int b, int n, int g,
                               bool xBlock) {
    for (const PairUnit& u : kPairUnits) {
        const int tailBase = xBlock ? u.tailBaseX : u.tailBaseY;
        DecodePairPlane(in, 0, u.even, tailBase, scan, b, n, g);
        if (u.odd.bit >= 0) DecodePairPlane(in, 1, u.odd, tailBase, scan, b, n, g);
        in += 2 * CeilBytes(n - u.runLenGaps * g);
    }
    return in;
}

// ---- Angle-bit moves shared by the 7-line emitter-side models --------------------------------

inline bool Bit(uint16_t w, int bit) { return (w >> bit) & 1u; }

// Moves the slanted bits of one block from the emitter's view (bits 0..2 describe the LEDs
// 3g, 2g and g further on, bits 4..6 those before) to the receiver's view.
void EmitterToReceiver(const uint16_t* in, uint16_t* out, int b, int n, int g) {
    for (int i = 0; i < n; ++i) {
        const int e = b + i;
        if (i + 3 * g < n && Bit(in[e], 0)) out[e + 3 * g] |= 1u << 6;
        if (i + 2 * g < n && Bit(in[e], 1)) out[e + 2 * g] |= 1u << 5;
        if (i + g < n && Bit(in[e], 2)) out[e + g] |= 1u << 4;
        if (i + g < n && Bit(in[e + g], 4)) out[e] |= 1u << 2;
        if (i + 2 * g < n && Bit(in[e + 2 * g], 5)) out[e] |= 1u << 1;
        if (i + 3 * g < n && Bit(in[e + 3 * g], 6)) out[e] |= 1u << 0;
    }
}

// ---- Compressed model -----------------------------------------------------------------------

void SpreadCompressed(CoreContext* ctx) {
    const Counts c = ContextCounts(ctx);
    const uint8_t* t = ctx->decompressBuf;
    for (int e = 0; e < c.total; ++e) ctx->scan[e] = (t[e] & 1u) ? (1u << 2) : 0;
    const struct {
        int b, n, g;
    } blocks[2] = {{0, c.y, SafeGap(ctx->ledGapY)}, {c.y, c.total - c.y, SafeGap(ctx->ledGapX)}};
    for (const auto& blk : blocks) {
        for (int i = 0; i < blk.n; ++i) {
            const int e = blk.b + i;
            uint16_t w = ctx->scan[e];
            if (i + 2 * blk.g < blk.n && ((t[e + 2 * blk.g] >> 4) & 1)) w |= 1u << 0;
            if (i + blk.g < blk.n && ((t[e + blk.g] >> 3) & 1)) w |= 1u << 1;
            if (i - blk.g >= 0 && ((t[e - blk.g] >> 1) & 1)) w |= 1u << 3;
            if (i - 2 * blk.g >= 0 && ((t[e - 2 * blk.g] >> 2) & 1)) w |= 1u << 4;
            ctx->scan[e] = w;
        }
    }
}

uint32_t InflateInto(CoreContext* ctx, const uint8_t* raw, uint32_t len) {
    std::memset(ctx->decompressBuf, 0, sizeof(ctx->decompressBuf));
    uint32_t written = 0;
    Decompress(ctx->decompressBuf, sizeof(ctx->decompressBuf), raw, raw ? len : 0, &written);
    return written;
}

// ---- Virtual LEDs ---------------------------------------------------------------------------

void InsertVirtualLeds(CoreContext* ctx, int nX, int nY, int p, int q) {
    if (p == 0 && q == 0) return;
    const int countY = nY + 2 * q;
    const int total = nX + 2 * p + countY;
    for (int i = nX - 1; i >= 0; --i) ctx->scan[countY + p + i] = ctx->scan[nY + i];
    for (int i = nY - 1; i >= 0; --i) ctx->scan[q + i] = ctx->scan[i];
    for (int e = 0; e < q; ++e) ctx->scan[e] = kVirtualLedWord;
    for (int e = countY - q; e < countY + p; ++e) ctx->scan[e] = kVirtualLedWord;
    for (int e = total - p; e < total; ++e) ctx->scan[e] = kVirtualLedWord;
}

void RestoreCounts(CoreContext* ctx) {
    ctx->ledCountX = ctx->physLedsX + 2 * ctx->setupPadX;
    ctx->ledCountY = ctx->physLedsY + 2 * ctx->setupPadY;
    ctx->entryCount = ctx->ledCountX + ctx->ledCountY;
}

// The 23-inch panel reports each word as the complement of its seven bits, mirrored.
bool IsComplementMirrorPanel(const CoreContext* ctx) {
    return ctx->screenInches == 23.0f && ctx->linesY == 7 && ctx->ledGapX == 12 &&
           ctx->ledGapY == 20;
}

uint16_t ComplementMirror7(uint16_t w) {
    uint16_t out = 0;
    for (int i = 0; i <= 6; ++i) {
        if (!Bit(w, 6 - i)) out |= static_cast<uint16_t>(1u << i);
    }
    return out;
}

// Two panel sizes report their Y block reversed with the angle bits seen from the emitter.
bool NeedsPanelReorder(const CoreContext* ctx) {
    const double s = ctx->screenInches;
    return (ctx->ledCountX == 72 && ctx->ledCountY == 58 && std::trunc(s - 19.0) == 0.0) ||
           (ctx->ledCountX == 65 && ctx->ledCountY == 52 && std::trunc(s - 17.0) == 0.0);
}

void FixSevenLine(CoreContext* ctx) {
    const Counts c = ContextCounts(ctx);
    if (IsComplementMirrorPanel(ctx)) {
        for (int e = 0; e < c.total; ++e) ctx->scan[e] = ComplementMirror7(ctx->scan[e]);
        return;
    }
    const int gx = ctx->ledGapX;
    if (gx != 13 && gx != 14 && gx != 16) OrdaloDataFix22(ctx);
    if (NeedsPanelReorder(ctx)) data_tran19(ctx);
}

}  // namespace

RawModel ChooseModel(float screenInches, int32_t linesX, int32_t linesY, int32_t ledGapX,
                     uint32_t fastFrame) {
    const float s = screenInches;
    if (s > 30.0f && linesX == 5 && linesY == 5) return RawModel::kCompressed;
    if (s >= 30.0f && fastFrame != 0 && linesX == 15) return RawModel::kHalfLines;
    if (linesX == 5) return s < 23.0f ? RawModel::kBitPlanes : RawModel::kFiveLineKeep;
    if (linesX == 7) {
        if (ledGapX == 13) return RawModel::kPairPlanes;
        if (ledGapX == 14 || ledGapX == 16) return RawModel::kEmitterBytes;
        return RawModel::kBytes;
    }
    return RawModel::kWords;
}

size_t RequiredRawBytes(RawModel model, int32_t nX, int32_t nY, int32_t gX, int32_t gY) {
    const size_t entries = static_cast<size_t>(std::max(0, nX) + std::max(0, nY));
    switch (model) {
        case RawModel::kCompressed:
        case RawModel::kFiveLineKeep:
            return 0;
        case RawModel::kHalfLines:
        case RawModel::kEmitterBytes:
        case RawModel::kBytes:
            return entries;
        case RawModel::kBitPlanes:
            return BitPlaneBlockBytes(nY, gY) + BitPlaneBlockBytes(nX, gX);
        case RawModel::kPairPlanes:
            return PairBlockBytes(nX, gX) + PairBlockBytes(nY, gY);
        case RawModel::kWords:
            return 2 * entries;
    }
    return entries;
}

uint32_t Decompress(uint8_t* dst, uint32_t capacity, const uint8_t* src, uint32_t srcLength,
                    uint32_t* written) {
    uint64_t i = 0;
    uint32_t o = 0;
    uint32_t result = 0;
    for (;;) {
        if (i >= srcLength) {
            result = o;
            break;
        }
        if (o >= capacity || i + 4 > srcLength) break;
        const uint8_t b = src[i];
        if (b == 255 && src[i + 1] == 255) {
            result = o;
            break;
        }
        if (b < 128) {
            dst[o++] = b;
            i += 1;
            continue;
        }
        const uint32_t run = static_cast<uint32_t>(src[i + 1]) + 1;
        const uint32_t room = capacity - o;
        std::memset(dst + o, b & 127, std::min(run, room));
        o += std::min(run, room);
        i += 2;
        if (run > room) break;  // cut at the capacity: the frame did not fit
    }
    if (written != nullptr) *written = o;
    return result;
}

}  // namespace panora

using panora::Counts;
using panora::RawModel;

extern "C" {

void CycShift(uint16_t* word, uint8_t width, int8_t count) {
    if (word == nullptr || width == 0 || width > 16) return;
    uint32_t w = *word;
    if (width == 7) w &= 0x7F;
    const int c = count;
    if (c >= 0) {
        const int k = c % width;
        w = (w << (width - k)) | (w >> k);
    } else {
        const int k = (-c) % width;
        w = (w >> (width - k)) | (w << k);
    }
    *word = static_cast<uint16_t>(w & 0xFFFF);
}

uint32_t frgDecompress(uint8_t* dst, uint32_t dstCapacity, const uint8_t* src, uint32_t srcLength) {
    if (dst == nullptr || src == nullptr) return 0;
    return panora::Decompress(dst, dstCapacity, src, srcLength, nullptr);
}

void data_tran21_5(const uint8_t* raw, uint16_t* scan, int32_t nX, int32_t nY, int32_t gX,
                   int32_t gY) {
    if (raw == nullptr || scan == nullptr || nX < 0 || nY < 0) return;
    if (int64_t{nX} + nY > PANORA_MAX_ENTRIES) return;
    std::fill(scan, scan + nX + nY + 1, uint16_t{0});
    const uint8_t* next = panora::DecodeBitPlaneBlock(raw, scan, 0, nY, panora::SafeGap(gY));
    panora::DecodeBitPlaneBlock(next, scan, nY, nX, panora::SafeGap(gX));
}

void data_tranTR48(const uint8_t* raw, uint16_t* scan, int32_t nX, int32_t nY, int32_t gX,
                   int32_t gY) {
    if (raw == nullptr || scan == nullptr || nX < 0 || nY < 0) return;
    if (int64_t{nX} + nY > PANORA_MAX_ENTRIES) return;
    std::fill(scan, scan + nX + nY + 2, uint16_t{0});
    const uint8_t* next = panora::DecodePairBlock(raw, scan, nY, nX, panora::SafeGap(gX), true);
    panora::DecodePairBlock(next, scan, 0, nY, panora::SafeGap(gY), false);
}

void data_tran70_82(const uint8_t* raw, uint16_t* scan, int32_t nX, int32_t nY, int32_t gX,
                    int32_t gY) {
    if (raw == nullptr || scan == nullptr || nX < 0 || nY < 0) return;
    const int total = nX + nY;
    if (total > PANORA_MAX_TRAN70_ENTRIES) return;
    // The frame reports blocked beams as 1; the caller's buffer is only read.
    uint16_t in[PANORA_MAX_TRAN70_ENTRIES] = {};
    uint16_t out[PANORA_MAX_TRAN70_ENTRIES] = {};
    for (int e = 0; e < total; ++e) {
        in[e] = static_cast<uint8_t>(~raw[e]);
        out[e] = in[e] & 8u;
    }
    panora::EmitterToReceiver(in, out, 0, nY, panora::SafeGap(gY));
    panora::EmitterToReceiver(in, out, nY, nX, panora::SafeGap(gX));
    std::copy(out, out + total, scan);
}

void data_tran19(CoreContext* ctx) {
    if (ctx == nullptr) return;
    const Counts c = panora::ContextCounts(ctx);
    uint16_t copy[PANORA_MAX_ENTRIES];
    uint16_t out[PANORA_MAX_ENTRIES] = {};
    for (int e = 0; e < c.total; ++e) copy[e] = ctx->scan[e];
    const int nY = c.y;
    const int nX = c.total - nY;
    for (int e = nY; e < c.total; ++e) out[e] = copy[e] & 8u;
    panora::EmitterToReceiver(copy, out, nY, nX, panora::SafeGap(ctx->ledGapX));
    for (int e = nY; e < c.total; ++e) ctx->scan[e] = out[e];

    const int g = panora::SafeGap(ctx->ledGapY);
    using panora::Bit;
    for (int i = 0; i < nY; ++i) {
        const uint16_t m = copy[nY - 1 - i];
        uint16_t w = m & 8u;
        if (i < nY - 3 * g && Bit(m, 6)) w |= 1u << 0;
        if (i < nY - 2 * g && Bit(m, 5)) w |= 1u << 1;
        if (i < nY - g && Bit(m, 4)) w |= 1u << 2;
        if (i >= 3 * g && Bit(m, 0)) w |= 1u << 6;
        if (i >= 2 * g && Bit(m, 1)) w |= 1u << 5;
        if (i >= g && Bit(m, 2)) w |= 1u << 4;
        ctx->scan[i] = w;
    }
}

void data_tran120(CoreContext* ctx, const uint8_t* raw, uint32_t rawLength) {
    if (ctx == nullptr) return;
    panora::InflateInto(ctx, raw, rawLength);
    panora::SpreadCompressed(ctx);
}

void OrdaloDataFillHP(CoreContext* ctx, const uint8_t* raw, uint32_t rawLength) {
    if (ctx == nullptr) return;
    const Counts c = panora::ContextCounts(ctx);
    const int n = raw == nullptr ? 0 : std::min<int64_t>(c.total, rawLength);
    for (int e = 0; e < c.total; ++e) ctx->scan[e] = 0;
    for (int e = 0; e < n; ++e) {
        uint16_t w = 0;
        for (int j = 1; j <= 7; ++j) {
            if ((raw[e] >> (j - 1)) & 1) w |= static_cast<uint16_t>(1u << (2 * j - 1));
        }
        ctx->scan[e] = w;
    }
}

void OrdaloDataFix22(CoreContext* ctx) {
    if (ctx == nullptr) return;
    const Counts c = panora::ContextCounts(ctx);
    panora::Complement(ctx, c.total);
    const int gy = panora::SafeGap(ctx->ledGapY);
    const int gx = panora::SafeGap(ctx->ledGapX);
    for (int i = 0; i < c.y; ++i) {
        ctx->scan[i] = panora::RotateThroughCycShift(ctx->scan[i], 7, panora::ToInt8(3 - i / gy));
    }
    for (int i = 0; c.y + i < c.total; ++i) {
        ctx->scan[c.y + i] =
            panora::RotateThroughCycShift(ctx->scan[c.y + i], 7, panora::ToInt8(3 - i / gx));
    }
}

void OrdaloDataFix55(CoreContext* ctx) {
    if (ctx == nullptr) return;
    const Counts c = panora::ContextCounts(ctx);
    panora::Complement(ctx, c.total);
    panora::RotateWordsXFirst(ctx, c);
    panora::ReverseAndMirror(ctx, c.total);
}

void OrdaloDataFixHP_PC(CoreContext* ctx) {
    if (ctx == nullptr) return;
    panora::ReverseAndMirror(ctx, panora::ContextCounts(ctx).total);
}

void OrdaloDataFixHP_MCU(CoreContext* ctx) {
    if (ctx == nullptr) return;
    const Counts c = panora::ContextCounts(ctx);
    panora::RotateWordsXFirst(ctx, c);
    panora::Complement(ctx, c.total);
}

void OrdaloDataFill(CoreContext* ctx, const uint8_t* raw, uint32_t rawLength) {
    if (ctx == nullptr || ctx->ready == 0) return;
    const int nX = ctx->physLedsX;
    const int nY = ctx->physLedsY;
    ctx->ledCountX = nX;
    ctx->ledCountY = nY;
    ctx->entryCount = nX + nY;
    if (raw == nullptr) rawLength = 0;

    const RawModel model = panora::ChooseModel(ctx->screenInches, ctx->linesX, ctx->linesY,
                                               ctx->ledGapX, ctx->fastFrame);
    if (model == RawModel::kFiveLineKeep) return;
    if (rawLength < panora::RequiredRawBytes(model, nX, nY, ctx->ledGapX, ctx->ledGapY)) return;

    const int total = nX + nY;
    uint16_t words[PANORA_MAX_ENTRIES + 2];
    switch (model) {
        case RawModel::kCompressed:
            // A frame that does not fill every entry would read as a hand over the whole frame.
            if (panora::InflateInto(ctx, raw, rawLength) < static_cast<uint32_t>(total)) return;
            panora::SpreadCompressed(ctx);
            ctx->mirrorX = ctx->mirrorY = 0;
            break;
        case RawModel::kHalfLines:
            OrdaloDataFillHP(ctx, raw, rawLength);
            break;
        case RawModel::kBitPlanes:
            data_tran21_5(raw, words, nX, nY, ctx->ledGapX, ctx->ledGapY);
            for (int e = 0; e < total; ++e) ctx->scan[e] = words[e];
            break;
        case RawModel::kPairPlanes:
            data_tranTR48(raw, words, nX, nY, ctx->ledGapX, ctx->ledGapY);
            for (int e = 0; e < total; ++e) ctx->scan[e] = words[e];
            break;
        case RawModel::kEmitterBytes:
            data_tran70_82(raw, words, nX, nY, ctx->ledGapX, ctx->ledGapY);
            for (int e = 0; e < total; ++e) ctx->scan[e] = words[e];
            break;
        case RawModel::kBytes: {
            const double s = ctx->screenInches;
            if (s < 22.0) ctx->mirrorX = ctx->mirrorY = 0;
            if (std::fabs(s - 23.0) < 1e-6 || std::fabs(s - 20.0) < 1e-6) {
                ctx->mirrorY = 1;
                ctx->mirrorX = 0;
            }
            for (int e = 0; e < total; ++e) ctx->scan[e] = raw[e];
            break;
        }
        case RawModel::kWords:
            for (int e = 0; e < total; ++e) {
                ctx->scan[e] = static_cast<uint16_t>(raw[2 * e] | (raw[2 * e + 1] << 8));
            }
            break;
        case RawModel::kFiveLineKeep:
            return;
    }
    ctx->scanFresh = 1;
}

void OrdaloDataFix(CoreContext* ctx) {
    if (ctx == nullptr || ctx->ready == 0) return;
    ctx->frameCounter += 1;
    // A frame that was not decoded leaves the previous, already fixed words in place.
    if (ctx->scanFresh) {
        ctx->ledCountX = ctx->physLedsX;
        ctx->ledCountY = ctx->physLedsY;
        ctx->entryCount = ctx->physLedsX + ctx->physLedsY;
        switch (panora::ChooseModel(ctx->screenInches, ctx->linesX, ctx->linesY, ctx->ledGapX,
                                    ctx->fastFrame)) {
            case RawModel::kCompressed:
            case RawModel::kBitPlanes:
            case RawModel::kFiveLineKeep:
                break;
            case RawModel::kHalfLines:
                OrdaloDataFixHP_PC(ctx);
                break;
            case RawModel::kPairPlanes:
            case RawModel::kEmitterBytes:
            case RawModel::kBytes:
                panora::FixSevenLine(ctx);
                break;
            case RawModel::kWords:
                OrdaloDataFix55(ctx);
                break;
        }
        panora::InsertVirtualLeds(ctx, ctx->physLedsX, ctx->physLedsY, ctx->setupPadX,
                                  ctx->setupPadY);
        ctx->scanFresh = 0;
    }
    panora::RestoreCounts(ctx);
    updatebackgrounddata(ctx);
}

// ---- Background model -----------------------------------------------------------------------

void updatebackgrounddata(CoreContext* ctx) {
    if (ctx == nullptr || ctx->ready == 0) return;
    if (ctx->frameCounter < PANORA_BACKGROUND_START || ctx->eraseBackground == 0 ||
        ctx->lastFrameBlobs != 0) {
        return;
    }
    const Counts c = panora::ContextCounts(ctx);
    const int lines = panora::ClampInt(ctx->linesX, 1, PANORA_MAX_LINES);
    const int total = std::min(c.total, PANORA_MAX_BEAMS / lines);
    const int h = panora::ClampInt(ctx->historySlot, 0, PANORA_HISTORY_WINDOW - 1);
    // Until the window has filled, no stored frame is leaving it.
    const bool windowFull = ctx->historyCount >= PANORA_HISTORY_WINDOW;
    for (int e = 0; e < total; ++e) {
        const uint16_t now = ctx->scan[e];
        const uint16_t leaving = ctx->scanHistory[h][e];
        uint16_t background = ctx->background[e];
        for (int k = 0; k < lines; ++k) {
            const uint16_t m = static_cast<uint16_t>((1u << (lines - 1)) >> k);
            int32_t balance = ctx->beamBalance[e * lines + k];
            balance += (now & m) ? -1 : 1;
            if (windowFull) balance += (leaving & m) ? 1 : -1;
            ctx->beamBalance[e * lines + k] = balance;
            background = balance < 1 ? (background | m) : (background & static_cast<uint16_t>(~m));
        }
        ctx->background[e] = background;
        ctx->scanHistory[h][e] = now;
    }
    ctx->historySlot = h + 1 >= PANORA_HISTORY_WINDOW ? 0 : h + 1;
    if (ctx->historyCount < PANORA_HISTORY_WINDOW) ctx->historyCount += 1;
}

void RemoveBackground(CoreContext* ctx) {
    if (ctx == nullptr) return;
    const Counts c = panora::ContextCounts(ctx);
    const int straight = panora::ClampInt(ctx->halfLinesX, 0, 15);
    ctx->deadBeam = 0;
    for (int e = 0; e < c.total; ++e) {
        const uint16_t bg = ctx->background[e];
        ctx->scan[e] = static_cast<uint16_t>((ctx->scan[e] & bg) | ~bg);
        if (((bg >> straight) & 1u) == 0) ctx->deadBeam = 1;
    }
}

void addToBackground(CoreContext* ctx) {
    if (ctx == nullptr) return;
    const Counts c = panora::ContextCounts(ctx);
    for (int e = 0; e < c.total; ++e) {
        const uint16_t m = ctx->recordMask[e];
        ctx->scan[e] = static_cast<uint16_t>(~m | (m & ctx->scan[e]));
    }
}

void OrdaloStartRecordBackgroud(CoreContext* ctx) {
    if (ctx == nullptr) return;
    for (int e = 0; e < PANORA_MAX_ENTRIES; ++e) ctx->background[e] = 0xFFFF;
    ctx->recordingBackground = 1;
}

int32_t OrdaloStopRecordBackgroud(CoreContext* ctx, const char* path) {
    if (ctx == nullptr) return -1;
    ctx->recordingBackground = 0;
    return OrdaloSaveBackgroudData(ctx, path);
}

int32_t OrdaloSaveBackgroudData(CoreContext* ctx, const char* path) {
    if (ctx == nullptr || path == nullptr) return -1;
    const int n = panora::ClampEntries(int64_t{ctx->ledCountX} + ctx->ledCountY);
    uint8_t bytes[2 * PANORA_MAX_ENTRIES];
    for (int e = 0; e < n; ++e) {
        bytes[2 * e] = static_cast<uint8_t>(ctx->background[e] & 0xFF);
        bytes[2 * e + 1] = static_cast<uint8_t>(ctx->background[e] >> 8);
    }
    std::FILE* f = std::fopen(path, "w+b");
    if (f == nullptr) return -1;
    const size_t put = std::fwrite(bytes, 1, 2 * static_cast<size_t>(n), f);
    const int closed = std::fclose(f);
    return (put == 2 * static_cast<size_t>(n) && closed == 0) ? 0 : -1;
}

int32_t OrdaloReloadBackgroudData(CoreContext* ctx, const char* path) {
    if (ctx == nullptr || path == nullptr) return -1;
    const int n = panora::ClampEntries(int64_t{ctx->ledCountX} + ctx->ledCountY);
    std::FILE* f = std::fopen(path, "rb");
    if (f == nullptr) return -1;
    uint8_t bytes[2 * PANORA_MAX_ENTRIES];
    const size_t got = std::fread(bytes, 1, 2 * static_cast<size_t>(n), f);
    const int closed = std::fclose(f);
    const size_t words = got / 2;
    for (size_t e = 0; e < words; ++e) {
        ctx->background[e] = static_cast<uint16_t>(bytes[2 * e] | (bytes[2 * e + 1] << 8));
    }
    return (words == static_cast<size_t>(n) && closed == 0) ? 0 : -1;
}

}  // extern "C"
