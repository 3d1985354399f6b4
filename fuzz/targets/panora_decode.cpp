// Raw scans of every frame model through the decoders alone (OrdaloDataFill + OrdaloDataFix),
// many thousands of frames a second where the whole pipeline manages a few.
// Two modes, by bit 0 of byte 2:
// - raw: frame records of any bytes and length (panora_support.h; each decoded once, its repeat
//   count unused), with virtual LEDs; the decoders write only the context's entries of the
//   scan, restore its geometry and read only the frame's bytes;
// - round trip: the rest of the input is beam words (two bytes each, little-endian); the
//   virtual frame's encoder, the independent inverse of the decoders, packs them as the model's
//   firmware does, and decoding gives back every bit the packing carries.
//
// Input: byte 0 the model (catalogue index, modulo its size), byte 1 the switches, byte 2 the
// mode and (raw mode) virtual LEDs per side in bits 2-3 (X) and 4-5 (Y).
#include <cstddef>
#include <cstdint>
#include <vector>

#include "VirtualFrame/FrameModel.h"
#include "VirtualFrame/LibrarySetup.h"
#include "VirtualFrame/RawEncoder.h"
#include "panora_support.h"

using namespace panora_fuzz;

namespace {

constexpr int kMaxFrames = 64;
constexpr uint16_t kBeyond = 0xB0B0;  // scan words past the entries

void Decode(CoreContext* ctx, const uint8_t* raw, size_t length) {
    const int entries = ctx->entryCount;
    const int ledsX = ctx->ledCountX, ledsY = ctx->ledCountY;
    for (int e = entries; e < PANORA_MAX_ENTRIES; ++e) ctx->scan[e] = kBeyond;
    OrdaloDataFill(ctx, raw, uint32_t(length));
    OrdaloDataFix(ctx);
    Check(ctx->entryCount == entries && ctx->ledCountX == ledsX && ctx->ledCountY == ledsY);
    for (int e = entries; e < PANORA_MAX_ENTRIES; ++e) Check(ctx->scan[e] == kBeyond);
}

void RawFrames(GuardedContext& guarded, const uint8_t* data, size_t size) {
    int frames = 0;
    ForEachFrame(data, size, [&](const uint8_t* raw, size_t length, int) {
        Decode(guarded.get(), raw, length);
        guarded.CheckGuards();
        return ++frames < kMaxFrames;
    });
}

void RoundTrip(CoreContext* ctx, const VirtualFrame::FrameModel& model, const uint8_t* data,
               size_t size) {
    const int entries = ctx->entryCount;
    std::vector<uint16_t> words(size_t(entries), 0);
    for (size_t e = 0; e < words.size() && 2 * e + 1 < size; ++e)
        words[e] = uint16_t(data[2 * e] | data[2 * e + 1] << 8);
    const std::vector<uint8_t> packed = VirtualFrame::encodeScan(model, words);
    if (packed.empty()) return;
    std::unique_ptr<uint8_t[]> raw(new uint8_t[packed.size()]);
    std::memcpy(raw.get(), packed.data(), packed.size());
    Decode(ctx, raw.get(), packed.size());
    for (int e = 0; e < entries; ++e) {
        const uint16_t carried = VirtualFrame::carriedBits(model, e);
        Check((ctx->scan[e] & carried) == (words[size_t(e)] & carried));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) return 0;
    const auto& models = VirtualFrame::frameModels();
    const VirtualFrame::FrameModel& model = models[data[0] % models.size()];
    const bool roundTrip = data[2] & 1;

    GuardedContext guarded;
    CoreContext* ctx = guarded.get();
    // The encoder packs physical LEDs only, and fast frames are how the host runs every model.
    ctx->padLedsX = roundTrip ? 0 : (data[2] >> 2) & 3;
    ctx->padLedsY = roundTrip ? 0 : (data[2] >> 4) & 3;
    SetupParams p = VirtualFrame::librarySetupFor(model);
    Check(OrdaloScreenSetup(ctx, &p) == 1);
    Apply(ctx, SwitchesFrom(roundTrip ? uint8_t(data[1] & ~1u) : data[1]));
    if (roundTrip) {
        RoundTrip(ctx, model, data + 3, size - 3);
    } else {
        RawFrames(guarded, data + 3, size - 3);
    }
    guarded.CheckGuards();
    return 0;
}
