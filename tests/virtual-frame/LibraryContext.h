// A frame-library context set up the way the service sets one up for a model.
#pragma once

#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "PanoraCore.h"
#include "VirtualFrame/FrameModel.h"
#include "VirtualFrame/LibrarySetup.h"
#include "VirtualFrame/RawEncoder.h"

namespace vftest {

struct ContextDeleter {
    void operator()(CoreContext* c) const { ::operator delete(c); }
};
using Context = std::unique_ptr<CoreContext, ContextDeleter>;

inline Context makeContext(const VirtualFrame::FrameModel& model, int padX = 0, int padY = 0) {
    Context ctx(static_cast<CoreContext*>(::operator new(sizeof(CoreContext))));
    std::memset(ctx.get(), 0, sizeof(CoreContext));
    SetupParams p = VirtualFrame::librarySetupFor(model);
    ctx->padLedsX = padX;
    ctx->padLedsY = padY;
    OrdaloScreenSetup(ctx.get(), &p);
    ctx->fastFrame = 1;
    ctx->eraseBackground = 1;
    OrdaloScreenCalibration(ctx.get(), {0, 0}, {1, 1}, {0, 0}, {1, 1});
    return ctx;
}

// The raw content as the host receives it: padded to whole 59-byte blocks.
inline void feed(CoreContext* ctx, const std::vector<uint8_t>& raw) {
    std::vector<uint8_t> packet(raw);
    packet.resize((raw.size() + 58) / 59 * 59, 0);
    OrdaloDataFill(ctx, packet.data(), static_cast<uint32_t>(packet.size()));
    OrdaloDataFix(ctx);
}

// Parameters for tests that run on every model of the catalogue.
inline std::vector<std::string> modelNames() {
    std::vector<std::string> names;
    for (const VirtualFrame::FrameModel& m : VirtualFrame::frameModels()) names.push_back(m.name);
    return names;
}

inline std::string modelTestName(const ::testing::TestParamInfo<std::string>& info) {
    std::string s;
    for (char c : info.param) s += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
    return s;
}

}  // namespace vftest
