// What the frame-library targets share: a context with guard zones, the per-frame driver as the
// service's device thread runs it, and the checks every frame must pass.
//
// Frames in an input are records: [u8 repeat][u16 length, little-endian][length bytes]; the frame
// runs repeat + 1 times (the background and the tracker only show their later states after many
// frames). A length beyond the bytes left takes what is left.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "PanoraCore.h"

namespace panora_fuzz {

// A failed check names its line, so a finding says which promise broke.
inline void Check(bool ok, int line = __builtin_LINE()) {
    if (ok) return;
    std::fprintf(stderr, "check failed at panora_support.h:%d\n", line);
    std::abort();
}

constexpr size_t kGuardBytes = 256;
constexpr uint8_t kGuardByte = 0x5A;

// A context inside guard zones: a stray write right outside it shows even without a sanitizer.
// The contents start as garbage, as a caller's allocation may. One allocation serves every
// input: a fresh one of this size costs more page faults than a frame costs work.
class GuardedContext {
public:
    GuardedContext() : m_memory(Memory()) {
        std::memset(m_memory, kGuardByte, kGuardBytes);
        std::memset(m_memory + kGuardBytes, 0xA5, sizeof(CoreContext));
        std::memset(m_memory + kGuardBytes + sizeof(CoreContext), kGuardByte, kGuardBytes);
    }
    GuardedContext(const GuardedContext&) = delete;
    GuardedContext& operator=(const GuardedContext&) = delete;
    CoreContext* get() { return reinterpret_cast<CoreContext*>(m_memory + kGuardBytes); }
    void CheckGuards() const {
        for (size_t i = 0; i < kGuardBytes; ++i) {
            Check(m_memory[i] == kGuardByte);
            Check(m_memory[kGuardBytes + sizeof(CoreContext) + i] == kGuardByte);
        }
    }

private:
    static uint8_t* Memory() {
        static const std::unique_ptr<uint8_t[]> memory(
            new uint8_t[sizeof(CoreContext) + 2 * kGuardBytes]);
        return memory.get();
    }
    uint8_t* m_memory;
};

// Caller switches of one input (one control byte).
struct Switches {
    uint32_t fastFrame, eraseBackground, dropLargeBlobs, penEnabled;
    uint8_t findMode;
    bool smoothing;
};

// bit 0 fast frames off, bit 1 background erasing off, bit 2 drop large blobs, bit 3 pen,
// bits 4-5 search mode - 1, bit 6 smoothing off. 0 is how the service runs the library.
inline Switches SwitchesFrom(uint8_t control) {
    return Switches{(control & 1) ? 0u : 1u, (control & 2) ? 0u : 1u, (control >> 2) & 1u,
                    (control >> 3) & 1u, uint8_t(1 + ((control >> 4) & 3)), !(control & 0x40)};
}

inline void Apply(CoreContext* ctx, const Switches& s) {
    ctx->fastFrame = s.fastFrame;
    ctx->eraseBackground = s.eraseBackground;
    ctx->dropLargeBlobs = s.dropLargeBlobs;
    ctx->penEnabled = s.penEnabled;
    ctx->findMode = s.findMode;
    g_smi.smoothEnabled = s.smoothing ? 1 : 0;
}

inline bool Finite01(float v) { return std::isfinite(v) && v >= 0.0f && v <= 1.0f; }

// What a ready context promises after every frame: geometry and line table untouched, every
// count inside its table, the result a list of distinct live identities on the screen.
class FrameChecker {
public:
    explicit FrameChecker(const CoreContext* ctx)
        : m_ledsX(ctx->ledCountX), m_ledsY(ctx->ledCountY), m_entries(ctx->entryCount) {
        std::memcpy(m_slopes, ctx->lineSlope, sizeof m_slopes);
        Check(m_entries == m_ledsX + m_ledsY && m_entries > 0 && m_entries <= PANORA_MAX_ENTRIES);
    }

    void CheckFrame(const CoreContext* ctx) const {
        Check(ctx->ready == 1);
        Check(ctx->ledCountX == m_ledsX && ctx->ledCountY == m_ledsY);
        Check(ctx->entryCount == m_entries);
        Check(std::memcmp(m_slopes, ctx->lineSlope, sizeof m_slopes) == 0);
        Check(ctx->outBlobs == ctx->blobs);
        Check(ctx->blobCount >= 0 && ctx->blobCount <= PANORA_MAX_POLYGONS);
        Check(ctx->outBlobCount >= 0 && ctx->outBlobCount <= PANORA_MAX_IDS);
        Check(ctx->rectCount >= 0 && ctx->rectCount <= PANORA_MAX_RECTS);
        Check(ctx->transientCount >= 0 && ctx->transientCount <= PANORA_MAX_POLYGONS);
        Check(ctx->trackCount >= 0 && ctx->trackCount <= PANORA_MAX_TRACKS);
        Check(ctx->smooth.pathCount >= 0 && ctx->smooth.pathCount <= PANORA_MAX_PATHS);
        Check(ctx->smoothPtr == &ctx->smooth);
        Check(ctx->historySlot >= 0 && ctx->historySlot < PANORA_HISTORY_WINDOW);
        bool seen[PANORA_MAX_IDS] = {};
        for (int i = 0; i < ctx->outBlobCount; ++i) {
            const _MINI_POLYGON& b = ctx->outBlobs[i];
            Check(b.ptCount <= PANORA_MAX_VERTICES);
            Check(b.id >= 0 && b.id < PANORA_MAX_IDS);
            Check(!seen[b.id]);
            seen[b.id] = true;
            Check(Finite01(b.cx) && Finite01(b.cy));
            Check(std::isfinite(b.width) && std::isfinite(b.height) && std::isfinite(b.area));
        }
    }

private:
    int32_t m_ledsX, m_ledsY, m_entries;
    float m_slopes[PANORA_SLOPE_COUNT];
};

// Hands each frame record of data[0..size) to take(raw, length, repeat) until it returns false;
// each raw frame sits in an allocation of exactly its length.
template <typename Take>
void ForEachFrame(const uint8_t* data, size_t size, Take take) {
    size_t i = 0;
    while (i + 3 <= size) {
        const int repeat = data[i] + 1;
        size_t length = size_t(data[i + 1]) | size_t(data[i + 2]) << 8;
        i += 3;
        if (length > PANORA_MAX_RAW) length = PANORA_MAX_RAW;
        if (length > size - i) length = size - i;
        std::unique_ptr<uint8_t[]> raw(new uint8_t[length ? length : 1]);
        if (length) std::memcpy(raw.get(), data + i, length);
        i += length;
        if (!take(raw.get(), length, repeat)) return;
    }
}

// Runs the frame records through the context as the device thread does, at most maxRuns frames.
inline void RunFrames(GuardedContext& guarded, const uint8_t* data, size_t size, int maxRuns) {
    CoreContext* ctx = guarded.get();
    const FrameChecker checker(ctx);
    int runs = 0;
    ForEachFrame(data, size, [&](const uint8_t* raw, size_t length, int repeat) {
        for (int r = 0; r < repeat && runs < maxRuns; ++r, ++runs) {
            OrdaloDataFill(ctx, raw, uint32_t(length));
            OrdaloDataFix(ctx);
            Check(OrdaloUpdateBlobs(ctx) == 1);
            checker.CheckFrame(ctx);
        }
        guarded.CheckGuards();
        return runs < maxRuns;
    });
}

}  // namespace panora_fuzz
