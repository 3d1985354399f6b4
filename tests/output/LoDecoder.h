// Decodes OSC with liblo, an implementation independent of the encoder under
// test, and records what it dispatched.
#pragma once

#include <lo/lo.h>

#include <cstring>
#include <string>
#include <vector>

namespace outputtest {

struct DecodedArg {
    char type;
    int i;
    float f;
    std::string s;
};

struct DecodedMessage {
    std::string path;
    std::string types;
    std::vector<DecodedArg> args;
};

class LoDecoder {
public:
    // Opens a UDP server on `port`, by default a free one, for datagram tests.
    explicit LoDecoder(const char* port = nullptr) {
        m_server = lo_server_new_with_proto(port, LO_UDP, &LoDecoder::OnError);
        if (m_server == nullptr) return;
        lo_server_add_method(m_server, nullptr, nullptr, &LoDecoder::OnMessage, this);
        lo_server_add_bundle_handlers(m_server, &LoDecoder::OnBundleStart, &LoDecoder::OnBundleEnd,
                                      this);
    }
    ~LoDecoder() {
        if (m_server) lo_server_free(m_server);
    }
    LoDecoder(const LoDecoder&) = delete;
    LoDecoder& operator=(const LoDecoder&) = delete;

    bool Valid() const { return m_server != nullptr; }
    int Port() const { return lo_server_get_port(m_server); }

    // Decodes encoded bytes as if they had arrived; false when liblo rejects them.
    bool Dispatch(const char* data, std::size_t size) {
        return lo_server_dispatch_data(m_server, const_cast<char*>(data), size) > 0;
    }
    // Waits up to `ms` for one datagram; false when none came.
    bool Receive(int ms) { return lo_server_recv_noblock(m_server, ms) > 0; }

    void Clear() {
        messages.clear();
        bundleStarts = 0;
        bundleEnds = 0;
        timeTags.clear();
    }

    std::vector<DecodedMessage> messages;
    int bundleStarts = 0;
    int bundleEnds = 0;
    std::vector<lo_timetag> timeTags;

private:
    static void OnError(int, const char*, const char*) {}

    static int OnMessage(const char* path, const char* types, lo_arg** argv, int argc, lo_message,
                         void* self) {
        DecodedMessage m;
        m.path = path;
        m.types = types;
        for (int i = 0; i < argc; ++i) {
            DecodedArg a{types[i], 0, 0.0f, {}};
            // liblo's argument pointers are only 4-byte aligned; read the bytes
            // rather than through its 8-byte-aligned union.
            const char* raw = reinterpret_cast<const char*>(argv[i]);
            if (types[i] == 'i') std::memcpy(&a.i, raw, sizeof a.i);
            if (types[i] == 'f') std::memcpy(&a.f, raw, sizeof a.f);
            if (types[i] == 's') a.s = raw;
            m.args.push_back(a);
        }
        static_cast<LoDecoder*>(self)->messages.push_back(m);
        return 0;
    }
    static int OnBundleStart(lo_timetag tag, void* self) {
        static_cast<LoDecoder*>(self)->bundleStarts++;
        static_cast<LoDecoder*>(self)->timeTags.push_back(tag);
        return 0;
    }
    static int OnBundleEnd(void* self) {
        static_cast<LoDecoder*>(self)->bundleEnds++;
        return 0;
    }

    lo_server m_server = nullptr;
};

}  // namespace outputtest
