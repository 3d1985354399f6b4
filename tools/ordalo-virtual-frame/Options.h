// Command line of ordalo-virtual-frame.
//
// Options live in one table (Options.cpp): each has a name, whether it takes a value, a help
// line and a handler that stores into VirtualFrameOptions. Adding an option is adding a field
// and a table row.
#pragma once

#include <string>
#include <vector>

#include "VirtualFrame/FirmwareEmulator.h"

struct VirtualFrameOptions {
    std::string dir;
    std::string name = "frame0";
    VirtualFrame::FrameDescription frame;
    double scanRate = 100.0;
    bool help = false;

    std::string SocketPath() const { return dir + "/" + name + ".sock"; }
};

// Parses argv[1..]; false with `error` set on bad input ("--dir" is required unless --help).
bool ParseVirtualFrameOptions(int argc, const char* const* argv, VirtualFrameOptions& options,
                              std::string& error);
std::string VirtualFrameUsage();
