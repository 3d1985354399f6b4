// The frame library's set-up record for a catalogue model, filled the way the service fills it
// from the firmware's answers (frame size 1 x 1, blob settings from the effects record).
// Callers set padLedsX/padLedsY on their context before OrdaloScreenSetup; the virtual frame's
// raw scans are for physical LEDs only, whatever the padding.
#pragma once

#include "PanoraCore.h"
#include "VirtualFrame/FrameModel.h"

namespace VirtualFrame {

SetupParams librarySetupFor(const FrameModel& model);

}  // namespace VirtualFrame
