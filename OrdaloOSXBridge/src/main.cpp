// OrdaloOSXBridge: feeds the service's TUIO stream through the gesture chain to the desktop.
#include <cstdlib>

#include "Bridge.h"

int main(int argc, char**) {
    return ordalo::bridge::bridgeMain(
            argc, [](const char* name) -> const char* { return std::getenv(name); }, "localhost",
            3000);
}
