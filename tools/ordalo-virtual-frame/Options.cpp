#include "Options.h"

#include <cstdlib>
#include <functional>

namespace {

struct OptionSpec {
    const char* name;
    const char* valueName;  // null: a flag without value
    const char* help;
    // Stores the value; returns an error text, empty on success.
    std::function<std::string(const std::string& value, VirtualFrameOptions& o)> apply;
};

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
             return std::string();
         }},
        {"--rate", "HZ", "raw scans per second in software mode (default 100)",
         [](const std::string& v, VirtualFrameOptions& o) {
             char* end = nullptr;
             double hz = std::strtod(v.c_str(), &end);
             if (v.empty() || *end || !(hz > 0) || hz > 2000) {
                 return "--rate needs a number of scans per second in (0, 2000], got '" + v + "'";
             }
             o.scanRate = hz;
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
        const OptionSpec* spec = nullptr;
        for (const auto& s : Table()) {
            if (arg == s.name) spec = &s;
        }
        if (!spec) {
            error = "unknown option '" + arg + "'";
            return false;
        }
        if (spec->valueName && !inlineValue) {
            if (i + 1 >= argc) {
                error = arg + " needs a value (" + spec->valueName + ")";
                return false;
            }
            value = argv[++i];
        } else if (!spec->valueName && inlineValue) {
            error = arg + " takes no value";
            return false;
        }
        error = spec->apply(value, options);
        if (!error.empty()) return false;
    }
    if (!options.help && options.dir.empty()) {
        error = "--dir is required";
        return false;
    }
    return true;
}

std::string VirtualFrameUsage() {
    std::string s =
        "usage: ordalo-virtual-frame --dir DIR [options]\n"
        "Serves one emulated touch frame on DIR/NAME.sock until SIGTERM or SIGINT,\n"
        "or until the socket file is removed.\n\noptions:\n";
    for (const auto& o : Table()) {
        std::string left =
            std::string("  ") + o.name + (o.valueName ? std::string(" ") + o.valueName : "");
        if (left.size() < 18) left.resize(18, ' ');
        s += left + " " + o.help + "\n";
    }
    return s;
}
