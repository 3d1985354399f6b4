// The standard TUIO 1.1 profile as an independent OSC reader (liblo) sees it:
// velocities and acceleration of moving cursors, /tuio/2Dblb sizes, frames
// split at the datagram size; several UDP targets; the settings that choose
// all this in System.xml.
#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "LoDecoder.h"
#include "OutputTestSupport.h"
#include "VexoTUIO/TUIO.h"
#include "VexoXmlSettings/VexoConfig.h"

using namespace VexoSource;
using outputtest::DecodedMessage;
using outputtest::LoDecoder;
using outputtest::LogRecorder;
using outputtest::UdpSink;

namespace {

using Table = outputtest::TouchTable;

// One received datagram, decoded on its own.
struct Part {
    std::size_t bytes = 0;
    int bundles = 0;
    std::vector<DecodedMessage> messages;
};

class StandardOutput {
public:
    explicit StandardOutput(std::size_t datagramBytes = kTUIODefaultDatagramBytes) {
        EXPECT_TRUE(sink.Valid());
        EXPECT_TRUE(tuio.Setup("127.0.0.1", 0, sink.Port(), 1, 0));
        TUIOSettings settings;
        settings.profile = TUIOProfile::Standard;
        settings.datagramBytes = datagramBytes;
        tuio.Configure(settings);
    }
    // Sends one frame and returns every datagram it made, decoded.
    std::vector<Part> Send(const Table& t, double seconds) {
        tuio.SendMsg(t.touches.data(), kVexoTouchTableSize, t.flags.data(), seconds);
        std::vector<Part> parts;
        for (std::size_t i = 0; i < tuio.GetDatagramCount(); ++i) {
            const std::string d = sink.Receive();
            EXPECT_FALSE(d.empty()) << "datagram " << i << " did not arrive";
            LoDecoder lo;
            EXPECT_TRUE(lo.Dispatch(d.data(), d.size()));
            parts.push_back(Part{d.size(), lo.bundleStarts, lo.messages});
        }
        EXPECT_EQ(sink.Receive(std::chrono::milliseconds(20)), "") << "no datagram beyond the frame";
        return parts;
    }
    UdpSink sink;
    TUIO tuio;
};

// The set message of `id` under `address`, from any part.
const DecodedMessage* FindSet(const std::vector<Part>& parts, const std::string& address, int id) {
    for (const Part& p : parts) {
        for (const DecodedMessage& m : p.messages) {
            if (m.path == address && m.args[0].s == "set" && m.args[1].i == id) return &m;
        }
    }
    return nullptr;
}

// ---- Velocities and acceleration ---------------------------------------------------------

struct Sample {
    double t;
    float x;
    float y;
};

struct MotionRow {
    const char* name;
    std::vector<Sample> samples;  // one TUIO frame each
    float vx, vy, accel;          // expected in the last frame
};

std::vector<Sample> Sampled(int frames, double periodS, const std::function<Sample(double)>& at) {
    std::vector<Sample> out;
    for (int k = 0; k < frames; ++k) out.push_back(at(100.0 + k * periodS));
    return out;
}

std::vector<MotionRow> MotionRows() {
    const double t0 = 100.0;
    std::vector<MotionRow> rows;
    // Half a screen width per second to the right, a quarter up.
    const auto steady = [t0](double t) {
        return Sample{t, static_cast<float>(0.2 + 0.5 * (t - t0)),
                      static_cast<float>(0.6 - 0.25 * (t - t0))};
    };
    rows.push_back({"FirstFrameIsAtRest", Sampled(1, 0.01, steady), 0.0f, 0.0f, 0.0f});
    rows.push_back({"SteadyMotion", Sampled(6, 0.01, steady), 0.5f, -0.25f, 0.0f});
    // x = 0.1 + t^2: 2 units/s^2; over the last 10 ms (t 0.04 to 0.05) the mean
    // speed is 0.09 units/s.
    rows.push_back({"UniformAcceleration", Sampled(6, 0.01,
                                                   [t0](double t) {
                                                       const double s = t - t0;
                                                       return Sample{t, static_cast<float>(0.1 + s * s),
                                                                     0.5f};
                                                   }),
                    0.09f, 0.0f, 2.0f});
    // A frame scanning at 50 Hz: every position shows in two TUIO frames; the
    // repeat keeps the speed.
    std::vector<Sample> slow = Sampled(7, 0.01, [t0, steady](double t) {
        const double scan = t0 + std::floor((t - t0) / 0.02 + 1e-9) * 0.02;
        Sample s = steady(scan);
        s.t = t;
        return s;
    });
    rows.push_back({"RepeatedPositionsWithinTheHold", slow, 0.5f, -0.25f, 0.0f});
    // Moves, then rests longer than the hold: at rest, no acceleration left.
    std::vector<Sample> halt = Sampled(4, 0.01, steady);
    for (int k = 1; k <= 10; ++k) halt.push_back(Sample{halt[3].t + 0.01 * k, halt[3].x, halt[3].y});
    rows.push_back({"HaltedPastTheHold", halt, 0.0f, 0.0f, 0.0f});
    return rows;
}

void PrintTo(const MotionRow& row, std::ostream* os) { *os << row.name; }

class TuioStandardMotion : public ::testing::TestWithParam<MotionRow> {};

TEST_P(TuioStandardMotion, CursorAndBlobCarryVelocityAndAcceleration) {
    const MotionRow& row = GetParam();
    StandardOutput out;
    std::vector<Part> parts;
    Table t;
    for (const Sample& s : row.samples) {
        t.Put(53, s.x, s.y, 0.03f, 0.04f, 0.0011f);
        parts = out.Send(t, s.t);
    }
    ASSERT_EQ(parts.size(), 2u) << "one cursor and one blob bundle";
    const DecodedMessage* cur = FindSet(parts, "/tuio/2Dcur", 53);
    const DecodedMessage* blb = FindSet(parts, "/tuio/2Dblb", 53);
    ASSERT_NE(cur, nullptr);
    ASSERT_NE(blb, nullptr);
    ASSERT_EQ(cur->types, "sifffff");  // set s x y X Y m
    ASSERT_EQ(blb->types, "sifffffffffff");  // set s x y a w h f X Y A m r
    const Sample& last = row.samples.back();
    EXPECT_EQ(cur->args[2].f, last.x);
    EXPECT_EQ(cur->args[3].f, last.y);
    const float tolerance = 2e-3f;
    EXPECT_NEAR(cur->args[4].f, row.vx, tolerance);
    EXPECT_NEAR(cur->args[5].f, row.vy, tolerance);
    EXPECT_NEAR(cur->args[6].f, row.accel, 0.05f);
    EXPECT_EQ(blb->args[2].f, last.x);
    EXPECT_EQ(blb->args[4].f, 0.0f) << "angle";
    EXPECT_EQ(blb->args[5].f, 0.03f) << "width";
    EXPECT_EQ(blb->args[6].f, 0.04f) << "height";
    EXPECT_EQ(blb->args[7].f, 0.0011f) << "area";
    EXPECT_EQ(blb->args[8].f, cur->args[4].f);
    EXPECT_EQ(blb->args[9].f, cur->args[5].f);
    EXPECT_EQ(blb->args[10].f, 0.0f) << "rotation speed";
    EXPECT_EQ(blb->args[11].f, cur->args[6].f);
    EXPECT_EQ(blb->args[12].f, 0.0f) << "rotation acceleration";
}

INSTANTIATE_TEST_SUITE_P(Rows, TuioStandardMotion, ::testing::ValuesIn(MotionRows()),
                         [](const ::testing::TestParamInfo<MotionRow>& info) {
                             return std::string(info.param.name);
                         });

TEST(TuioStandard, ATouchThatReturnsStartsAtRest) {
    StandardOutput out;
    Table t;
    t.Put(7, 0.1f, 0.1f);
    out.Send(t, 1.0);
    t.Put(7, 0.2f, 0.1f);
    const std::vector<Part> moving = out.Send(t, 1.01);
    ASSERT_NE(FindSet(moving, "/tuio/2Dcur", 7), nullptr);
    EXPECT_NEAR(FindSet(moving, "/tuio/2Dcur", 7)->args[4].f, 10.0f, 0.01f);
    t.flags[7] = 0;
    out.Send(t, 1.02);
    t.Put(7, 0.9f, 0.9f);
    const std::vector<Part> returned = out.Send(t, 1.03);
    const DecodedMessage* back = FindSet(returned, "/tuio/2Dcur", 7);
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(back->args[4].f, 0.0f) << "a new touch under an old id has no speed yet";
    EXPECT_EQ(back->args[6].f, 0.0f);
}

// ---- Splitting at the datagram size -------------------------------------------------------

struct SplitRow {
    const char* name;
    int touches;
    std::size_t datagramBytes;
    bool overLimit;  // the alive list alone fills a datagram
};

void PrintTo(const SplitRow& row, std::ostream* os) { *os << row.name; }

class TuioStandardSplit : public ::testing::TestWithParam<SplitRow> {};

TEST_P(TuioStandardSplit, EveryPartHasAliveAndFseqAndTheSetsArriveOnce) {
    const SplitRow& row = GetParam();
    StandardOutput out(row.datagramBytes);
    Table t;
    std::vector<int> ids;
    for (int k = 0; k < row.touches; ++k) {
        const uint32_t id = static_cast<uint32_t>((k * 37) % 240);
        t.Put(id, k / 256.0f, 1.0f - k / 256.0f);
    }
    for (uint32_t i = 0; i < kVexoTouchTableSize; ++i) {
        if (t.flags[i]) ids.push_back(static_cast<int>(i));
    }
    out.Send(t, 5.0);
    const std::vector<Part> parts = out.Send(t, 5.01);
    for (const char* address : {"/tuio/2Dcur", "/tuio/2Dblb"}) {
        const std::size_t setBytes = std::string(address) == "/tuio/2Dcur" ? 56 : 84;
        std::vector<int> sets;
        int partsOfProfile = 0;
        for (const Part& p : parts) {
            ASSERT_FALSE(p.messages.empty());
            if (p.messages.front().path != address) continue;
            ++partsOfProfile;
            EXPECT_EQ(p.bundles, 1);
            if (row.overLimit) {
                EXPECT_EQ(p.messages.size(), 3u) << "one set per part";
            } else {
                EXPECT_LE(p.bytes, row.datagramBytes);
            }
            const DecodedMessage& alive = p.messages.front();
            ASSERT_EQ(alive.args[0].s, "alive");
            std::vector<int> living;
            for (std::size_t a = 1; a < alive.args.size(); ++a) living.push_back(alive.args[a].i);
            EXPECT_EQ(living, ids) << "each part lists every living touch";
            const DecodedMessage& fseq = p.messages.back();
            ASSERT_EQ(fseq.types, "si");
            EXPECT_EQ(fseq.args[0].s, "fseq");
            EXPECT_EQ(fseq.args[1].i, 2) << "all parts carry the frame's number";
            for (std::size_t m = 1; m + 1 < p.messages.size(); ++m) {
                EXPECT_EQ(p.messages[m].path, address);
                EXPECT_EQ(p.messages[m].args[0].s, "set");
                sets.push_back(p.messages[m].args[1].i);
            }
            // A part is only cut where the next set would not have fitted.
            if (!row.overLimit && sets.size() < ids.size()) {
                EXPECT_GT(p.bytes + setBytes, row.datagramBytes);
            }
        }
        EXPECT_EQ(sets, ids) << address << ": every touch once, in ascending order";
        if (row.touches <= 3) {
            EXPECT_EQ(partsOfProfile, 1);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, TuioStandardSplit,
                         ::testing::Values(SplitRow{"Empty", 0, 1472, false},
                                           SplitRow{"Three", 3, 1472, false},
                                           SplitRow{"ThirtyTwo", 32, 1472, false},
                                           SplitRow{"ThirtyTwoSmall", 32, 576, false},
                                           SplitRow{"AllAtTheLargestSize", 240, 65507, false},
                                           SplitRow{"AllAtTheSmallestSize", 240, 576, true}),
                         [](const ::testing::TestParamInfo<SplitRow>& info) {
                             return std::string(info.param.name);
                         });

// ---- Several UDP targets --------------------------------------------------------------------

TEST(TuioTargets, EveryTargetGetsEveryFrameOnce) {
    LogRecorder log;
    UdpSink first, second, dropped;
    TUIO tuio;
    ASSERT_TRUE(tuio.Setup("127.0.0.1", 0, dropped.Port(), 1, 0));
    TUIOSettings settings;
    settings.udpTargets = {{"127.0.0.1", first.Port()},
                           {"localhost", second.Port()},
                           {"127.0.0.1", first.Port()},
                           {"no-such-host.invalid", 3333}};
    EXPECT_EQ(tuio.Configure(settings), 2u);
    EXPECT_TRUE(log.Contains(L"Exception - TUIO UDP target no-such-host.invalid:3333 could not be "
                             L"set up; skipped"));
    Table t;
    t.Put(4, 0.4f, 0.4f);
    for (int frame = 1; frame <= 3; ++frame) {
        tuio.SendMsg(t.touches.data(), kVexoTouchTableSize, t.flags.data());
        for (UdpSink* sink : {&first, &second}) {
            const std::string d = sink->Receive();
            LoDecoder lo;
            ASSERT_TRUE(lo.Dispatch(d.data(), d.size()));
            ASSERT_EQ(lo.messages.size(), 3u);
            EXPECT_EQ(lo.messages[2].args[1].i, frame);
        }
    }
    for (UdpSink* sink : {&first, &second, &dropped}) {
        EXPECT_EQ(sink->Receive(std::chrono::milliseconds(50)), "")
            << "nothing twice, nothing to the replaced target";
    }
}

// ---- Settings in System.xml ---------------------------------------------------------------

struct SettingsRow {
    const char* name;
    const char* tuioXml;  // content of INFO:TUIO
    TUIOProfile profile;
    std::size_t datagramBytes;
    std::vector<std::string> targets;  // host:port
    const wchar_t* logged;             // one expected Exception line, or nullptr
};

void PrintTo(const SettingsRow& row, std::ostream* os) { *os << row.name; }

class TuioSettingsFile : public ::testing::TestWithParam<SettingsRow> {};

TEST_P(TuioSettingsFile, ReadsWhatIsUsableAndLogsTheRest) {
    const SettingsRow& row = GetParam();
    char path[] = "/tmp/tuio-settings-XXXXXX";
    const int fd = ::mkstemp(path);
    ASSERT_GE(fd, 0);
    ::close(fd);
    std::ofstream(path) << "<INFO><TUIO>" << row.tuioXml << "</TUIO></INFO>";
    LogRecorder log;
    TUIOSettings settings;
    {
        VexoConfigOnXML config(path);
        settings = TUIOReadSettings(config);
    }
    ::unlink(path);
    EXPECT_EQ(settings.profile, row.profile);
    EXPECT_EQ(settings.datagramBytes, row.datagramBytes);
    std::vector<std::string> targets;
    for (const TUIOTarget& t : settings.udpTargets) {
        targets.push_back(t.host + ":" + std::to_string(t.port));
    }
    EXPECT_EQ(targets, row.targets);
    if (row.logged) {
        EXPECT_TRUE(log.Contains(std::wstring(L"Exception - ") + row.logged));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, TuioSettingsFile,
    ::testing::Values(
        SettingsRow{"Nothing", "", TUIOProfile::Default, 1472, {}, nullptr},
        SettingsRow{"Standard",
                    "<PROFILE> Standard </PROFILE><DATAGRAM_SIZE>576</DATAGRAM_SIZE>"
                    "<UDP_TARGET>127.0.0.1:3333</UDP_TARGET><UDP_TARGET>tuio-box:3334</UDP_TARGET>",
                    TUIOProfile::Standard, 576, {"127.0.0.1:3333", "tuio-box:3334"}, nullptr},
        SettingsRow{"UnknownProfile", "<PROFILE>tuio2</PROFILE>", TUIOProfile::Default, 1472, {},
                    L"TUIO profile tuio2 is not default or standard; using default"},
        SettingsRow{"SizeBelowTheMinimum", "<DATAGRAM_SIZE>575</DATAGRAM_SIZE>",
                    TUIOProfile::Default, 1472, {},
                    L"TUIO datagram size 575 is not a number of bytes from 576 to 65507; using "
                    L"1472"},
        SettingsRow{"LargestSize", "<DATAGRAM_SIZE>65507</DATAGRAM_SIZE>", TUIOProfile::Default,
                    65507, {}, nullptr},
        SettingsRow{"SizeAboveTheMaximum", "<DATAGRAM_SIZE>65508</DATAGRAM_SIZE>",
                    TUIOProfile::Default, 1472, {}, L"TUIO datagram size 65508 is not a number of "
                                                    L"bytes from 576 to 65507; using 1472"},
        SettingsRow{"SizeNotDecimal", "<DATAGRAM_SIZE>0x600</DATAGRAM_SIZE>",
                    TUIOProfile::Default, 1472, {}, L"TUIO datagram size 0x600 is not a number "
                                                    L"of bytes from 576 to 65507; using 1472"},
        SettingsRow{"MalformedTargetsAreSkipped",
                    "<UDP_TARGET>host-without-port</UDP_TARGET><UDP_TARGET>:3333</UDP_TARGET>"
                    "<UDP_TARGET>h:0</UDP_TARGET><UDP_TARGET>h:65536</UDP_TARGET>"
                    "<UDP_TARGET>a b:1</UDP_TARGET><UDP_TARGET>10.0.0.2:65535</UDP_TARGET>",
                    TUIOProfile::Default, 1472, {"10.0.0.2:65535"},
                    L"TUIO UDP target h:65536 is not host:port; skipped"}),
    [](const ::testing::TestParamInfo<SettingsRow>& info) { return std::string(info.param.name); });

}  // namespace
