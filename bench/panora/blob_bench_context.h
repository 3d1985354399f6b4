// A frame-library context set up for a catalogue model as the service runs it, for the blob
// benchmarks.
#pragma once

#include <cstdlib>
#include <memory>

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

}  // namespace blobbench
