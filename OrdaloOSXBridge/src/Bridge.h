// The bridge program: its start-up from the environment and its reading loop.
#pragma once

#include <csignal>
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
// whoever started the bridge starts it again. With stop given, it also returns, with 0, within
// 200 ms of *stop becoming non-zero (set by a signal handler).
int runLoop(inet::tcp::Session& session, std::FILE* err,
            const volatile std::sig_atomic_t* stop = nullptr);

// The whole program: settings, desktop, connection, loop. Exit status 2 for settings it refuses
// (so that a service manager does not restart it in vain), 0 when SIGTERM, SIGINT or SIGHUP
// stopped it, 1 for everything else that ends it.
int bridgeMain(int argc, const Environment& environment, const char* host, std::uint16_t port);

}  // namespace bridge
}  // namespace ordalo
