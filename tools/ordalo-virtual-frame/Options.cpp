#include "Options.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>

#include "VirtualFrame/BeamModel.h"
#include "VirtualFrame/FrameModel.h"
#include "VirtualFrame/FramePlayer.h"

namespace {

struct OptionSpec {
    const char* name;
    const char* valueName;  // null: a flag without value
    const char* help;
    // Stores the value; returns an error text, empty on success.
    std::function<std::string(const std::string& value, VirtualFrameOptions& o)> apply;
};

bool ParseNumber(const std::string& v, double low, double high, double& out) {
    char* end = nullptr;
    const double value = std::strtod(v.c_str(), &end);
    if (v.empty() || *end || !(value >= low && value <= high)) return false;
    out = value;
    return true;
}

// A model brings its whole frame description; an identity given with --id stays.
void UseModel(const VirtualFrame::FrameModel& model, VirtualFrameOptions& o) {
    uint8_t identity[8];
    std::memcpy(identity, o.frame.identity, sizeof identity);
    o.frame = model.firmware;
    if (o.idSet) std::memcpy(o.frame.identity, identity, sizeof identity);
    o.model = model.name;
}

using Apply = std::function<std::string(const std::string& value, VirtualFrameOptions& o)>;

Apply AnswerFaultOption(const char* name, VirtualFrame::AnswerFault fault) {
    return [name, fault](const std::string& v, VirtualFrameOptions& o) {
        char* end = nullptr;
        const unsigned long id = std::strtoul(v.c_str(), &end, 0);
        if (v.empty() || *end || id > 255) {
            return std::string(name) +
                   " needs a packet identifier (0..255, decimal or 0x hex), got '" + v + "'";
        }
        o.faults.answerFaults[static_cast<uint8_t>(id)] = fault;
        return std::string();
    };
}

Apply CountOption(const char* name, uint32_t VirtualFrame::FaultSettings::*field) {
    return [name, field](const std::string& v, VirtualFrameOptions& o) {
        double n = 0;
        if (!ParseNumber(v, 1, 4294967295.0, n) || n != static_cast<uint32_t>(n)) {
            return std::string(name) + " needs a whole number from 1, got '" + v + "'";
        }
        o.faults.*field = static_cast<uint32_t>(n);
        return std::string();
    };
}

const std::vector<OptionSpec>& Table() {
    static const std::vector<OptionSpec> table = {
        {"--dir", "DIR", "folder of the frame's socket (created if missing); required",
         [](const std::string& v, VirtualFrameOptions& o) {
             if (v.empty()) return std::string("--dir needs a folder");
             o.dir = v;
             return std::string();
         }},
        {"--name", "NAME", "socket name without .sock (default frame0)",
         [](const std::string& v, VirtualFrameOptions& o) {
             if (v.empty() || v.find('/') != std::string::npos) {
                 return std::string("--name must be a plain file name");
             }
             o.name = v;
             return std::string();
         }},
        {"--id", "HEX16", "frame identity as 16 hex digits",
         [](const std::string& v, VirtualFrameOptions& o) {
             if (!OrdoParseIdentityHex(v, o.frame.identity)) {
                 return "--id needs 16 hex digits, got '" + v + "'";
             }
             o.idSet = true;
             return std::string();
         }},
        {"--rate", "HZ", "raw scans per second in software mode (default 120)",
         [](const std::string& v, VirtualFrameOptions& o) {
             // The player times its scans by the same rate; it holds no slower one.
             if (!ParseNumber(v, VirtualFrame::FramePlayer::kMinRateHz, 2000.0, o.scanRate)) {
                 return "--rate needs a number of scans per second from 0.1 to 2000, got '" + v +
                        "'";
             }
             return std::string();
         }},
        {"--model", "NAME", "frame model of the catalogue (see --list-models)",
         [](const std::string& v, VirtualFrameOptions& o) {
             const VirtualFrame::FrameModel* model = VirtualFrame::findFrameModel(v);
             if (!model) return "unknown model '" + v + "' (see --list-models)";
             UseModel(*model, o);
             return std::string();
         }},
        {"--scenario", "NAME|FILE",
         "play a built-in scenario (see --list-scenarios) or a scenario file, then unplug",
         [](const std::string& v, VirtualFrameOptions& o) {
             try {
                 o.scenario = VirtualFrame::loadScenario(v);
             } catch (const VirtualFrame::ScenarioError& e) {
                 return "--scenario " + v + ": " + e.what();
             }
             o.scenarioSet = true;
             return std::string();
         }},
        {"--loop", nullptr, "play the scenario over and over instead of unplugging at its end",
         [](const std::string&, VirtualFrameOptions& o) {
             o.loop = true;
             return std::string();
         }},
        {"--unplug-after", "SECONDS", "unplug this long after start, whatever is playing",
         [](const std::string& v, VirtualFrameOptions& o) {
             if (!ParseNumber(v, 0.001, 1e6, o.unplugAfterSeconds)) {
                 return "--unplug-after needs a number of seconds, got '" + v + "'";
             }
             return std::string();
         }},
        {"--noise", "P", "flip every beam of every scan with probability P (0..1)",
         [](const std::string& v, VirtualFrameOptions& o) {
             if (!ParseNumber(v, 0.0, 1.0, o.noise)) {
                 return "--noise needs a probability from 0 to 1, got '" + v + "'";
             }
             return std::string();
         }},
        {"--dirt", "AXIS:LED:LINE",
         "a beam that never arrives, e.g. x:20:0 (straight beam of X LED 20) or y:5:-1; "
         "repeatable",
         [](const std::string& v, VirtualFrameOptions& o) {
             VirtualFrame::Beam beam;
             char axis = 0;
             int used = 0;
             if (std::sscanf(v.c_str(), "%c:%d:%d%n", &axis, &beam.led, &beam.line, &used) != 3 ||
                 used != static_cast<int>(v.size()) || (axis != 'x' && axis != 'y')) {
                 return "--dirt needs x|y:LED:LINE, got '" + v + "'";
             }
             beam.axis = axis == 'x' ? VirtualFrame::Axis::X : VirtualFrame::Axis::Y;
             o.dirt.push_back(beam);
             return std::string();
         }},
        {"--no-answer", "ID", "fault: take requests with this identifier but never answer",
         AnswerFaultOption("--no-answer", VirtualFrame::AnswerFault::NoAnswer)},
        {"--wrong-type", "ID", "fault: answer this identifier with the wrong packet type",
         AnswerFaultOption("--wrong-type", VirtualFrame::AnswerFault::WrongType)},
        {"--short-answer", "ID", "fault: answer this identifier with half its record",
         AnswerFaultOption("--short-answer", VirtualFrame::AnswerFault::Short)},
        {"--bad-checksum-every", "N", "fault: every Nth packet carries a wrong checksum",
         CountOption("--bad-checksum-every", &VirtualFrame::FaultSettings::badChecksumEvery)},
        {"--drop-block-every", "N", "fault: every Nth multi-block packet loses block 1",
         CountOption("--drop-block-every", &VirtualFrame::FaultSettings::dropBlockEvery)},
        {"--reorder-blocks-every", "N",
         "fault: every Nth multi-block packet swaps its last two blocks",
         CountOption("--reorder-blocks-every", &VirtualFrame::FaultSettings::reorderBlocksEvery)},
        {"--idle-every", "MS", "fault: send an idle notice this often",
         CountOption("--idle-every", &VirtualFrame::FaultSettings::idleNoticeMs)},
        {"--unplug-after-reports", "N", "fault: unplug after this many input reports",
         [](const std::string& v, VirtualFrameOptions& o) {
             double n = 0;
             if (!ParseNumber(v, 1, 1e15, n) || n != static_cast<uint64_t>(n)) {
                 return "--unplug-after-reports needs a whole number, got '" + v + "'";
             }
             o.faults.unplugAfterReports = static_cast<uint64_t>(n);
             return std::string();
         }},
        {"--reboot-every", "MS", "fault: the firmware restarts this often",
         CountOption("--reboot-every", &VirtualFrame::FaultSettings::rebootEveryMs)},
        {"--watchdog-timeout", "MS", "fault: an enabled watchdog not fed this long reboots",
         CountOption("--watchdog-timeout", &VirtualFrame::FaultSettings::watchdogTimeoutMs)},
        {"--unconfigured", nullptr, "fault: report LCD size 0 (an unconfigured frame)",
         [](const std::string&, VirtualFrameOptions& o) {
             o.faults.unconfigured = true;
             return std::string();
         }},
        {"--list-models", nullptr, "print the catalogue's model names, one per line",
         [](const std::string&, VirtualFrameOptions& o) {
             o.listModels = true;
             return std::string();
         }},
        {"--list-scenarios", nullptr, "print the built-in scenario names, one per line",
         [](const std::string&, VirtualFrameOptions& o) {
             o.listScenarios = true;
             return std::string();
         }},
        {"--help", nullptr, "print this help",
         [](const std::string&, VirtualFrameOptions& o) {
             o.help = true;
             return std::string();
         }},
    };
    return table;
}

}  // namespace

bool ParseVirtualFrameOptions(int argc, const char* const* argv, VirtualFrameOptions& options,
                              std::string& error) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i], value;
        bool inlineValue = false;
        const size_t eq = arg.find('=');
        if (arg.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = arg.substr(eq + 1);
            arg = arg.substr(0, eq);
            inlineValue = true;
        }
        const OptionSpec* option = nullptr;
        for (const auto& s : Table()) {
            if (arg == s.name) option = &s;
        }
        if (!option) {
            error = "unknown option '" + arg + "'";
            return false;
        }
        if (option->valueName && !inlineValue) {
            if (i + 1 >= argc) {
                error = arg + " needs a value (" + option->valueName + ")";
                return false;
            }
            value = argv[++i];
        } else if (!option->valueName && inlineValue) {
            error = arg + " takes no value";
            return false;
        }
        error = option->apply(value, options);
        if (!error.empty()) return false;
    }
    // Beam settings only exist on a simulated frame: without a model they would be ignored.
    const bool beamsAsked = options.scenarioSet || !options.dirt.empty() || options.noise > 0;
    if (beamsAsked && options.model.empty()) {
        UseModel(VirtualFrame::defaultFrameModel(), options);
    }
    if (!options.dirt.empty()) {
        const VirtualFrame::BeamModel beams(*VirtualFrame::findFrameModel(options.model));
        for (const VirtualFrame::Beam& b : options.dirt) {
            if (!beams.exists(b)) {
                error = "--dirt " + std::string(b.axis == VirtualFrame::Axis::X ? "x" : "y") + ":" +
                        std::to_string(b.led) + ":" + std::to_string(b.line) + ": model " +
                        options.model + " has no such beam";
                return false;
            }
        }
    }
    const bool listing = options.listModels || options.listScenarios;
    if (!options.help && !listing && options.dir.empty()) {
        error = "--dir is required";
        return false;
    }
    return true;
}

std::string VirtualFrameUsage() {
    std::string s =
        "usage: ordalo-virtual-frame --dir DIR [options]\n"
        "Serves one emulated touch frame on DIR/NAME.sock until SIGTERM or SIGINT,\n"
        "or until the socket file is removed.\n"
        "With --model, --scenario, --noise or --dirt it is a simulated frame of the catalogue\n"
        "(the default model is 19in-72x58-7line): fingers of the scenario block its beams, and\n"
        "its raw scans stream once the host switches it to software mode; at the scenario's end\n"
        "it unplugs unless --loop. Without any of these it answers with a generic 32-inch\n"
        "description.\n"
        "Scenario files hold lines 'time_ms finger x y [diameter_mm]' or 'time_ms finger up'\n"
        "(x, y from 0 to 1, y down; '#' comments).\n\noptions:\n";
    const size_t column = 26;
    for (const auto& o : Table()) {
        std::string left =
            std::string("  ") + o.name + (o.valueName ? std::string(" ") + o.valueName : "");
        if (left.size() >= column) left += "\n";
        const size_t width = left.size() - left.rfind('\n', left.size() - 1) - 1;
        left += std::string(column > width ? column - width : 1, ' ');
        s += left + o.help + "\n";
    }
    return s;
}
