// The TUIO plugin against a recording mapper: what a packet parses to, which frames reach the
// mapper, and the service's own XML read back.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "FakeMapper.h"
#include "OrdaloOSXPlugin.h"
#include "VexoTUIO/TUIO.h"

using ordalo::sdk::gesturelibrary::Contact;
using ordalo::sdk::gesturelibrary::ContactState;
using ordalo::sdk::gesturelibrary::FrameParser;
using plugintest::Contacts;
using plugintest::mapperCalls;

namespace {

// Packets written as the service writes them, with the eight values of a set message given
// as text so that rows can break any of them.
std::string Set(const std::vector<std::string>& values) {
    std::string text = "<MESSAGE NAME=\"/tuio/2Dcur\"><ARGUMENT TYPE=\"s\" VALUE=\"set\"/>";
    for (const std::string& v : values) text += "<ARGUMENT TYPE=\"f\" VALUE=\"" + v + "\"/>";
    return text + "</MESSAGE>";
}

std::string SetOf(const std::string& id, const std::string& x, const std::string& y) {
    return Set({id, x, y, "0", "0", "0.002", "0.01", "0.02"});
}

std::string Alive(const std::vector<int>& ids) {
    std::string text = "<MESSAGE NAME=\"/tuio/2Dcur\"><ARGUMENT TYPE=\"s\" VALUE=\"alive\"/>";
    for (int id : ids) text += "<ARGUMENT TYPE=\"i\" VALUE=\"" + std::to_string(id) + "\"/>";
    return text + "</MESSAGE>";
}

std::string Packet(const std::string& body) {
    return "<OSCPACKET COMPANY=\"Ostrel\" ADDRESS=\"127.0.0.1\" PORT=\"3000\" TIME=\"1.5\">" +
           body +
           "<MESSAGE NAME=\"/tuio/2Dcur\"><ARGUMENT TYPE=\"s\" VALUE=\"fseq\"/>"
           "<ARGUMENT TYPE=\"i\" VALUE=\"7\"/></MESSAGE></OSCPACKET>";
}

struct Expected {
    std::uint64_t id;
    float x, y;
};

struct ParseCase {
    const char* name;
    std::string packet;
    bool valid;
    std::vector<Expected> contacts;
};

class FrameParsing : public ::testing::TestWithParam<ParseCase> {};

TEST_P(FrameParsing, ContactsInSetMessageOrderOrTheWholePacketFails) {
    const ParseCase& c = GetParam();
    plugintest::setClock(1000);
    if (!c.valid) {
        try {
            FrameParser::parse<float>(c.packet);
            FAIL() << "parsed";
        } catch (const FrameParser::InvalidTuioMessageException& e) {
            EXPECT_STREQ(e.what(), "invalid TUIO message");
        }
        return;
    }
    const auto frame = FrameParser::parse<float>(c.packet);
    ASSERT_EQ(frame.size(), c.contacts.size());
    std::uint64_t previousTime = 0;
    auto expected = c.contacts.begin();
    for (const Contact<float>& contact : frame) {
        EXPECT_EQ(contact.id, expected->id);
        EXPECT_FLOAT_EQ(contact.location.x, expected->x);
        EXPECT_FLOAT_EQ(contact.location.y, expected->y);
        EXPECT_FLOAT_EQ(contact.extent.x, 0.01f);
        EXPECT_FLOAT_EQ(contact.extent.y, 0.02f);
        EXPECT_EQ(contact.origin.x, 0.0f);
        EXPECT_EQ(contact.delta.y, 0.0f);
        EXPECT_EQ(contact.state, ContactState::None);
        EXPECT_FALSE(contact.isLast);
        // A clock reading of its own for every record.
        EXPECT_GE(contact.timestamp, 1000u);
        EXPECT_GT(contact.timestamp, previousTime);
        previousTime = contact.timestamp;
        ++expected;
    }
}

const std::string kValid = SetOf("3", "0.25", "0.5");

INSTANTIATE_TEST_SUITE_P(
    Packets, FrameParsing,
    ::testing::Values(
        ParseCase{"ThreeContactsInSetMessageOrder",
                  Packet(SetOf("9", "0.9", "0.1") + SetOf("3", "0.3", "0.3") +
                         SetOf("7", "0.7", "0.7") + Alive({3, 7, 9})),
                  true,
                  {{9, 0.9f, 0.1f}, {3, 0.3f, 0.3f}, {7, 0.7f, 0.7f}}},
        ParseCase{"SetMessagesBeyondTheAliveCountAreIgnored",
                  Packet(kValid + SetOf("4", "0.1", "0.1") + Alive({3})), true, {{3, 0.25f, 0.5f}}},
        ParseCase{"AliveWithoutIdentifiersIsEmptyEvenWithSets", Packet(kValid + Alive({})), true, {}},
        ParseCase{"NoAliveMessageIsEmpty", Packet(kValid), true, {}},
        ParseCase{"NotAPacketAtAllIsEmpty", "hello", true, {}},
        ParseCase{"UnknownSetIdentifierAccepted", Packet(SetOf("42", "0.25", "0.5") + Alive({1})),
                  true, {{42, 0.25f, 0.5f}}},
        ParseCase{"NonNumericFourthToSixthValuesAccepted",
                  Packet(Set({"3", "0.25", "0.5", "x", "", "area?", "0.01", "0.02"}) + Alive({3})),
                  true, {{3, 0.25f, 0.5f}}},
        ParseCase{"SevenValuesFail",
                  Packet(Set({"3", "0.25", "0.5", "0", "0", "0.002", "0.01"}) + Alive({3})), false, {}},
        ParseCase{"FewerSetMessagesThanAliveIdentifiersFail", Packet(kValid + Alive({3, 4})),
                  false, {}},
        ParseCase{"NonNumericIdentifierFails", Packet(SetOf("three", "0.25", "0.5") + Alive({3})),
                  false, {}},
        ParseCase{"NonNumericXFails", Packet(SetOf("3", "left", "0.5") + Alive({3})), false, {}},
        ParseCase{"EmptyYFails", Packet(SetOf("3", "0.25", "") + Alive({3})), false, {}},
        ParseCase{"NonNumericHeightFails",
                  Packet(Set({"3", "0.25", "0.5", "0", "0", "0", "0.01", "tall"}) + Alive({3})), false,
                  {}},
        ParseCase{"OutOfRangeFloatFails", Packet(SetOf("3", "1e99", "0.5") + Alive({3})), false, {}},
        ParseCase{"UnterminatedValueFails",
                  Packet(Alive({3})) + "<ARGUMENT TYPE=\"s\" VALUE=\"set\"/>"
                                       "<A VALUE=\"3\"/><A VALUE=\"0.5</MESSAGE>",
                  false, {}}),
    [](const ::testing::TestParamInfo<ParseCase>& info) { return info.param.name; });

void Put(const std::string& packet) { odosxplugin_put_tuio_frame(packet.c_str()); }

std::vector<std::size_t> CallSizes() {
    std::vector<std::size_t> sizes;
    for (const Contacts& call : mapperCalls()) sizes.push_back(call.size());
    mapperCalls().clear();
    return sizes;
}

// Whatever ran before in this process, after this the plugin passed on an empty frame last.
void StartWithEmptyLast() {
    Put(Packet(kValid + Alive({3})));
    Put(Packet(Alive({})));
    mapperCalls().clear();
}

TEST(PluginEntry, RepeatedEmptyFramesReachTheMapperOnceAndRejectedPacketsNotAtAll) {
    StartWithEmptyLast();
    const std::string empty = Packet(Alive({}));
    const std::string two = Packet(SetOf("1", "0.1", "0.1") + SetOf("2", "0.2", "0.2") + Alive({1, 2}));
    const std::string broken = Packet(SetOf("1", "0.1", "0.1") + Alive({1, 2}));

    Put(empty);
    EXPECT_EQ(CallSizes(), std::vector<std::size_t>{});
    Put(two);
    Put(empty);
    Put(empty);
    EXPECT_EQ(CallSizes(), (std::vector<std::size_t>{2, 0}));

    // A rejected packet changes nothing: after two contacts, an empty frame still goes through.
    Put(two);
    EXPECT_THROW(Put(broken), FrameParser::InvalidTuioMessageException);
    Put(empty);
    EXPECT_EQ(CallSizes(), (std::vector<std::size_t>{2, 0}));
    odosxplugin_put_tuio_frame(nullptr);
    EXPECT_TRUE(mapperCalls().empty());
}

TEST(PluginEntry, TheServicesOwnXmlReadsBackToItsIdsPositionsAndSizes) {
    using VexoSource::VexoTouch_S;
    StartWithEmptyLast();
    // Ids at both ends of the service's range; slot 2 inactive, so it must not show up.
    const VexoTouch_S touches[] = {{0.0f, 1.0f, 0.01f, 0.02f, 0.0002f, 0},
                                   {0.123456f, 0.654321f, 0.03f, 0.04f, 0.0012f, 47},
                                   {0.5f, 0.5f, 0.01f, 0.01f, 0.0001f, 100},
                                   {0.999999f, 0.000001f, 0.0f, 0.0f, 0.0f, 239}};
    const uint32_t flags[] = {1, 1, 0, 1};
    Put(VexoSource::TUIO::ComposeXml(touches, 4, flags, 12, 3000, 3.25f));
    Put(VexoSource::TUIO::ComposeXml(touches, 4, nullptr, 13, 3000, 3.26f));
    ASSERT_EQ(mapperCalls().size(), 2u);
    const Contacts got = mapperCalls()[0];
    ASSERT_EQ(got.size(), 3u);
    const int sent[] = {0, 1, 3};
    for (std::size_t i = 0; i < got.size(); ++i) {
        const VexoTouch_S& t = touches[sent[i]];
        EXPECT_EQ(got[i].id, t.id);
        EXPECT_NEAR(got[i].location.x, t.x, 1e-6);
        EXPECT_NEAR(got[i].location.y, t.y, 1e-6);
        EXPECT_NEAR(got[i].extent.x, t.width, 1e-6);
        EXPECT_NEAR(got[i].extent.y, t.height, 1e-6);
    }
    // No flags means no touch is active: the frame empties.
    EXPECT_TRUE(mapperCalls()[1].empty());
    mapperCalls().clear();
}

}  // namespace
