// The bridge program: its start-up from the environment and its reading loop.
#pragma once

#include <cstdio>
#include <string>

#include "BridgeSettings.h"
#include "InetSocket.h"

namespace ordalo {
namespace bridge {

// The prefix every packet of the service starts with.
extern const std::string theTuioHeader;

// Reads messages until the first exception and hands those that start with theTuioHeader to the
// plugin. Writes one line naming the exception to err and returns 1: there is no reconnection,
// whoever started the bridge starts it again.
int runLoop(inet::tcp::Session& session, std::FILE* err);

// The whole program: settings, desktop, connection, loop. Exit status 2 for settings it refuses
// (so that a service manager does not restart it in vain), 1 for everything else that ends it.
int bridgeMain(int argc, const Environment& environment, const char* host, std::uint16_t port);

}  // namespace bridge
}  // namespace ordalo
