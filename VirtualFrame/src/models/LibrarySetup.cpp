#include "VirtualFrame/LibrarySetup.h"

namespace VirtualFrame {

SetupParams librarySetupFor(const FrameModel& model) {
    const FrameGeometry& g = model.geometry;
    SetupParams p{};
    p.screenInches = static_cast<float>(g.screenInches);
    p.ledsX = g.ledsX;
    p.ledsY = g.ledsY;
    p.linesX = g.linesX;
    p.linesY = g.linesY;
    p.ledGapX = g.gapX;
    p.ledGapY = g.gapY;
    p.frameWidth = 1.0f;
    p.frameHeight = 1.0f;
    p.pairGate = model.firmware.maxBlobDistance;
    p.minBlobSize = model.firmware.minBlobSize;
    p.maxBlobSize = model.firmware.maxBlobSize;
    p.maxBlobs = model.firmware.maxBlobs;
    p.reserved = 1;
    return p;
}

}  // namespace VirtualFrame
