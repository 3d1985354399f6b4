// The TUIO output's settings in the application configuration file.
//
//   INFO:TUIO:PROFILE        "default" (the layout peers of this system read) or
//                            "standard" (TUIO 1.1 velocities and /tuio/2Dblb)
//   INFO:TUIO:DATAGRAM_SIZE  largest OSC datagram of the standard profile, bytes
//   INFO:TUIO:UDP_TARGET     host:port, repeatable; each target gets every frame
//
// A value that cannot be used is logged and the default taken in its place.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "VexoXmlSettings/VexoConfig.h"

namespace VexoSource {

enum class TUIOProfile { Default, Standard };

// An Ethernet frame's payload less the IP and UDP headers: no fragmentation.
constexpr std::size_t kTUIODefaultDatagramBytes = 1472;
// The smallest datagram every IPv4 host must accept; below it a useful frame
// would not fit.
constexpr std::size_t kTUIOMinDatagramBytes = 576;
// The largest UDP payload over IPv4.
constexpr std::size_t kTUIOMaxDatagramBytes = 65507;
constexpr int kTUIOMaxUdpTargets = 16;

constexpr const char* kTUIOProfileTag = "INFO:TUIO:PROFILE";
constexpr const char* kTUIODatagramSizeTag = "INFO:TUIO:DATAGRAM_SIZE";
constexpr const char* kTUIOUdpTargetTag = "INFO:TUIO:UDP_TARGET";

struct TUIOTarget {
    std::string host;
    int32_t port = 0;
};

struct TUIOSettings {
    TUIOProfile profile = TUIOProfile::Default;
    std::size_t datagramBytes = kTUIODefaultDatagramBytes;
    // Empty: the route keeps the destination it was set up with.
    std::vector<TUIOTarget> udpTargets;
};

// "host:port" with a port of 1..65535; false for anything else.
bool TUIOParseTarget(const std::string& text, TUIOTarget* target);

TUIOSettings TUIOReadSettings(VexoConfgBase& config);

}  // namespace VexoSource
