// Encoders against the frame library's decoders: for every model, encode then decode gives back
// the logical beam words.
#include <gtest/gtest.h>

#include <cctype>
#include <random>
#include <set>

#include "LibraryContext.h"
#include "VirtualFrame/BeamModel.h"
#include "VirtualFrame/RawEncoder.h"

using namespace VirtualFrame;

namespace {

class EveryModel : public ::testing::TestWithParam<std::string> {
protected:
    const FrameModel& model() const { return *findFrameModel(GetParam()); }
};

}  // namespace

TEST(Catalogue, EveryDecoderHasAModelAndEveryModelFitsOnePacket) {
    std::set<RawFormat> formats;
    for (const FrameModel& m : frameModels()) {
        EXPECT_NE(m.format, RawFormat::Unsupported) << m.name;
        formats.insert(m.format);
        EXPECT_EQ(findFrameModel(m.name), &m);
        EXPECT_EQ(m.firmware.ledX, static_cast<uint32_t>(m.geometry.ledsX));
        EXPECT_EQ(m.firmware.lcdSize, m.geometry.screenInches);
        // Worst case for the size: every beam clear, and a pattern that defeats run coding.
        std::vector<uint16_t> alternating(m.geometry.entryCount());
        for (size_t e = 0; e < alternating.size(); ++e) alternating[e] = e % 2 ? 0xFFFF : 0x5555;
        EXPECT_LE(encodeScan(m, alternating).size(), kMaxRawContentBytes) << m.name;
        EXPECT_LE(encodeScan(m, {}).size(), kMaxRawContentBytes) << m.name;
    }
    EXPECT_EQ(formats.size(), 9u);
    EXPECT_EQ(findFrameModel("no-such-model"), nullptr);
}

TEST_P(EveryModel, EncodeThenDecodeGivesBackTheBeamWords) {
    const FrameModel& m = model();
    const int n = m.geometry.entryCount();
    const uint16_t lineBits = static_cast<uint16_t>((1u << m.geometry.linesX) - 1);
    auto ctx = vftest::makeContext(m);
    ASSERT_EQ(+ctx->ready, 1u);
    std::mt19937 random(std::hash<std::string>()(m.name));
    const double densities[] = {0.0, 0.03, 0.5, 0.97, 1.0};
    for (int round = 0; round < 150; ++round) {
        std::bernoulli_distribution clear(densities[round % 5]);
        std::vector<uint16_t> words(n);
        for (int e = 0; e < n; ++e) {
            for (int bit = 0; bit < 16; ++bit) {
                if (clear(random)) words[e] = static_cast<uint16_t>(words[e] | 1u << bit);
            }
        }
        vftest::feed(ctx.get(), encodeScan(m, words));
        ASSERT_EQ(+ctx->entryCount, n);
        for (int e = 0; e < n; ++e) {
            ASSERT_EQ(ctx->scan[e] & lineBits, words[e] & carriedBits(m, e))
                << m.name << " round " << round << " entry " << e << " of " << n;
        }
        // The library's mirror flags for this model are the ones the beam model assumes.
        ASSERT_EQ(ctx->mirrorX != 0, m.mirrorX) << m.name;
        ASSERT_EQ(ctx->mirrorY != 0, m.mirrorY) << m.name;
    }
}

// Scans of real fingers carry every beam the model can carry: nothing of a touch is lost.
TEST_P(EveryModel, FingerScansSurviveTheRoundTrip) {
    const FrameModel& m = model();
    BeamModel beams(m);
    auto ctx = vftest::makeContext(m);
    const uint16_t lineBits = static_cast<uint16_t>((1u << m.geometry.linesX) - 1);
    const std::vector<Finger> fingers = {{1, 0.3, 0.4, 10}, {2, 0.7, 0.6, 14}, {3, 0.02, 0.97, 8}};
    const auto words = beams.scan(fingers);
    vftest::feed(ctx.get(), encodeScan(m, words));
    int blockedStraight = 0;
    for (int e = 0; e < beams.entryCount(); ++e) {
        ASSERT_EQ(ctx->scan[e] & lineBits, words[e] & carriedBits(m, e)) << m.name << " " << e;
        blockedStraight += !(ctx->scan[e] >> (m.geometry.linesX / 2) & 1);
    }
    EXPECT_GE(blockedStraight, 6) << m.name;
}

INSTANTIATE_TEST_SUITE_P(Models, EveryModel, ::testing::ValuesIn(vftest::modelNames()),
                         vftest::modelTestName);

TEST(RunLengthCode, DecompressorReadsBackEveryStream) {
    std::mt19937 random(5);
    std::vector<uint8_t> out(4096);
    for (int round = 0; round < 300; ++round) {
        std::vector<uint8_t> bytes;
        const size_t length = random() % 1500;
        while (bytes.size() < length) {
            // Runs of every length, including past the 256 a single code holds; 127 is the
            // value whose longest run would collide with the end mark.
            const uint8_t value = round % 3 == 0 ? 127 : static_cast<uint8_t>(random() % 128);
            const size_t run = random() % 4 == 0 ? 1 + random() % 600 : 1 + random() % 3;
            bytes.insert(bytes.end(), std::min(run, length - bytes.size()), value);
        }
        const auto code = compressRuns(bytes);
        std::fill(out.begin(), out.end(), 0xEE);
        const uint32_t written = frgDecompress(out.data(), static_cast<uint32_t>(out.size()),
                                               code.data(), static_cast<uint32_t>(code.size()));
        ASSERT_EQ(written, bytes.size()) << "round " << round;
        ASSERT_TRUE(std::equal(bytes.begin(), bytes.end(), out.begin())) << "round " << round;
        ASSERT_EQ(out[bytes.size()], 0xEE);
    }
    // Long runs shrink to two bytes per 256.
    EXPECT_EQ(compressRuns(std::vector<uint8_t>(512, 0)).size(), 4u + 4u);
    EXPECT_EQ(compressRuns({}).size(), 4u);
    EXPECT_THROW(compressRuns({1, 2, 200}), std::invalid_argument);
}

// With virtual LEDs on the host, the decoded words land shifted by the pads and the pads read
// as blocked on every line (128); the encoder itself knows nothing of them.
TEST(VirtualLeds, PaddedContextsPlaceTheWordsBetweenThePads) {
    const FrameModel& m = defaultFrameModel();
    const int p = 2, q = 3, nX = m.geometry.ledsX, nY = m.geometry.ledsY;
    auto ctx = vftest::makeContext(m, p, q);
    ASSERT_EQ(+ctx->ledCountX, nX + 2 * p);
    BeamModel beams(m);
    const auto words = beams.scan({{1, 0.4, 0.6, 12}});
    vftest::feed(ctx.get(), encodeScan(m, words));
    const int paddedY = nY + 2 * q;
    ASSERT_EQ(+ctx->entryCount, paddedY + nX + 2 * p);
    for (int e = 0; e < nY; ++e) ASSERT_EQ(ctx->scan[q + e] & 0x7F, words[e]) << e;
    for (int e = 0; e < nX; ++e) ASSERT_EQ(ctx->scan[paddedY + p + e] & 0x7F, words[nY + e]) << e;
    for (int e :
         {0, q - 1, paddedY - q, paddedY - 1, paddedY, paddedY + p - 1, paddedY + 2 * p + nX - 1}) {
        EXPECT_EQ(+ctx->scan[e], 128) << e;
    }
}
