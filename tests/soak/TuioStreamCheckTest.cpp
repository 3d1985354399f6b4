// The soak checker's verdicts: what the service sends passes, every kind of damage is named.
// Good inputs are written from docs/wire-formats.md (XML by hand, OSC by liblo), not by the
// service's encoder.
#include <gtest/gtest.h>
#include <lo/lo.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "TuioStreamCheck.h"

namespace {

struct T {
    int id;
    float x, y;
};

std::string Arg(const char* type, const std::string& value) {
    return std::string("<ARGUMENT TYPE=\"") + type + "\" VALUE=\"" + value + "\"/>";
}

std::string XmlSet(const T& t) {
    return "<MESSAGE NAME=\"/tuio/2Dcur\">" + Arg("s", "set") + Arg("i", std::to_string(t.id)) +
           Arg("f", std::to_string(t.x)) + Arg("f", std::to_string(t.y)) + Arg("f", "0") +
           Arg("f", "0") + Arg("f", "0.000100") + Arg("f", "0.010000") + Arg("f", "0.012000") +
           "</MESSAGE>";
}

std::string XmlAlive(const std::vector<int>& ids) {
    std::string s = "<MESSAGE NAME=\"/tuio/2Dcur\">" + Arg("s", "alive");
    for (int id : ids) s += Arg("i", std::to_string(id));
    return s + "</MESSAGE>";
}

std::string XmlFseq(int n) {
    return "<MESSAGE NAME=\"/tuio/2Dcur\">" + Arg("s", "fseq") + Arg("i", std::to_string(n)) +
           "</MESSAGE>";
}

std::string Packet(const std::string& messages) {
    return "<OSCPACKET COMPANY=\"Ostrel\" ADDRESS=\"127.0.0.1\" PORT=\"3000\" TIME=\"12.345678\">" +
           messages + "</OSCPACKET>";
}

const T kA{0, 0.25f, 0.5f}, kB{49, 0.75f, 1.0f};
const std::string kTwo = XmlSet(kA) + XmlSet(kB) + XmlAlive({0, 49}) + XmlFseq(17);

struct XmlCase {
    const char* name;
    std::string packet;
    const char* fault;  // a part of the expected verdict; empty: well-formed
};

class XmlVerdict : public testing::TestWithParam<XmlCase> {};

TEST_P(XmlVerdict, NamesTheFault) {
    soak::FrameSummary frame;
    const std::string verdict = soak::CheckXmlFrame(GetParam().packet, frame);
    if (*GetParam().fault == '\0') {
        EXPECT_EQ(verdict, "");
    } else {
        EXPECT_NE(verdict.find(GetParam().fault), std::string::npos) << verdict;
    }
}

std::string Replace(std::string s, const std::string& from, const std::string& to) {
    return s.replace(s.find(from), from.size(), to);
}

INSTANTIATE_TEST_SUITE_P(
        Packets, XmlVerdict,
        testing::Values(
                XmlCase{"two_touches", Packet(kTwo), ""},
                XmlCase{"no_touch", Packet(XmlAlive({}) + XmlFseq(3)), ""},
                XmlCase{"cut_short", Packet(kTwo).substr(0, 300), "does not end"},
                XmlCase{"foreign_header", Replace(Packet(kTwo), "Ostrel", "Other"), "begin"},
                XmlCase{"line_break", Replace(Packet(kTwo), "><MESSAGE", ">\n<MESSAGE"), "ASCII"},
                XmlCase{"unclosed", Packet(Replace(kTwo, "</MESSAGE>", "")), "not XML"},
                XmlCase{"alive_without_set", Packet(XmlSet(kA) + XmlAlive({0, 49}) + XmlFseq(1)),
                        "exactly the set ids"},
                XmlCase{"set_after_alive",
                        Packet(XmlAlive({}) + XmlSet(kA) + XmlFseq(1)), "set after alive"},
                XmlCase{"no_fseq", Packet(XmlSet(kA) + XmlAlive({0})), "no fseq"},
                XmlCase{"off_screen", Packet(XmlSet({1, 1.5f, 0.5f}) + XmlAlive({1}) + XmlFseq(1)),
                        "position"},
                XmlCase{"id_past_five_slots",
                        Packet(XmlSet({240, 0.5f, 0.5f}) + XmlAlive({240}) + XmlFseq(1)), "id 240"},
                XmlCase{"not_a_number", Packet(Replace(kTwo, "0.012000", "x1")), "has value"},
                XmlCase{"value_missing",
                        Packet(Replace(kTwo, Arg("f", "0.012000") + "</MESSAGE>", "</MESSAGE>")),
                        "set with types"},
                // Well-formed XML the plugin's token search does not find.
                XmlCase{"plugin_cannot_read", Packet(Replace(kTwo, "\"set\"/>", "\"set\" />")),
                        "plugin rejects"}),
        [](const testing::TestParamInfo<XmlCase>& info) { return std::string(info.param.name); });

// One bundle as the wire formats describe it, encoded by liblo.
std::vector<uint8_t> Bundle(const std::vector<T>& sets, const std::vector<int>& alive, int fseq,
                            lo_timetag when = LO_TT_IMMEDIATE, bool aliveFirst = false) {
    lo_bundle bundle = lo_bundle_new(when);
    const auto add = [&](lo_message m) { lo_bundle_add_message(bundle, "/tuio/2Dcur", m); };
    lo_message aliveMessage = lo_message_new();
    lo_message_add_string(aliveMessage, "alive");
    for (int id : alive) lo_message_add_int32(aliveMessage, id);
    if (aliveFirst) add(aliveMessage);
    for (const T& t : sets) {
        lo_message m = lo_message_new();
        lo_message_add(m, "sifffff", "set", t.id, t.x, t.y, 0.01f, 0.02f, 0.03f);
        add(m);
    }
    if (!aliveFirst) add(aliveMessage);
    lo_message fseqMessage = lo_message_new();
    lo_message_add(fseqMessage, "si", "fseq", fseq);
    add(fseqMessage);
    std::size_t size = 0;
    void* bytes = lo_bundle_serialise(bundle, nullptr, &size);
    std::vector<uint8_t> out(static_cast<uint8_t*>(bytes), static_cast<uint8_t*>(bytes) + size);
    std::free(bytes);
    lo_bundle_free_recursive(bundle);
    return out;
}

struct OscCase {
    const char* name;
    std::vector<uint8_t> datagram;
    const char* fault;
};

class OscVerdict : public testing::TestWithParam<OscCase> {};

TEST_P(OscVerdict, NamesTheFault) {
    soak::FrameSummary frame;
    const auto& d = GetParam().datagram;
    const std::string verdict = soak::CheckOscFrame(d.data(), d.size(), frame);
    if (*GetParam().fault == '\0') {
        EXPECT_EQ(verdict, "");
    } else {
        EXPECT_NE(verdict.find(GetParam().fault), std::string::npos) << verdict;
    }
}

std::vector<uint8_t> Edited(std::vector<uint8_t> d, std::size_t at, uint8_t value) {
    d.at(at) = value;
    return d;
}

std::vector<uint8_t> Cut(std::vector<uint8_t> d, std::size_t drop) {
    d.resize(d.size() - drop);
    return d;
}

const std::vector<uint8_t> kGood = Bundle({kA, kB}, {0, 49}, 17);
// The first element's address starts at byte 20: "/tuio/2Dcur" -> "/tuio/2Dour"
const std::size_t kFirstAddressLetter = 20 + 8;
// Its type tags follow the 12-byte address: ",sifffff" -> ",siffffi"
const std::size_t kFirstLastTag = 20 + 12 + 7;

INSTANTIATE_TEST_SUITE_P(
        Datagrams, OscVerdict,
        testing::Values(OscCase{"two_touches", kGood, ""},
                        OscCase{"no_touch", Bundle({}, {}, 5), ""},
                        OscCase{"cut_short", Cut(kGood, 8), "bad size"},
                        OscCase{"late_time_tag", Bundle({kA}, {0}, 1, {1, 0}), "time tag"},
                        OscCase{"bare_message", std::vector<uint8_t>(kGood.begin() + 20, kGood.end()),
                                "not an OSC bundle"},
                        OscCase{"other_address", Edited(kGood, kFirstAddressLetter, 'o'),
                                "address"},
                        OscCase{"set_tags", Edited(kGood, kFirstLastTag, 'i'), "set with types"},
                        OscCase{"alive_first", Bundle({kA}, {}, 1, LO_TT_IMMEDIATE, true),
                                "set after alive"},
                        OscCase{"alive_twice", Bundle({kA}, {0, 0}, 1), "twice"},
                        OscCase{"ghost_in_alive", Bundle({kA}, {0, 7}, 1), "exactly the set ids"}),
        [](const testing::TestParamInfo<OscCase>& info) { return std::string(info.param.name); });

TEST(StreamTally, FrameNumbersOnlyGoForward) {
    soak::StreamTally tally;
    soak::FrameSummary frame;
    const auto take = [&](int fseq, std::vector<int32_t> ids = {}) {
        frame.fseq = fseq;
        frame.ids = std::move(ids);
        return tally.Take("", frame);
    };
    const int kMin = -2147483647 - 1;
    EXPECT_EQ(take(2147483646, {1, 2}), "");
    EXPECT_EQ(take(kMin), "");  // wrapped, one skipped
    EXPECT_EQ(take(kMin), "frame number -2147483648 repeated");
    EXPECT_EQ(take(kMin + 2), "");
    EXPECT_NE(take(kMin + 1).find("went back"), std::string::npos);
    EXPECT_EQ(take(kMin + 4), "");  // counted from the frame that went back
    EXPECT_EQ(tally.Take("broken", frame), "broken");
    EXPECT_EQ(tally.frames, 4u);
    EXPECT_EQ(tally.malformed, 3u);
    EXPECT_EQ(tally.missed, 4u);
    EXPECT_EQ(tally.touches, 2u);
    EXPECT_EQ(tally.busy, 1u);
}

TEST(NulSplitter, CutsAtEveryNulAcrossReads) {
    soak::NulSplitter splitter;
    std::vector<std::string> packets;
    const auto keep = [&](const std::string& p) { packets.push_back(p); };
    splitter.Feed("ab\0c", 4, keep);
    splitter.Feed("d\0\0e", 4, keep);
    EXPECT_EQ(packets, (std::vector<std::string>{"ab", "cd", ""}));
    EXPECT_EQ(splitter.Pending(), 1u);
    const std::string huge(soak::NulSplitter::kMaxPacket + 1, 'x');
    splitter.Feed(huge.data(), huge.size(), keep);
    EXPECT_EQ(packets.size(), 4u);
    EXPECT_EQ(splitter.Pending(), 0u);
}

}  // namespace
