// A frame-library context set up for a catalogue model as the service runs it, for the blob
// benchmarks.
#pragma once

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <vector>

#include "PanoraCore.h"
#include "VirtualFrame/FrameModel.h"
#include "VirtualFrame/LibrarySetup.h"

namespace blobbench {

struct FreeContext {
    void operator()(CoreContext* ctx) const { std::free(ctx); }
};
using ContextPtr = std::unique_ptr<CoreContext, FreeContext>;

// Null when set-up refuses the geometry. Fast frames and background erasing on; the mirror
// flags are those the model's decoder leaves, for callers that load beam words directly.
inline ContextPtr SetUpContext(const VirtualFrame::FrameModel& model) {
    ContextPtr ctx(static_cast<CoreContext*>(std::calloc(1, sizeof(CoreContext))));
    SetupParams p = VirtualFrame::librarySetupFor(model);
    // The recorded blob figures were taken with this match distance for the two-track rule.
    p.pairGate = 0.05f;
    if (OrdaloScreenSetup(ctx.get(), &p) != 1) return nullptr;
    ctx->fastFrame = 1;
    ctx->eraseBackground = 1;
    ctx->mirrorX = model.mirrorX ? 1 : 0;
    ctx->mirrorY = model.mirrorY ? 1 : 0;
    return ctx;
}

// The context for a benchmark run on a catalogue model, or null after telling the framework why
// the run is skipped.
inline ContextPtr ContextForRun(benchmark::State& state, const char* modelName,
                                const VirtualFrame::FrameModel** model) {
    *model = VirtualFrame::findFrameModel(modelName);
    if (*model == nullptr) {
        state.SkipWithError("model not in the catalogue");
        return nullptr;
    }
    ContextPtr ctx = SetUpContext(**model);
    if (!ctx) state.SkipWithError("set-up refused the geometry");
    return ctx;
}

struct Matched {
    double mm;
    size_t touch, finger;
};

// Pairs touches with fingers, nearest first, each at most once and no farther than maxMm apart;
// mm(t, f) is the distance of touch t from finger f.
template <typename Distance>
std::vector<Matched> MatchNearest(size_t touches, size_t fingers, double maxMm, Distance mm) {
    std::vector<Matched> pairs;
    for (size_t t = 0; t < touches; ++t)
        for (size_t f = 0; f < fingers; ++f) {
            const double d = mm(t, f);
            if (d <= maxMm) pairs.push_back({d, t, f});
        }
    std::sort(pairs.begin(), pairs.end(),
              [](const Matched& a, const Matched& b) { return a.mm < b.mm; });
    std::vector<bool> touchUsed(touches), fingerUsed(fingers);
    std::vector<Matched> out;
    for (const Matched& p : pairs) {
        if (touchUsed[p.touch] || fingerUsed[p.finger]) continue;
        touchUsed[p.touch] = fingerUsed[p.finger] = true;
        out.push_back(p);
    }
    return out;
}

}  // namespace blobbench
