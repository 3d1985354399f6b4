// ordalo-virtual-frame: plugs in one emulated touch frame by software. Hosts find it through
// ORDALO_VIRTUAL_DIR=DIR; stopping the program (or removing its socket) unplugs it.
#include <errno.h>
#include <signal.h>
#include <sys/stat.h>
#include <time.h>

#include <chrono>
#include <cstdio>
#include <memory>

#include "Options.h"
#include "VirtualFrame/FirmwareEmulator.h"
#include "VirtualFrame/FrameModel.h"
#include "VirtualFrame/FrameSocketServer.h"
#include "VirtualFrame/ScenarioSource.h"

int main(int argc, char** argv) {
    VirtualFrameOptions options;
    std::string error;
    if (!ParseVirtualFrameOptions(argc, argv, options, error)) {
        std::fprintf(stderr, "ordalo-virtual-frame: %s\n%s", error.c_str(),
                     VirtualFrameUsage().c_str());
        return 2;
    }
    if (options.help) {
        std::fputs(VirtualFrameUsage().c_str(), stdout);
        return 0;
    }
    if (options.listModels || options.listScenarios) {
        if (options.listModels) {
            for (const auto& model : VirtualFrame::frameModels()) {
                std::printf("%s\n", model.name.c_str());
            }
        }
        if (options.listScenarios) {
            for (const auto& name : VirtualFrame::builtinScenarioNames()) {
                std::printf("%s\n", name.c_str());
            }
        }
        return 0;
    }
    if (mkdir(options.dir.c_str(), 0755) != 0 && errno != EEXIST) {
        std::perror(("ordalo-virtual-frame: cannot create " + options.dir).c_str());
        return 1;
    }

    // Signals are taken synchronously, so the serving threads never see them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    VirtualFrame::FirmwareEmulator emulator(options.frame);
    emulator.SetScanRate(options.scanRate);
    emulator.SetFaults(options.faults);
    // A model without a scenario streams an untouched screen for as long as it runs.
    std::unique_ptr<VirtualFrame::ScenarioSource> source;
    if (!options.model.empty()) {
        VirtualFrame::FramePlayer player(*VirtualFrame::findFrameModel(options.model),
                                         options.scenario, options.scanRate);
        if (options.noise > 0) player.beams().setNoise(options.noise, 1);
        for (const auto& beam : options.dirt) player.beams().addDirt(beam);
        source = std::make_unique<VirtualFrame::ScenarioSource>(
            std::move(player), options.loop || !options.scenarioSet);
        emulator.SetScanSource(source->Callback());
    }
    VirtualFrame::FrameSocketServer server(emulator, options.SocketPath());
    if (!server.Start()) {
        std::fprintf(stderr, "ordalo-virtual-frame: %s\n", server.Error().c_str());
        return 1;
    }
    std::printf("ordalo-virtual-frame: frame %s serving on %s\n",
                OrdoIdentityHex(options.frame.identity).c_str(), server.Path().c_str());
    if (source) {
        std::printf("ordalo-virtual-frame: model %s (%s), scenario %s at %.1f Hz%s\n",
                    options.model.c_str(),
                    VirtualFrame::rawFormatName(source->player().model().format),
                    options.scenarioSet ? options.scenario.name().c_str() : "(none)",
                    source->player().rateHz(), options.loop ? ", looping" : "");
    }
    std::fflush(stdout);

    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    Clock::time_point playedAt{};
    const timespec slice{0, 50 * 1000 * 1000};
    int signal = -1;
    const char* reason = "frame unplugged";
    while (!server.Finished()) {
        signal = sigtimedwait(&stopSignals, nullptr, &slice);
        if (signal > 0) break;
        const auto now = Clock::now();
        if (options.unplugAfterSeconds > 0 &&
            now - start >= std::chrono::duration<double>(options.unplugAfterSeconds)) {
            reason = "unplugged as asked";
            break;
        }
        // The last scans are still on their way to the host when the source runs out.
        if (source && options.scenarioSet && !options.loop && source->Finished()) {
            if (playedAt == Clock::time_point{}) playedAt = now;
            if (now - playedAt >= std::chrono::milliseconds(100)) {
                reason = "scenario played, frame unplugged";
                break;
            }
        }
    }
    server.Stop();
    if (signal <= 0) std::printf("ordalo-virtual-frame: %s\n", reason);
    return 0;
}
