// TUIO frames: the XML packet text, its well-formedness, and both routes as
// their receivers see them.
#include <gtest/gtest.h>
#include <tinyxml.h>

#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <random>
#include <string>

#include "LoDecoder.h"
#include "OutputTestSupport.h"
#include "VexoTUIO/TUIO.h"
#include "VexoTUIO/TUIOEncode.h"

using namespace VexoSource;
using outputtest::LoDecoder;
using outputtest::Peer;
using outputtest::WaitUntil;

namespace {

struct Table : outputtest::TouchTable {
    std::string Xml(int32_t seq, int32_t port = 3000, float seconds = 0.0f) const {
        return TUIO::ComposeXml(touches.data(), kVexoTouchTableSize, flags.data(), seq, port,
                                seconds);
    }
};

const char* kAlive = "<MESSAGE NAME=\"/tuio/2Dcur\"><ARGUMENT TYPE=\"s\" VALUE=\"alive\"/>";

// Parses a packet and returns the argument values of its messages, or fails.
std::vector<std::vector<std::string>> ParseMessages(const std::string& xml) {
    TiXmlDocument doc;
    doc.Parse(xml.c_str());
    std::vector<std::vector<std::string>> out;
    EXPECT_FALSE(doc.Error()) << doc.ErrorDesc() << " in " << xml;
    const TiXmlElement* root = doc.RootElement();
    if (root == nullptr) return out;
    EXPECT_STREQ(root->Value(), "OSCPACKET");
    EXPECT_EQ(root->NextSiblingElement(), nullptr) << "one packet per text";
    for (const TiXmlElement* m = root->FirstChildElement(); m; m = m->NextSiblingElement()) {
        EXPECT_STREQ(m->Value(), "MESSAGE");
        EXPECT_STREQ(m->Attribute("NAME"), "/tuio/2Dcur");
        std::vector<std::string> values;
        for (const TiXmlElement* a = m->FirstChildElement("ARGUMENT"); a;
             a = a->NextSiblingElement("ARGUMENT")) {
            values.push_back(std::string(a->Attribute("TYPE")) + ":" + a->Attribute("VALUE"));
        }
        out.push_back(values);
    }
    return out;
}

int FseqOf(const std::string& xml) {
    const auto messages = ParseMessages(xml);
    if (messages.empty() || messages.back().size() != 2) return -1;
    return std::stoi(messages.back()[1].substr(2));
}

}  // namespace

TEST(TuioXml, WorkedExampleByteForByte) {
    Table t;
    t.Put(5, 0.25f, 0.5f, 0.01f, 0.02f, 0.0001f);
    const std::string expected =
        "<OSCPACKET COMPANY=\"Ostrel\" ADDRESS=\"127.0.0.1\" PORT=\"3000\" TIME=\"12.500000\">"
        "<MESSAGE NAME=\"/tuio/2Dcur\"><ARGUMENT TYPE=\"s\" VALUE=\"set\"/>"
        "<ARGUMENT TYPE=\"i\" VALUE=\"5\"/><ARGUMENT TYPE=\"f\" VALUE=\"0.250000\"/>"
        "<ARGUMENT TYPE=\"f\" VALUE=\"0.500000\"/><ARGUMENT TYPE=\"f\" VALUE=\"0\"/>"
        "<ARGUMENT TYPE=\"f\" VALUE=\"0\"/><ARGUMENT TYPE=\"f\" VALUE=\"0.000100\"/>"
        "<ARGUMENT TYPE=\"f\" VALUE=\"0.010000\"/><ARGUMENT TYPE=\"f\" VALUE=\"0.020000\"/>"
        "</MESSAGE>"
        "<MESSAGE NAME=\"/tuio/2Dcur\"><ARGUMENT TYPE=\"s\" VALUE=\"alive\"/>"
        "<ARGUMENT TYPE=\"i\" VALUE=\"5\"/></MESSAGE><MESSAGE NAME=\"/tuio/2Dcur\">"
        "<ARGUMENT TYPE=\"s\" VALUE=\"fseq\"/><ARGUMENT TYPE=\"i\" VALUE=\"42\"/></MESSAGE>"
        "</OSCPACKET>";
    EXPECT_EQ(t.Xml(42, 3000, 12.5f), expected);
}

TEST(TuioXml, EmptyFrameHasOnlyAliveAndFseq) {
    Table t;
    const std::string expected =
        "<OSCPACKET COMPANY=\"Ostrel\" ADDRESS=\"127.0.0.1\" PORT=\"3001\" TIME=\"0.000000\">" +
        std::string(kAlive) +
        "</MESSAGE><MESSAGE NAME=\"/tuio/2Dcur\"><ARGUMENT TYPE=\"s\" VALUE=\"fseq\"/>"
        "<ARGUMENT TYPE=\"i\" VALUE=\"1\"/></MESSAGE></OSCPACKET>";
    EXPECT_EQ(t.Xml(1, 3001), expected);
    // Record content is irrelevant when the flag is clear, and count 0 sees no slot.
    t.touches[3] = VexoTouch_S{0.1f, 0.1f, 0.1f, 0.1f, 0.1f, 3};
    EXPECT_EQ(t.Xml(1, 3001), expected);
    t.flags[3] = 1;
    EXPECT_EQ(TUIO::ComposeXml(t.touches.data(), 0, t.flags.data(), 1, 3001, 0.0f), expected);
}

TEST(TuioXml, ActiveSlotsInAscendingOrderAndNegativeCoordinates) {
    Table t;
    t.Put(7, 0.7f, 0.7f);
    t.Put(2, -0.012f, 0.2f);
    t.Put(9, 0.9f, 1.0f);
    const std::string xml = t.Xml(3);
    const auto messages = ParseMessages(xml);
    ASSERT_EQ(messages.size(), 5u);
    EXPECT_EQ(messages[0][1], "i:2");
    EXPECT_EQ(messages[0][2], "f:-0.012000");
    EXPECT_EQ(messages[1][1], "i:7");
    EXPECT_EQ(messages[2][1], "i:9");
    EXPECT_EQ(messages[3], (std::vector<std::string>{"s:alive", "i:2", "i:7", "i:9"}));
    EXPECT_EQ(messages[4], (std::vector<std::string>{"s:fseq", "i:3"}));
    EXPECT_EQ(messages[0].size(), 9u) << "set, id and seven floats";
}

TEST(TuioXml, EveryPacketIsWellFormed) {
    Table t;
    for (uint32_t n = 0; n <= 32; ++n) {
        if (n > 0) t.Put((n * 37) % 240, n / 40.0f, -1.0f + n / 16.0f, 1e-7f, 3.5f, 1e6f);
        const auto messages = ParseMessages(t.Xml(static_cast<int32_t>(n), 3000, n * 1.25f));
        ASSERT_EQ(messages.size(), n + 2) << n << " touches";
        EXPECT_EQ(messages[n].size(), n + 1);
    }
    // Values a faulty upstream might produce still leave valid XML.
    Table odd;
    odd.Put(0, std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(),
            -3.4e38f, 3.4e38f);
    odd.touches[0].id = 4000000000u;
    EXPECT_EQ(ParseMessages(odd.Xml(std::numeric_limits<int32_t>::min())).size(), 3u);
}

TEST(TuioXml, NumbersReadExactlyAsPrintfWritesThem) {
    std::mt19937 rng(20261207);
    std::uniform_int_distribution<uint32_t> bits;
    Table t;
    t.Put(0, 0.0f, 0.0f);
    auto check = [&](float value) {
        t.touches[0].x = value;
        char expected[64];
        std::snprintf(expected, sizeof expected, "f:%f", static_cast<double>(value));
        const auto messages = ParseMessages(t.Xml(1));
        ASSERT_EQ(messages.size(), 3u);
        ASSERT_EQ(messages[0][2], expected) << value;
    };
    // Halfway cases at the sixth decimal and both signs of zero.
    for (float v : {0.0000005f, 0.0000015f, 0.0000025f, -0.0000005f, 0.5f, 1e-7f, -0.0f, 0.0f,
                    0.125f, 2.5e-6f, 1e30f, -3.4e38f}) {
        check(v);
    }
    for (int i = 0; i < 20000; ++i) {
        uint32_t raw = bits(rng);
        float value;
        std::memcpy(&value, &raw, sizeof value);
        if (!std::isfinite(value)) continue;
        // Most random bit patterns are tiny or huge; also cover the 0..1 range.
        check(i % 2 ? value : static_cast<float>(raw) / 4294967296.0f - 0.25f);
    }
}

// The writer behind the XML numbers, alone, against printf over far more values:
// every exact tie at the sixth decimal (odd multiples of 2^-k with k up to 26
// fall on a half millionth only for some k; all are tried), the ends of every
// range, and a million random bit patterns, nan and inf included.
TEST(TuioXml, FixedTextIsPrintfTextForAnyFloat) {
    std::vector<float> values = {0.0f, -0.0f, 1e-45f, -1e-45f, 1.17549435e-38f, 5e-7f, 4.9999997e-7f,
                                 5.0000006e-7f, 0.9999995f, 0.99999946f, 2147483520.0f,
                                 -2147483520.0f, 2147483648.0f, 3.4028235e38f, -3.4028235e38f,
                                 std::numeric_limits<float>::infinity(),
                                 -std::numeric_limits<float>::infinity(),
                                 std::numeric_limits<float>::quiet_NaN(),
                                 -std::numeric_limits<float>::quiet_NaN()};
    for (int k = 1; k <= 26; ++k) {
        for (int odd = 1; odd < 4000; odd += 2) {
            const float v = std::ldexp(static_cast<float>(odd), -k);
            values.push_back(v);
            values.push_back(-v);
            values.push_back(v + 1024.0f);
        }
    }
    std::mt19937 rng(8122026);
    for (int i = 0; i < 1000000; ++i) {
        const uint32_t raw = rng();
        float v;
        std::memcpy(&v, &raw, sizeof v);
        values.push_back(v);
    }
    for (float v : values) {
        char expected[64];
        char actual[kTUIOFixed6MaxChars];
        const int n = std::snprintf(expected, sizeof expected, "%f", static_cast<double>(v));
        const char* end = TUIOWriteFixed6(actual, v);
        const std::size_t length = static_cast<std::size_t>(end - actual);
        ASSERT_EQ(std::string(actual, length), std::string(expected, static_cast<std::size_t>(n)))
            << std::hexfloat << v;
    }
}

class TuioRoutes : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(lo.Valid());
        ASSERT_TRUE(tuio.Setup("127.0.0.1", 0, lo.Port(), 1, 1));
        ASSERT_GT(tuio.GetTcpPort(), 0);
    }

    // Sends one frame and returns the decoded bundle's messages.
    std::vector<outputtest::DecodedMessage> SendAndDecode(const Table& t) {
        lo.Clear();
        tuio.SendMsg(t.touches.data(), kVexoTouchTableSize, t.flags.data());
        EXPECT_TRUE(lo.Receive(5000));
        EXPECT_EQ(lo.bundleStarts, 1) << "one bundle per frame";
        return lo.messages;
    }

    LoDecoder lo;
    TUIO tuio;
};

TEST_F(TuioRoutes, UdpFramesDecodeWithOrderedSlotsAndAdvancingFseq) {
    Table t;
    auto first = SendAndDecode(t);
    ASSERT_EQ(first.size(), 2u) << "an empty frame has exactly alive and fseq";
    EXPECT_EQ(first[0].types, "s");
    EXPECT_EQ(first[0].args[0].s, "alive");
    EXPECT_EQ(first[1].types, "si");
    EXPECT_EQ(first[1].args[0].s, "fseq");
    EXPECT_EQ(first[1].args[1].i, 1) << "the first frame is 1";

    t.Put(7, 0.7f, 0.75f, 0.03f, 0.04f);
    t.Put(2, -0.012f, 0.25f, 0.01f, 0.02f);
    t.Put(9, 0.9f, 0.95f, 0.05f, 0.06f);
    auto second = SendAndDecode(t);
    ASSERT_EQ(second.size(), 5u);
    const int expectedIds[] = {2, 7, 9};
    for (int k = 0; k < 3; ++k) {
        const auto& set = second[k];
        EXPECT_EQ(set.path, "/tuio/2Dcur");
        ASSERT_EQ(set.types, "sifffff");
        EXPECT_EQ(set.args[0].s, "set");
        EXPECT_EQ(set.args[1].i, expectedIds[k]);
        const VexoTouch_S& touch = t.touches[expectedIds[k]];
        EXPECT_EQ(set.args[2].f, touch.x);
        EXPECT_EQ(set.args[3].f, touch.y);
        EXPECT_EQ(set.args[4].f, 0.01f);
        EXPECT_EQ(set.args[5].f, touch.width);
        EXPECT_EQ(set.args[6].f, touch.height);
    }
    EXPECT_EQ(second[3].types, "siii");
    EXPECT_EQ(second[3].args[1].i, 2);
    EXPECT_EQ(second[3].args[2].i, 7);
    EXPECT_EQ(second[3].args[3].i, 9);
    EXPECT_EQ(second[4].args[1].i, 2);

    auto third = SendAndDecode(t);
    ASSERT_EQ(third.size(), 5u);
    EXPECT_EQ(third[4].args[1].i, 3);
    EXPECT_EQ(tuio.GetFrameSeq(), 3);
}

TEST_F(TuioRoutes, AFullTableGoesOutAsOneDatagram) {
    Table t;
    for (uint32_t i = 0; i < kVexoTouchTableSize; ++i) t.Put(i, 0.5f, 0.5f);
    const auto messages = SendAndDecode(t);
    ASSERT_EQ(messages.size(), kVexoTouchTableSize + 2);
    EXPECT_EQ(messages[kVexoTouchTableSize].types, "s" + std::string(kVexoTouchTableSize, 'i'));
}

TEST_F(TuioRoutes, BothRoutesOfOneCallCarryTheSameFseq) {
    Peer peer = Peer::Connect(tuio.GetTcpPort());
    ASSERT_TRUE(peer.Valid());
    ASSERT_TRUE(WaitUntil([&] { return tuio.GetServer().GetNumClients() == 1; }));
    Table t;
    t.Put(5, 0.25f, 0.5f, 0.01f, 0.02f, 0.0001f);
    for (int call = 1; call <= 3; ++call) {
        auto osc = SendAndDecode(t);
        ASSERT_EQ(osc.size(), 3u);
        const std::string packet = peer.ReadUntilNul();
        ASSERT_FALSE(packet.empty());
        ASSERT_EQ(packet.back(), '\0') << "each packet ends with one NUL";
        const std::string xml = packet.substr(0, packet.size() - 1);
        EXPECT_EQ(xml.find('\0'), std::string::npos);
        EXPECT_EQ(xml.find("[/TCP]"), std::string::npos);
        EXPECT_EQ(FseqOf(xml), osc[2].args[1].i);
        EXPECT_EQ(FseqOf(xml), call);
        EXPECT_NE(xml.find(" PORT=\"" + std::to_string(tuio.GetTcpPort()) + "\""),
                  std::string::npos);
    }
}

TEST_F(TuioRoutes, ADepartedClientDoesNotStopTheOthers) {
    Peer leaving = Peer::Connect(tuio.GetTcpPort());
    Peer staying = Peer::Connect(tuio.GetTcpPort());
    ASSERT_TRUE(WaitUntil([&] { return tuio.GetServer().GetNumClients() == 2; }));
    leaving.Close();
    Table t;
    t.Put(1, 0.1f, 0.1f);
    // The stayer sees every frame, in order, while the leaver is found out.
    for (int call = 1; call <= 20; ++call) {
        tuio.SendMsg(t.touches.data(), kVexoTouchTableSize, t.flags.data());
        const std::string packet = staying.ReadUntilNul();
        ASSERT_FALSE(packet.empty());
        EXPECT_EQ(FseqOf(packet.substr(0, packet.size() - 1)), call);
    }
    const std::vector<int> ids = tuio.GetServer().GetClientIds();
    ASSERT_EQ(ids.size(), 2u);
    EXPECT_FALSE(tuio.GetServer().IsClientConnected(ids[0]));
    EXPECT_TRUE(tuio.GetServer().IsClientConnected(ids[1]));
}

TEST(TuioModes, DisabledRoutesStayQuietButFramesStillCount) {
    LoDecoder lo;
    ASSERT_TRUE(lo.Valid());
    TUIO tuio;
    ASSERT_TRUE(tuio.Setup("127.0.0.1", 0, lo.Port(), 0, 0));
    Peer peer = Peer::Connect(tuio.GetTcpPort());
    ASSERT_TRUE(WaitUntil([&] { return tuio.GetServer().GetNumClients() == 1; }));
    Table t;
    tuio.SendMsg(t.touches.data(), kVexoTouchTableSize, t.flags.data());
    tuio.SendMsg(t.touches.data(), kVexoTouchTableSize, t.flags.data());
    EXPECT_EQ(tuio.GetFrameSeq(), 2);
    // The server still works for a direct send, which arrives first: nothing
    // from the frames came before it.
    ASSERT_TRUE(tuio.GetServer().SendToAll("marker"));
    EXPECT_EQ(peer.ReadUntilNul(), std::string("marker\0", 7));
    EXPECT_FALSE(lo.Receive(200)) << "no datagram with the OSC route off";
}

// Each mode flag switches its own route: the enabled one carries the frame, the other stays
// quiet (a swap of the two flags fails both rows).
class TuioOneRoute : public ::testing::TestWithParam<bool> {};

TEST_P(TuioOneRoute, OnlyTheEnabledRouteCarriesFrames) {
    const bool udpOn = GetParam();
    LoDecoder lo;
    ASSERT_TRUE(lo.Valid());
    TUIO tuio;
    ASSERT_TRUE(tuio.Setup("127.0.0.1", 0, lo.Port(), udpOn ? 1 : 0, udpOn ? 0 : 1));
    Peer peer = Peer::Connect(tuio.GetTcpPort());
    ASSERT_TRUE(WaitUntil([&] { return tuio.GetServer().GetNumClients() == 1; }));
    Table t;
    t.Put(7, 0.5f, 0.5f);
    tuio.SendMsg(t.touches.data(), kVexoTouchTableSize, t.flags.data());
    ASSERT_TRUE(tuio.GetServer().SendToAll("marker"));
    const std::string first = peer.ReadUntilNul();
    if (udpOn) {
        EXPECT_EQ(first, std::string("marker\0", 7)) << "no XML packet with the TCP route off";
        EXPECT_TRUE(lo.Receive(5000));
    } else {
        ASSERT_FALSE(first.empty());
        EXPECT_EQ(FseqOf(first.substr(0, first.size() - 1)), 1);
        EXPECT_FALSE(lo.Receive(200)) << "no datagram with the OSC route off";
    }
}

INSTANTIATE_TEST_SUITE_P(Modes, TuioOneRoute, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return std::string(info.param ? "UdpOnly" : "TcpOnly");
                         });

TEST(TuioLifecycle, AFailedTcpStartLeavesTheOscRouteWorking) {
    outputtest::LogRecorder log;
    VexoTCPServer occupant;
    ASSERT_TRUE(occupant.Setup(0, false));
    LoDecoder lo;
    ASSERT_TRUE(lo.Valid());
    TUIO tuio;
    EXPECT_FALSE(tuio.Setup("127.0.0.1", occupant.GetPort(), lo.Port(), 1, 1));
    EXPECT_TRUE(log.Contains(L"Exception - Bind(port = " + std::to_wstring(occupant.GetPort()) +
                             L") failed"));
    EXPECT_FALSE(tuio.GetServer().IsConnected());
    Table t;
    t.Put(4, 0.4f, 0.4f);
    for (int call = 1; call <= 2; ++call) {
        lo.Clear();
        tuio.SendMsg(t.touches.data(), kVexoTouchTableSize, t.flags.data());
        ASSERT_TRUE(lo.Receive(5000));
        ASSERT_EQ(lo.messages.size(), 3u);
        EXPECT_EQ(lo.messages[2].args[1].i, call);
    }
}

TEST(TuioLifecycle, AnUnresolvableUdpHostIsReportedOnceNotEveryFrame) {
    TUIO tuio;
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(tuio.Setup("no-such-host.invalid", 0, 3333, 1, 0));
    Table t;
    t.Put(1, 0.1f, 0.1f);
    for (int frame = 0; frame < 5; ++frame) {
        tuio.SendMsg(t.touches.data(), kVexoTouchTableSize, t.flags.data());
    }
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "VexoOscSender::Setup: unable to resolve host no-such-host.invalid\n");
}

TEST(TuioLifecycle, DestroyingTheOutputClosesItsTcpClients) {
    LoDecoder lo;
    ASSERT_TRUE(lo.Valid());
    auto tuio = std::make_unique<TUIO>();
    ASSERT_TRUE(tuio->Setup("127.0.0.1", 0, lo.Port(), 1, 1));
    Peer peer = Peer::Connect(tuio->GetTcpPort());
    ASSERT_TRUE(peer.Valid());
    ASSERT_TRUE(WaitUntil([&] { return tuio->GetServer().GetNumClients() == 1; }));
    tuio.reset();
    EXPECT_TRUE(peer.WaitClosed());
}
