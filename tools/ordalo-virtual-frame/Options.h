// Command line of ordalo-virtual-frame.
//
// Options live in one table (Options.cpp): each has a name, whether it takes a value, a help
// line and a handler that stores into VirtualFrameOptions. Adding an option is adding a field
// and a table row.
#pragma once

#include <string>
#include <vector>

#include "VirtualFrame/FirmwareEmulator.h"
#include "VirtualFrame/Scenario.h"

struct VirtualFrameOptions {
    std::string dir;
    std::string name = "frame0";
    VirtualFrame::FrameDescription frame;
    double scanRate = 120.0;
    bool help = false;
    bool idSet = false;

    // Playback: a catalogue model (empty: the emulator's own description with its fixed scan)
    // and a scenario; a scenario without a model plays on the default model.
    std::string model;
    bool scenarioSet = false;
    VirtualFrame::Scenario scenario;
    bool loop = false;
    double unplugAfterSeconds = 0;         // 0 = never
    double noise = 0;                      // beam flip probability per scan
    std::vector<VirtualFrame::Beam> dirt;  // beams that never arrive
    VirtualFrame::FaultSettings faults;
    bool listModels = false;
    bool listScenarios = false;

    std::string SocketPath() const { return dir + "/" + name + ".sock"; }
};

// Parses argv[1..]; false with `error` set on bad input ("--dir" is required unless --help).
bool ParseVirtualFrameOptions(int argc, const char* const* argv, VirtualFrameOptions& options,
                              std::string& error);
std::string VirtualFrameUsage();
