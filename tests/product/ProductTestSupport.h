// Helpers of the product tests: temporary folders, polling, and TUIO datagrams built with liblo
// (an OSC encoder independent of the monitor's decoder).
#pragma once

#include <lo/lo.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace producttest {

class TempDir {
public:
    TempDir() {
        char pattern[] = "/tmp/ordalo-product-XXXXXX";
        if (const char* made = mkdtemp(pattern)) m_path = made;
    }
    ~TempDir() {
        if (!m_path.empty() && std::system(("rm -rf '" + m_path + "'").c_str()) != 0) {
        }
    }
    const std::string& path() const { return m_path; }

private:
    std::string m_path;
};

inline bool WaitUntil(const std::function<bool()>& pred,
                      std::chrono::milliseconds timeout = std::chrono::milliseconds(30000)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (pred()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return pred();
}

// One OSC bundle of /tuio/2Dcur messages (or other addresses), serialised by liblo.
class TuioBundle {
public:
    TuioBundle() : m_bundle(lo_bundle_new(LO_TT_IMMEDIATE)) {}
    ~TuioBundle() { lo_bundle_free_recursive(m_bundle); }
    TuioBundle(const TuioBundle&) = delete;
    TuioBundle& operator=(const TuioBundle&) = delete;

    // The service's own "set": id, x, y, then three more floats.
    TuioBundle& Set(int id, float x, float y, const char* address = "/tuio/2Dcur") {
        lo_message m = Command(address, "set");
        lo_message_add_int32(m, id);
        lo_message_add_float(m, x);
        lo_message_add_float(m, y);
        for (int k = 0; k < 3; ++k) lo_message_add_float(m, 0.0f);
        return Add(m);
    }
    TuioBundle& Alive(const std::vector<int>& ids) {
        lo_message m = Command("/tuio/2Dcur", "alive");
        for (int id : ids) lo_message_add_int32(m, id);
        return Add(m);
    }
    TuioBundle& Fseq(int fseq) {
        lo_message m = Command("/tuio/2Dcur", "fseq");
        lo_message_add_int32(m, fseq);
        return Add(m);
    }
    std::vector<uint8_t> Bytes() const {
        size_t size = 0;
        void* data = lo_bundle_serialise(m_bundle, nullptr, &size);
        std::vector<uint8_t> out(static_cast<uint8_t*>(data), static_cast<uint8_t*>(data) + size);
        std::free(data);
        return out;
    }

private:
    lo_message Command(const char* address, const char* command) {
        lo_message m = lo_message_new();
        lo_message_add_string(m, command);
        m_paths.push_back(address);
        return m;
    }
    TuioBundle& Add(lo_message m) {
        lo_bundle_add_message(m_bundle, m_paths.back().c_str(), m);
        return *this;
    }

    lo_bundle m_bundle;
    // The paths stay put (a deque never moves its elements) for as long as the bundle lives,
    // whether or not liblo copies them.
    std::deque<std::string> m_paths;
};

}  // namespace producttest
