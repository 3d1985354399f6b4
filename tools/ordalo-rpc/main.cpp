// ordalo-rpc: a client of the service's "OstrelRPC" procedure, for checking the RPC by hand
// and for driving it from tests.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "VexoLog/VexoLog.h"
#include "VexoNetwork/VexoRPC.h"

using namespace VexoSource;

namespace {

constexpr const char* kProcedure = "OstrelRPC";

void Usage(FILE* out) {
    std::fprintf(out,
                 "usage: ordalo-rpc [--host H] [--port P] COMMAND\n"
                 "  list [CAPACITY]                    identities of the attached frames\n"
                 "  multi-access ID                    1 when requests reach frame ID\n"
                 "  config-changed ID                  tells frame ID to redo its bring-up\n"
                 "  send ID PACKET_ID REPLY_LEN [HEX]  forwards a request, prints the reply\n"
                 "Host defaults to 127.0.0.1, port to 28875. Prints \"length N\" and the reply\n"
                 "as hex; exits 0 on a reply, 1 when none came, 2 on bad arguments.\n");
}

bool ParseU32(const char* text, u32& value) {
    char* end = nullptr;
    const unsigned long long v = std::strtoull(text, &end, 0);
    if (!*text || *end || v > 0xFFFFFFFFull || text[0] == '-') return false;
    value = u32(v);
    return true;
}

bool ParseHex(const std::string& text, std::vector<u8>& out) {
    if (text.size() % 2) return false;
    for (std::size_t i = 0; i < text.size(); i += 2) {
        char pair[3] = {text[i], text[i + 1], 0};
        char* end = nullptr;
        const long v = std::strtol(pair, &end, 16);
        if (*end) return false;
        out.push_back(u8(v));
    }
    return true;
}

void PutLe32(std::vector<u8>& body, u32 v) {
    for (int i = 0; i < 4; ++i) body.push_back(u8(v >> (8 * i)));
}

}  // namespace

int main(int argc, char** argv) {
    std::string host = "127.0.0.1";
    u32 port = 28875;
    int i = 1;
    for (; i + 1 < argc && std::strncmp(argv[i], "--", 2) == 0; i += 2) {
        if (std::strcmp(argv[i], "--host") == 0) {
            host = argv[i + 1];
        } else if (std::strcmp(argv[i], "--port") != 0 || !ParseU32(argv[i + 1], port) ||
                   port > 65535) {
            Usage(stderr);
            return 2;
        }
    }
    if (i < argc && std::strcmp(argv[i], "--help") == 0) {
        Usage(stdout);
        return 0;
    }
    if (i >= argc) {
        Usage(stderr);
        return 2;
    }
    const std::string command = argv[i++];
    const int rest = argc - i;
    u32 code = 0, target = 0, expected = 0;
    std::vector<u8> payload;
    bool ok = false;
    if (command == "list" && rest <= 1) {
        code = 1;
        expected = VexoRPC::kMaxBodyBytes;
        ok = rest == 0 || ParseU32(argv[i], expected);
    } else if ((command == "multi-access" || command == "config-changed") && rest == 1) {
        code = command == "multi-access" ? 5 : 6;
        expected = 1;
        ok = ParseU32(argv[i], target);
    } else if (command == "send" && (rest == 3 || rest == 4)) {
        ok = ParseU32(argv[i], target) && ParseU32(argv[i + 1], code) &&
             ParseU32(argv[i + 2], expected) && (rest == 3 || ParseHex(argv[i + 3], payload));
    }
    if (!ok) {
        Usage(stderr);
        return 2;
    }
    std::vector<u8> body;
    PutLe32(body, code);
    PutLe32(body, target);
    PutLe32(body, expected);
    body.insert(body.end(), payload.begin(), payload.end());

    // Failures of the connection are worth seeing; the framework's chatter is not.
    // (whatever ORDALO_LOG_LEVEL asks of the service's logger).
    VexoLogInit(VexoELogLevel::Exception, VEXO_LOG_NO_TIMESTAMP, L"ordalo-rpc: ");
    VexoLogSetSink([](const std::wstring& line) {
        if (line.find(kVexoLogPrefixException) != std::wstring::npos)
            std::fprintf(stderr, "%ls", line.c_str());
    });
    VexoRPC rpc;
    if (!rpc.CreateClient(host, int(port))) {
        std::fprintf(stderr, "ordalo-rpc: cannot connect to %s:%u\n", host.c_str(), port);
        return 1;
    }
    std::vector<u8> answer(VexoRPC::kMaxBodyBytes);
    const i32 n = rpc.Call(kProcedure, body.data(), i32(body.size()), answer.data(),
                           i32(answer.size()));
    if (n < 0) {
        std::fprintf(stderr, "ordalo-rpc: no reply\n");
        return 1;
    }
    std::printf("length %d\n", n);
    if (code == 1) {
        // Identities, each followed by a colon, then a NUL.
        std::string text(reinterpret_cast<const char*>(answer.data()),
                         ::strnlen(reinterpret_cast<const char*>(answer.data()), std::size_t(n)));
        std::size_t start = 0;
        for (std::size_t colon; (colon = text.find(':', start)) != std::string::npos;
             start = colon + 1)
            std::printf("device %s\n", text.substr(start, colon - start).c_str());
    } else if (code == 5 && n > 0) {
        std::printf("multi-access %u\n", unsigned(answer[0]));
    }
    std::printf("hex ");
    for (i32 k = 0; k < n; ++k) std::printf("%02x", answer[std::size_t(k)]);
    std::printf("\n");
    return 0;
}
