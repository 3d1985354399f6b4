// The monitor's TUIO decoder, its picture and its log tail, without sockets.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <random>

#include "MonitorScreen.h"
#include "ProductTestSupport.h"
#include "TuioCursors.h"

using namespace OrdaloMonitor;
using producttest::TuioBundle;

namespace {

using Bytes = std::vector<uint8_t>;

std::vector<TuioFrame> Feed(TuioCursors& decoder, const Bytes& bytes) {
    return decoder.Feed(bytes.data(), bytes.size());
}

std::string Text(const std::vector<TuioFrame>& frames) {
    std::string s;
    char touch[64];
    for (const TuioFrame& f : frames) {
        s += "fseq " + std::to_string(f.fseq) + ":";
        for (const Cursor& c : f.cursors) {
            std::snprintf(touch, sizeof touch, " %d %.3f %.3f", c.id, c.x, c.y);
            s += touch;
        }
        s += "\n";
    }
    return s;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

Bytes Be32(uint32_t v) { return {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)}; }

Bytes Str(const std::string& s) {
    Bytes out(s.begin(), s.end());
    out.resize((s.size() + 4) & ~size_t(3), 0);
    return out;
}

// A bundle holding `inner` as its one element.
Bytes Wrap(const Bytes& inner) {
    return Cat({Str("#bundle"), Be32(0), Be32(1), Be32(uint32_t(inner.size())), inner});
}

Bytes ServiceFrame() {
    return TuioBundle().Set(3, 0.25f, 0.5f).Set(1, 0.75f, 0.4f).Alive({3, 1}).Fseq(7).Bytes();
}

}  // namespace

// ---- Frames from valid datagrams, one row per sequence of datagrams ---------------------------

struct SequenceCase {
    const char* name;
    std::function<std::vector<Bytes>()> datagrams;
    const char* expected;  // every frame of every datagram, in the --lines form
};

class MonitorDecoder : public ::testing::TestWithParam<SequenceCase> {};

TEST_P(MonitorDecoder, FramesOfTheDatagrams) {
    TuioCursors decoder;
    std::string seen;
    for (const Bytes& d : GetParam().datagrams()) seen += Text(Feed(decoder, d));
    EXPECT_EQ(seen, GetParam().expected);
    EXPECT_EQ(decoder.rejected(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Sequences, MonitorDecoder,
    ::testing::Values(
        SequenceCase{"ServiceOrderSetBeforeAlive", [] { return std::vector<Bytes>{ServiceFrame()}; },
                     "fseq 7: 1 0.750 0.400 3 0.250 0.500\n"},
        SequenceCase{"NoTouches",
                     [] { return std::vector<Bytes>{TuioBundle().Alive({}).Fseq(-1).Bytes()}; },
                     "fseq -1:\n"},
        // The reference order, and a sender that repeats "set" only for cursors that moved.
        SequenceCase{"UnmovedCursorKeepsItsPlace",
                     [] {
                         return std::vector<Bytes>{
                             TuioBundle().Alive({1, 2}).Set(1, 0.1f, 0.2f).Set(2, 0.3f, 0.4f)
                                 .Fseq(1).Bytes(),
                             TuioBundle().Alive({1, 2}).Set(2, 0.35f, 0.45f).Fseq(2).Bytes()};
                     },
                     "fseq 1: 1 0.100 0.200 2 0.300 0.400\nfseq 2: 1 0.100 0.200 2 0.350 0.450\n"},
        SequenceCase{"LeftCursorIsForgotten",
                     [] {
                         return std::vector<Bytes>{
                             TuioBundle().Set(1, 0.1f, 0.2f).Set(2, 0.3f, 0.4f).Alive({1, 2})
                                 .Fseq(1).Bytes(),
                             TuioBundle().Alive({2}).Fseq(2).Bytes(),
                             TuioBundle().Alive({1, 2}).Fseq(3).Bytes()};
                     },
                     "fseq 1: 1 0.100 0.200 2 0.300 0.400\nfseq 2: 2 0.300 0.400\n"
                     "fseq 3: 2 0.300 0.400\n"},
        SequenceCase{"OtherProfilesAndBareMessages",
                     [] {
                         TuioBundle object;
                         object.Set(5, 0.5f, 0.5f, "/tuio/2Dobj").Alive({}).Fseq(4);
                         lo_message fseq = lo_message_new();
                         lo_message_add_string(fseq, "fseq");
                         lo_message_add_int32(fseq, 5);
                         size_t size = 0;
                         void* raw = lo_message_serialise(fseq, "/tuio/2Dcur", nullptr, &size);
                         Bytes bare(static_cast<uint8_t*>(raw), static_cast<uint8_t*>(raw) + size);
                         std::free(raw);
                         lo_message_free(fseq);
                         return std::vector<Bytes>{object.Bytes(), bare};
                     },
                     "fseq 4:\nfseq 5:\n"}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- Datagrams that are not well-formed OSC ---------------------------------------------------

struct MalformedCase {
    const char* name;
    std::function<Bytes()> datagram;
};

class MonitorMalformed : public ::testing::TestWithParam<MalformedCase> {};

// Rejected whole: nothing of it reaches the cursors, and the next frame is read as before.
TEST_P(MonitorMalformed, RejectedWithoutChangingTheCursors) {
    TuioCursors decoder;
    ASSERT_EQ(Text(Feed(decoder, ServiceFrame())), "fseq 7: 1 0.750 0.400 3 0.250 0.500\n");
    const Bytes bad = GetParam().datagram();
    EXPECT_TRUE(Feed(decoder, bad).empty());
    EXPECT_EQ(decoder.rejected(), 1u);
    EXPECT_EQ(Text(Feed(decoder, TuioBundle().Alive({1, 3}).Fseq(8).Bytes())),
              "fseq 8: 1 0.750 0.400 3 0.250 0.500\n");
}

Bytes NestedFseq(int depth, int fseq) {
    Bytes b = TuioBundle().Alive({}).Fseq(fseq).Bytes();
    for (int k = 1; k < depth; ++k) b = Wrap(b);
    return b;
}

// A bad element after a good "alive" that would otherwise forget both cursors.
Bytes AfterAlive(const Bytes& element) {
    const Bytes alive = TuioBundle().Alive({}).Bytes();
    const Bytes aliveElement(alive.begin() + 16, alive.end());
    return Cat({Str("#bundle"), Be32(0), Be32(1), aliveElement, Be32(uint32_t(element.size())),
                element});
}

INSTANTIATE_TEST_SUITE_P(
    Datagrams, MonitorMalformed,
    ::testing::Values(
        MalformedCase{"Empty", [] { return Bytes{}; }},
        MalformedCase{"SizeNotMultipleOfFour", [] { return Cat({ServiceFrame(), {0}}); }},
        MalformedCase{"TruncatedBundleHeader", [] { return Str("#bundle"); }},
        MalformedCase{"ElementLongerThanBundle",
                      [] {
                          Bytes b = ServiceFrame();
                          b[16 + 3] += 4;  // size of the first element
                          return b;
                      }},
        MalformedCase{"HugeElementSize",
                      [] {
                          return Cat({Str("#bundle"), Be32(0), Be32(1), Be32(0xFFFFFFFC), Be32(0)});
                      }},
        MalformedCase{"AddressWithoutNul", [] { return AfterAlive(Bytes{'/', 't', 'u', 'i'}); }},
        MalformedCase{"NoLeadingSlash", [] { return AfterAlive(Cat({Str("tuio"), Str(",")})); }},
        MalformedCase{"UnknownTypeTag",
                      [] { return AfterAlive(Cat({Str("/tuio/2Dcur"), Str(",sx"), Str("set")})); }},
        MalformedCase{"TagsWithoutComma",
                      [] { return AfterAlive(Cat({Str("/tuio/2Dcur"), Str("s"), Str("set")})); }},
        MalformedCase{"ArgumentsShorterThanTags",
                      [] {
                          return AfterAlive(
                              Cat({Str("/tuio/2Dcur"), Str(",sifff"), Str("set"), Be32(1)}));
                      }},
        MalformedCase{"BytesAfterTheArguments",
                      [] {
                          return AfterAlive(
                              Cat({Str("/tuio/2Dcur"), Str(",si"), Str("fseq"), Be32(9), Be32(0)}));
                      }},
        MalformedCase{"BlobLongerThanMessage",
                      [] {
                          return AfterAlive(
                              Cat({Str("/tuio/2Dcur"), Str(",b"), Be32(0xFFFFFFFF), Be32(0)}));
                      }},
        MalformedCase{"BundlesNestedTooDeep",
                      [] { return NestedFseq(TuioCursors::kMaxBundleDepth + 1, 9); }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(MonitorDecoderLimits, DeepestAllowedNestingIsRead) {
    TuioCursors decoder;
    EXPECT_EQ(Text(Feed(decoder, NestedFseq(TuioCursors::kMaxBundleDepth, 9))), "fseq 9:\n");
}

// Every prefix and thousands of mutations of a real frame: never a read outside the datagram
// (the sanitizer build watches), never a frame from a cut-off fseq, and the decoder still reads
// the next good frame right.
TEST(MonitorDecoderLimits, SurvivesCutAndMutatedDatagrams) {
    TuioCursors decoder;
    const Bytes good = ServiceFrame();
    for (size_t n = 0; n < good.size(); ++n) {
        EXPECT_TRUE(decoder.Feed(good.data(), n).empty()) << "prefix of " << n << " bytes";
    }
    std::mt19937 random(14);
    for (int k = 0; k < 5000; ++k) {
        Bytes b = good;
        for (int flips = 1 + k % 4; flips > 0; --flips) b[random() % b.size()] = uint8_t(random());
        for (const TuioFrame& f : Feed(decoder, b)) EXPECT_LE(f.cursors.size(), 2u);
    }
    EXPECT_EQ(Text(Feed(decoder, ServiceFrame())), "fseq 7: 1 0.750 0.400 3 0.250 0.500\n");
}

TEST(MonitorDecoderLimits, SetsWithoutAliveAreBounded) {
    TuioCursors decoder;
    for (int id = 0; id < int(TuioCursors::kMaxKnownCursors) + 10; ++id) {
        Feed(decoder, TuioBundle().Set(id, 0.5f, 0.5f).Bytes());
    }
    std::vector<int> all;
    for (int id = 0; id < int(TuioCursors::kMaxKnownCursors) + 10; ++id) all.push_back(id);
    const auto frames = Feed(decoder, TuioBundle().Alive(all).Fseq(1).Bytes());
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].cursors.size(), TuioCursors::kMaxKnownCursors);
    // Once "alive" has pruned them, new cursors are taken again.
    Feed(decoder, TuioBundle().Alive({}).Bytes());
    EXPECT_EQ(Text(Feed(decoder, TuioBundle().Set(99999, 0.5f, 0.5f).Alive({99999}).Fseq(2)
                                     .Bytes())),
              "fseq 2: 99999 0.500 0.500\n");
}

// ---- The picture ------------------------------------------------------------------------------

// 80 columns and 20 rows give a 71 x 20 box (16:9 on cells twice as tall as wide): 69 x 18
// inner cells.
struct PlaceCase {
    float x, y;
    int row, column;  // of the label's first character, borders counted
    const char* label;
};

TEST(MonitorPicture, TouchesAtTheirPlaces) {
    const std::vector<PlaceCase> cases = {
        {0.0f, 0.0f, 1, 1, "7"},         // top-left inner cell
        {1.0f, 1.0f, 18, 69, "7"},       // bottom-right inner cell
        {0.5f, 0.5f, 10, 35, "7"},       // centre: 34 of 0..68, 8.5 of 0..17 rounds down the box
        {0.25f, 0.5f, 10, 18, "7"},
        {1.0f, 0.0f, 1, 67, "123"},      // a long id stays inside the right border
    };
    for (const PlaceCase& c : cases) {
        const int id = std::atoi(c.label);
        int offScreen = -1;
        const auto box = DrawTouches({{id, c.x, c.y}}, 80, 20, offScreen);
        ASSERT_EQ(box.size(), 20u);
        ASSERT_EQ(box[0].size(), 71u);
        EXPECT_EQ(offScreen, 0);
        EXPECT_EQ(box[c.row].substr(c.column, std::strlen(c.label)), c.label)
            << c.x << "," << c.y << "\n" << box[c.row];
        EXPECT_EQ(box[c.row].back(), '|');
        // Nothing else is written inside the box.
        size_t marks = 0;
        for (const auto& line : box) {
            for (char ch : line) marks += ch != ' ' && ch != '|' && ch != '-' && ch != '+';
        }
        EXPECT_EQ(marks, std::strlen(c.label));
    }
}

TEST(MonitorPicture, OffScreenTouchesAreCountedNotDrawn) {
    int offScreen = 0;
    const auto box = DrawTouches(
        {{1, -0.01f, 0.5f}, {2, 0.5f, 1.01f}, {3, std::nanf(""), 0.5f}, {4, 0.5f, INFINITY}}, 80,
        20, offScreen);
    EXPECT_EQ(offScreen, 4);
    for (size_t r = 1; r + 1 < box.size(); ++r) {
        EXPECT_EQ(box[r], "|" + std::string(69, ' ') + "|");
    }
}

TEST(MonitorPicture, TinyTerminalStillGivesABox) {
    int offScreen = 0;
    const auto box = DrawTouches({{42, 0.5f, 0.5f}}, 1, 1, offScreen);
    ASSERT_EQ(box.size(), 3u);
    EXPECT_EQ(box[1], "|4|");
}

// ---- The log under the picture ----------------------------------------------------------------

TEST(MonitorLogTail, FollowsAppendsAndReplacements) {
    producttest::TempDir dir;
    const std::string path = dir.path() + "/demo.log";
    LogTail tail(path);
    tail.Poll();  // no file yet
    EXPECT_TRUE(tail.lines().empty());
    {
        std::ofstream out(path);
        out << "first\nsec\x1b[2Jond\tline\npart";
    }
    tail.Poll();
    EXPECT_EQ(std::vector<std::string>(tail.lines().begin(), tail.lines().end()),
              (std::vector<std::string>{"first", "sec?[2Jond line"}));
    {
        std::ofstream out(path, std::ios::app);
        out << "ial\n";
        for (size_t k = 0; k < LogTail::kMaxLines + 5; ++k) out << "n" << k << "\n";
    }
    tail.Poll();
    ASSERT_EQ(tail.lines().size(), LogTail::kMaxLines);
    EXPECT_EQ(tail.lines().back(), "n" + std::to_string(LogTail::kMaxLines + 4));
    // A new file in its place (a restarted demo) is read from its start.
    std::remove(path.c_str());
    {
        std::ofstream out(path);
        out << "again\n";
    }
    tail.Poll();
    EXPECT_EQ(tail.lines().back(), "again");
}
