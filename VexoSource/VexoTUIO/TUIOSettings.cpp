#include "VexoTUIO/TUIOSettings.h"

#include <cctype>
#include <cstdlib>

#include "VexoLog/VexoLog.h"
#include "VexoSSet/VexoXString.h"

namespace VexoSource {

namespace {

std::string Trimmed(const std::string& text) {
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && std::isspace(static_cast<unsigned char>(text[begin]))) ++begin;
    while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1]))) --end;
    return text.substr(begin, end - begin);
}

std::string Lowered(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// Decimal digits only, so "0x10" or "1e3" are refused rather than misread.
bool ParseDecimal(const std::string& text, long max, long* value) {
    if (text.empty() || text.size() > 9) return false;
    for (char c : text) {
        if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    }
    *value = std::strtol(text.c_str(), nullptr, 10);
    return *value <= max;
}

// The text of a setting, or "" when it is missing or empty.
std::string Text(VexoConfgBase& config, const char* tag, int which = 0) {
    return Trimmed(config.GetValue(tag, VexoXString(""), which).ToAsii());
}

}  // namespace

bool TUIOParseTarget(const std::string& text, TUIOTarget* target) {
    const std::size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0) return false;
    const std::string host = text.substr(0, colon);
    for (char c : host) {
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '-') return false;
    }
    long port = 0;
    if (!ParseDecimal(text.substr(colon + 1), 65535, &port) || port < 1) return false;
    target->host = host;
    target->port = static_cast<int32_t>(port);
    return true;
}

TUIOSettings TUIOReadSettings(VexoConfgBase& config) {
    TUIOSettings settings;

    const std::string profile = Lowered(Text(config, kTUIOProfileTag));
    if (profile == "standard") {
        settings.profile = TUIOProfile::Standard;
    } else if (!profile.empty() && profile != "default") {
        VEXO_LOG_EXCEPTION(L"TUIO profile %hs is not default or standard; using default",
                           profile.c_str());
    }

    const std::string size = Text(config, kTUIODatagramSizeTag);
    if (!size.empty()) {
        long bytes = 0;
        if (ParseDecimal(size, static_cast<long>(kTUIOMaxDatagramBytes), &bytes) &&
            bytes >= static_cast<long>(kTUIOMinDatagramBytes)) {
            settings.datagramBytes = static_cast<std::size_t>(bytes);
        } else {
            VEXO_LOG_EXCEPTION(L"TUIO datagram size %hs is not a number of bytes from %i to %i; "
                               L"using %i",
                               size.c_str(), static_cast<int>(kTUIOMinDatagramBytes),
                               static_cast<int>(kTUIOMaxDatagramBytes),
                               static_cast<int>(kTUIODefaultDatagramBytes));
        }
    }

    for (int which = 0; which < kTUIOMaxUdpTargets; ++which) {
        const std::string text = Text(config, kTUIOUdpTargetTag, which);
        if (text.empty()) continue;
        TUIOTarget target;
        if (TUIOParseTarget(text, &target)) {
            settings.udpTargets.push_back(target);
        } else {
            VEXO_LOG_EXCEPTION(L"TUIO UDP target %hs is not host:port; skipped", text.c_str());
        }
    }
    if (!Text(config, kTUIOUdpTargetTag, kTUIOMaxUdpTargets).empty()) {
        VEXO_LOG_EXCEPTION(L"More than %i TUIO UDP targets; the rest are ignored",
                           kTUIOMaxUdpTargets);
    }
    return settings;
}

}  // namespace VexoSource
