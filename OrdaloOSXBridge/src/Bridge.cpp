#include "Bridge.h"

#include <signal.h>

#include <exception>
#include <memory>

#include "Desktops.h"
#include "OrdaloOSXPlugin.h"

namespace ordalo {
namespace bridge {

const std::string theTuioHeader = "<OSCPACKET COMPANY=\"Ostrel\"";

namespace {

constexpr int kExitStopped = 0;
constexpr int kExitFailure = 1;
constexpr unsigned long kStopCheckMs = 200;

volatile std::sig_atomic_t g_stopRequested = 0;

void requestStop(int) { g_stopRequested = 1; }

void stopOnSignals() {
    struct sigaction action {};
    action.sa_handler = requestStop;
    sigemptyset(&action.sa_mask);
    for (int signal : {SIGTERM, SIGINT, SIGHUP}) sigaction(signal, &action, nullptr);
}
constexpr int kExitSettings = 2;

struct Chosen {
    std::unique_ptr<Desktop> desktop;
    std::string summary;
};

// Installs the desktop for the life of the loop; the mapper must not keep a dangling backend.
class InstalledDesktop {
public:
    explicit InstalledDesktop(Desktop* desktop) { sdk::desktop::setDesktop(desktop); }
    ~InstalledDesktop() { sdk::desktop::setDesktop(nullptr); }
};

}  // namespace

int runLoop(inet::tcp::Session& session, std::FILE* err, const volatile std::sig_atomic_t* stop) {
    try {
        for (;;) {
            if (stop) {
                // Waiting in short steps, so that a stop request ends the bridge through its
                // destructors: the desktop releases what it holds (a drag's button).
                while (!*stop && !session.hasMessage() && !session.watchingData(kStopCheckMs)) {
                }
                if (*stop) return kExitStopped;
            }
            std::string message;
            session >> message;
            if (message.compare(0, theTuioHeader.size(), theTuioHeader) == 0)
                odosxplugin_put_tuio_frame(message.c_str());
        }
    } catch (const std::exception& e) {
        std::fprintf(err, "OrdaloOSXBridge: %s\n", e.what());
    }
    return kExitFailure;
}

int bridgeMain(int argc, const Environment& environment, const char* host, std::uint16_t port) {
    if (argc > 1) {
        std::fprintf(stderr,
                     "OrdaloOSXBridge: takes no arguments; it is set through ORDALO_DESKTOP, "
                     "ORDALO_OUTPUT and ORDALO_SCREEN\n");
        return kExitSettings;
    }
    BridgeSettings settings;
    const std::string error = loadSettings(environment, settings);
    if (!error.empty()) {
        std::fprintf(stderr, "OrdaloOSXBridge: %s\n", error.c_str());
        return kExitSettings;
    }
    if (!settings.screenSpec.empty())
        odosxmapper_set_attribute("*", "TouchScreenSpec", settings.screenSpec.c_str());

    Chosen chosen;
    if (settings.desktop == DesktopKind::XTest) {
        OpenedDesktop opened = openXTestDesktop(settings.output);
        if (!opened.desktop) {
            std::fprintf(stderr, "OrdaloOSXBridge: %s\n", opened.error.c_str());
            return opened.settingsFault ? kExitSettings : kExitFailure;
        }
        chosen = {std::move(opened.desktop), opened.summary};
    } else {
        chosen = {std::make_unique<PrintDesktop>(stdout), "print (1920x1080)"};
    }
    InstalledDesktop installed(chosen.desktop.get());

    int socket = -1;
    try {
        socket = inet::tcp::Connector::connect(host, port);
    } catch (const inet::SocketException& e) {
        std::fprintf(stderr, "OrdaloOSXBridge: %s\n", e.what());
        return kExitFailure;
    }
    inet::tcp::Session session(socket);
    std::fprintf(stderr,
                 "OrdaloOSXBridge: connected to %s:%u; desktop %s; touch surface %.2f x %.2f mm\n",
                 host, unsigned(port), chosen.summary.c_str(), settings.widthMm,
                 settings.heightMm);
    stopOnSignals();
    return runLoop(session, stderr, &g_stopRequested);
}

}  // namespace bridge
}  // namespace ordalo
