// The default TUIO layout is a wire format peers rely on: frames recorded from
// the output as it was first released must come out byte for byte, on the UDP
// route as sent and on the TCP route as received. Run with
// ORDALO_WRITE_GOLDEN=1 to record the file afresh (only ever from a release
// whose output is known good).
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "OutputTestSupport.h"
#include "VexoTUIO/TUIO.h"

using namespace VexoSource;
using outputtest::Peer;
using outputtest::UdpSink;
using outputtest::WaitUntil;

namespace {

const std::string kGoldenFile = std::string(ORDALO_OUTPUT_TEST_DATA) + "/tuio-default-golden.txt";

struct GoldenFrame : outputtest::TouchTable {
    std::string name;
    uint32_t count = kVexoTouchTableSize;
    float seconds = 0.0f;
};

// Fixed integer sequence: the frames must not depend on a library's distributions.
struct Lcg {
    uint64_t state;
    uint32_t Next() {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        return static_cast<uint32_t>(state >> 33);
    }
    float Unit() { return static_cast<float>(Next() % 1000000u) / 1000000.0f; }
};

std::vector<GoldenFrame> Frames() {
    std::vector<GoldenFrame> frames;
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    Lcg rng{20261208};
    auto add = [&](const char* name, float seconds) -> GoldenFrame& {
        frames.emplace_back();
        frames.back().name = name;
        frames.back().seconds = seconds;
        return frames.back();
    };
    add("empty", 0.0f);
    add("one", 12.5f).Put(5, 0.25f, 0.5f, 0.01f, 0.02f, 0.0001f);
    {
        GoldenFrame& f = add("unordered", 0.01f);
        f.Put(7, 0.7f, 0.75f, 0.03f, 0.04f, 0.0012f);
        f.Put(2, -0.012f, 0.25f, 0.01f, 0.02f, 0.0002f);
        f.Put(9, 0.9f, 1.0f, 0.05f, 0.06f, 0.003f);
    }
    for (int n : {10, 32}) {
        GoldenFrame& f = add(n == 10 ? "ten" : "thirtytwo", 3600.25f + static_cast<float>(n));
        for (int k = 0; k < n; ++k) {
            const uint32_t id = static_cast<uint32_t>((k % 5) * 48 + k / 5 * 3);
            f.Put(id, rng.Unit() * 1.1f - 0.05f, rng.Unit() * 1.1f - 0.05f,
                  0.005f + rng.Unit() * 0.05f, 0.005f + rng.Unit() * 0.05f, rng.Unit() * 0.002f);
        }
    }
    {
        GoldenFrame& f = add("extremes", 86399.99f);
        f.Put(0, nan, inf, -inf, -3.4e38f, 3.4e38f);
        f.Put(1, 1e-45f, -0.0f, 0.0000005f, 1.0f / 128.0f, -1e-7f);
        f.Put(239, 1.0f, 0.9999995f, 123456.789f, 2147483648.0f, -2147483520.0f);
        f.touches[239].id = 4000000000u;
    }
    {
        GoldenFrame& f = add("full", 1e7f);
        for (uint32_t id = 0; id < kVexoTouchTableSize; ++id) {
            f.Put(id, rng.Unit(), rng.Unit(), rng.Unit() * 0.1f, rng.Unit() * 0.1f, rng.Unit());
        }
    }
    {
        GoldenFrame& f = add("count0", 1.0f);
        f.Put(3, 0.3f, 0.3f, 0.01f, 0.01f, 0.0001f);
        f.count = 0;
    }
    return frames;
}

std::string Hex(const std::string& bytes) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out.push_back(digits[c >> 4]);
        out.push_back(digits[c & 15]);
    }
    return out;
}

// The clock at sending and the server's port are the parts a received packet
// cannot share with a recording.
std::string WithoutTimeAndPort(std::string xml) {
    for (const std::string key : {" TIME=\"", " PORT=\""}) {
        const std::size_t start = xml.find(key);
        if (start == std::string::npos) continue;
        const std::size_t end = xml.find('"', start + key.size());
        if (end == std::string::npos) continue;
        xml.erase(start + key.size(), end - start - key.size());
    }
    return xml;
}

std::map<std::string, std::string> ReadGolden() {
    std::map<std::string, std::string> golden;
    std::ifstream in(kGoldenFile);
    std::string kind, name, value;
    while (in >> kind >> name && std::getline(in, value)) golden[kind + " " + name] = value.substr(1);
    return golden;
}

class TuioGolden : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(sink.Valid());
        ASSERT_TRUE(tuio.Setup("127.0.0.1", 0, sink.Port(), 1, 1));
        peer = Peer::Connect(tuio.GetTcpPort());
        ASSERT_TRUE(peer.Valid());
        ASSERT_TRUE(WaitUntil([&] { return tuio.GetServer().GetNumClients() == 1; }));
    }
    UdpSink sink;
    TUIO tuio;
    Peer peer;
};

TEST_F(TuioGolden, DefaultLayoutMatchesTheRecordedFrames) {
    const std::vector<GoldenFrame> frames = Frames();
    std::map<std::string, std::string> actual;
    std::vector<std::string> received;
    for (std::size_t k = 0; k < frames.size(); ++k) {
        const GoldenFrame& f = frames[k];
        tuio.SendMsg(f.touches.data(), f.count, f.flags.data());
        actual["osc " + f.name] = Hex(sink.Receive());
        std::string packet = peer.ReadUntilNul();
        ASSERT_FALSE(packet.empty());
        ASSERT_EQ(packet.back(), '\0');
        packet.pop_back();
        received.push_back(packet);
        actual["xml " + f.name] =
            TUIO::ComposeXml(f.touches.data(), f.count, f.flags.data(),
                             static_cast<int32_t>(k + 1), 3000, f.seconds);
    }
    EXPECT_EQ(sink.Receive(std::chrono::milliseconds(100)), "") << "one datagram per frame";

    if (std::getenv("ORDALO_WRITE_GOLDEN") != nullptr) {
        std::ofstream out(kGoldenFile);
        for (const auto& entry : actual) out << entry.first << ' ' << entry.second << '\n';
        GTEST_SKIP() << "recorded " << kGoldenFile;
    }
    const std::map<std::string, std::string> golden = ReadGolden();
    ASSERT_EQ(golden.size(), actual.size()) << "unreadable or incomplete " << kGoldenFile;
    for (const auto& entry : golden) {
        EXPECT_EQ(actual[entry.first], entry.second) << entry.first;
    }
    for (std::size_t k = 0; k < frames.size(); ++k) {
        EXPECT_EQ(WithoutTimeAndPort(received[k]),
                  WithoutTimeAndPort(golden.at("xml " + frames[k].name)))
            << "TCP packet of " << frames[k].name;
    }
}

}  // namespace
