#include "VirtualFrame/RawEncoder.h"

#include <stdexcept>

#include "PairedPlanes.h"
#include "VirtualFrame/BeamModel.h"

namespace VirtualFrame {

namespace {

uint16_t rotateLeft(uint16_t value, int width, int count) {
    const uint32_t mask = (1u << width) - 1u;
    const uint32_t v = value & mask;
    count %= width;
    if (count == 0) return static_cast<uint16_t>(v);
    return static_cast<uint16_t>(((v << count) | (v >> (width - count))) & mask);
}

// Bit i <-> bit width-1-i.
uint16_t mirrorBits(uint16_t value, int width) {
    uint16_t out = 0;
    for (int i = 0; i < width; ++i) {
        if (value >> i & 1u) out = static_cast<uint16_t>(out | (1u << (width - 1 - i)));
    }
    return out;
}

bool bitOf(uint16_t word, int bit) { return (word >> bit & 1u) != 0; }

// Calls f(first entry, LEDs, gap) for the Y block and then the X block.
template <class F>
void forEachBlock(const FrameGeometry& g, F f) {
    f(0, g.ledsY, g.gapY);
    f(g.ledsY, g.ledsX, g.gapX);
}

// The standard 7-line fix complements each byte and rotates it right by (3 - group) within
// 7 bits, group = LED index / gap. Undo the rotation, then the complement.
uint8_t unshift7(uint16_t word, int ledInBlock, int gap) {
    const int count = 3 - ledInBlock / gap;
    const int right = ((count % 7) + 7) % 7;
    return static_cast<uint8_t>(~rotateLeft(word, 7, right) & 0x7F);
}

void encodeShifted(const FrameGeometry& g, const std::vector<uint16_t>& words,
                   std::vector<uint8_t>& raw) {
    raw.resize(g.entryCount());
    forEachBlock(g, [&](int base, int n, int gap) {
        for (int i = 0; i < n; ++i) raw[base + i] = unshift7(words[base + i], i, gap);
    });
}

// The two panel sizes have their angle bits at the receiver: the beam of LED e on bit k is
// reported by the LED it reaches, on bit 6-k; the Y block also runs the other way round.
std::vector<uint16_t> toReceiverSide19(const FrameGeometry& g, const std::vector<uint16_t>& words) {
    std::vector<uint16_t> copy(g.entryCount(), 0);
    const int nY = g.ledsY, nX = g.ledsX;
    for (int i = 0; i < nY; ++i) copy[nY - 1 - i] = mirrorBits(words[i], 7);
    for (int e = 0; e < nX; ++e) {
        const uint16_t word = words[nY + e];
        uint16_t& own = copy[nY + e];
        own = static_cast<uint16_t>(own | (word & 0x08));
        for (int k = 0; k < 7; ++k) {
            if (k == 3 || !bitOf(word, k)) continue;
            const int receiver = e + g.gapX * (3 - k);
            if (receiver < 0 || receiver >= nX) continue;
            copy[nY + receiver] = static_cast<uint16_t>(copy[nY + receiver] | (1u << (6 - k)));
        }
    }
    return copy;
}

void encodeComplementMirrored(const FrameGeometry& g, const std::vector<uint16_t>& words,
                              std::vector<uint8_t>& raw) {
    raw.resize(g.entryCount());
    for (int e = 0; e < g.entryCount(); ++e) {
        raw[e] = static_cast<uint8_t>(mirrorBits(static_cast<uint16_t>(~words[e] & 0x7F), 7));
    }
}

void encodePairedPlanes(const FrameGeometry& g, const std::vector<uint16_t>& words,
                        std::vector<uint8_t>& raw) {
    const int length = planes::walkPairedPlanes(g, [](int, int, int, int) { return true; });
    raw.assign(length, 0);
    planes::walkPairedPlanes(g, [&](int byte, int byteBit, int entry, int wordBit) {
        if (byte < 0 || byte >= length || entry < 0 || entry >= g.entryCount()) return false;
        if (bitOf(words[entry], wordBit))
            raw[byte] = static_cast<uint8_t>(raw[byte] | 1u << byteBit);
        return true;
    });
}

// Each LED byte holds its own straight beam on bit 3; bits 4, 5, 6 hold word bits 2, 1, 0 of
// the LEDs g, 2g, 3g entries before it, bits 2, 1, 0 word bits 4, 5, 6 of the LEDs g, 2g, 3g
// entries after it. The firmware sends the bytes inverted.
void encodeEmitterSide(const FrameGeometry& g, const std::vector<uint16_t>& words,
                       std::vector<uint8_t>& raw) {
    raw.resize(g.entryCount());
    forEachBlock(g, [&](int base, int n, int gap) {
        auto word = [&](int i) -> uint16_t { return i >= 0 && i < n ? words[base + i] : 0; };
        for (int e = 0; e < n; ++e) {
            uint8_t in = static_cast<uint8_t>(word(e) & 0x08);
            for (int step = 1; step <= 3; ++step) {
                if (bitOf(word(e + step * gap), 3 + step))
                    in |= static_cast<uint8_t>(1u << (3 - step));
                if (bitOf(word(e - step * gap), 3 - step))
                    in |= static_cast<uint8_t>(1u << (3 + step));
            }
            raw[base + e] = static_cast<uint8_t>(~in & 0x7F);
        }
    });
}

// Ten bit planes, Y block first; each plane right-aligned in its own bytes, most significant
// bit first.
void encodeSequentialPlanes(const FrameGeometry& g, const std::vector<uint16_t>& words,
                            std::vector<uint8_t>& raw) {
    raw.clear();
    forEachBlock(g, [&](int base, int n, int gap) {
        const struct {
            int length, bit, entryOffset;
        } planes[] = {{n - 2 * gap, 4, 2 * gap},
                      {n - gap, 3, gap},
                      {n, 2, 0},
                      {n - gap, 1, 0},
                      {n - 2 * gap, 0, 0}};
        for (const auto& plane : planes) {
            if (plane.length <= 0) continue;
            const size_t start = raw.size();
            raw.resize(start + (plane.length + 7) / 8, 0);
            const int fill = (8 - plane.length % 8) % 8;
            for (int i = 0; i < plane.length; ++i) {
                if (!bitOf(words[base + plane.entryOffset + i], plane.bit)) continue;
                const int position = fill + i;
                raw[start + position / 8] |= static_cast<uint8_t>(0x80u >> (position % 8));
            }
        }
    });
}

// One byte per LED: bit 0 its own straight beam; bits 4, 3 word bits 0, 1 of the LEDs 2g, g
// entries before it; bits 1, 2 word bits 3, 4 of the LEDs g, 2g entries after it. Then the
// bytes are run-length coded.
void encodeCompressed(const FrameGeometry& g, const std::vector<uint16_t>& words,
                      std::vector<uint8_t>& raw) {
    std::vector<uint8_t> bytes(g.entryCount(), 0);
    forEachBlock(g, [&](int base, int n, int gap) {
        auto word = [&](int i) -> uint16_t { return i >= 0 && i < n ? words[base + i] : 0; };
        for (int e = 0; e < n; ++e) {
            uint8_t b = bitOf(word(e), 2) ? 0x01 : 0;
            if (bitOf(word(e - 2 * gap), 0)) b |= 0x10;
            if (bitOf(word(e - gap), 1)) b |= 0x08;
            if (bitOf(word(e + gap), 3)) b |= 0x02;
            if (bitOf(word(e + 2 * gap), 4)) b |= 0x04;
            bytes[base + e] = b;
        }
    });
    raw = compressRuns(bytes);
}

// The odd bits of a 15-line word, seven measured lines, one byte per LED; entries and bits in
// the opposite order.
void encodeHalfLines(const FrameGeometry& g, const std::vector<uint16_t>& words,
                     std::vector<uint8_t>& raw) {
    const int n = g.entryCount();
    raw.assign(n, 0);
    for (int x = 0; x < n; ++x) {
        const uint16_t word = words[n - 1 - x];
        for (int j = 1; j <= 7; ++j) {
            if (bitOf(word, 15 - 2 * j)) raw[x] = static_cast<uint8_t>(raw[x] | 1u << (j - 1));
        }
    }
}

// Inverted little-endian words, X LEDs first, each rotated by its LED group; the host reverses
// the entries and mirrors bits 0..14.
void encodeWords(const FrameGeometry& g, const std::vector<uint16_t>& words,
                 std::vector<uint8_t>& raw) {
    const int n = g.entryCount();
    raw.assign(2 * n, 0);
    for (int src = 0; src < n; ++src) {
        const int group = src < g.ledsX ? src / g.gapX : (src - g.ledsX) / g.gapY;
        const uint16_t mirrored =
            mirrorBits(static_cast<uint16_t>(words[n - 1 - src] & 0x7FFF), 15);
        const uint16_t value = static_cast<uint16_t>(~rotateLeft(mirrored, 16, 16 - group % 16));
        raw[2 * src] = static_cast<uint8_t>(value & 0xFF);
        raw[2 * src + 1] = static_cast<uint8_t>(value >> 8);
    }
}

}  // namespace

uint16_t carriedBits(const FrameModel& model, int entry) {
    const FrameGeometry& g = model.geometry;
    if (entry < 0 || entry >= g.entryCount()) return 0;
    const uint16_t lineBits = static_cast<uint16_t>((1u << g.linesX) - 1u);
    switch (model.format) {
        case RawFormat::BytePerLedShifted:
        case RawFormat::ComplementMirrored23:
        case RawFormat::Words16:
            return lineBits;
        case RawFormat::HalfLines15:
            return 0x2AAA;
        case RawFormat::BytePerLedShifted19:
        case RawFormat::PairedPlanesTR48:
        case RawFormat::EmitterSide70_82:
        case RawFormat::SequentialPlanes5:
        case RawFormat::Compressed5:
            return existingBeamBits(g, entry);
        case RawFormat::Unsupported:
            return 0;
    }
    return 0;
}

std::vector<uint8_t> encodeScan(const FrameModel& model, const std::vector<uint16_t>& input) {
    const FrameGeometry& g = model.geometry;
    std::vector<uint8_t> raw;
    if (model.format == RawFormat::Unsupported) return raw;
    std::vector<uint16_t> words(g.entryCount(), 0);
    for (int e = 0; e < g.entryCount(); ++e) {
        const uint16_t given =
            static_cast<size_t>(e) < input.size() ? input[e] : existingBeamBits(g, e);
        words[e] = static_cast<uint16_t>(given & carriedBits(model, e));
    }
    switch (model.format) {
        case RawFormat::BytePerLedShifted:
            encodeShifted(g, words, raw);
            break;
        case RawFormat::BytePerLedShifted19:
            encodeShifted(g, toReceiverSide19(g, words), raw);
            break;
        case RawFormat::ComplementMirrored23:
            encodeComplementMirrored(g, words, raw);
            break;
        case RawFormat::PairedPlanesTR48:
            encodePairedPlanes(g, words, raw);
            break;
        case RawFormat::EmitterSide70_82:
            encodeEmitterSide(g, words, raw);
            break;
        case RawFormat::SequentialPlanes5:
            encodeSequentialPlanes(g, words, raw);
            break;
        case RawFormat::Compressed5:
            encodeCompressed(g, words, raw);
            break;
        case RawFormat::HalfLines15:
            encodeHalfLines(g, words, raw);
            break;
        case RawFormat::Words16:
            encodeWords(g, words, raw);
            break;
        case RawFormat::Unsupported:
            break;
    }
    return raw;
}

std::vector<uint8_t> compressRuns(const std::vector<uint8_t>& bytes) {
    std::vector<uint8_t> out;
    out.reserve(bytes.size() / 2 + 4);
    size_t i = 0;
    while (i < bytes.size()) {
        const uint8_t value = bytes[i];
        if (value >= 0x80) throw std::invalid_argument("run-length input byte above 127");
        // A count byte of 255 after the code 0xFF would read as the end mark.
        const size_t longest = value == 0x7F ? 255 : 256;
        size_t run = 1;
        while (i + run < bytes.size() && bytes[i + run] == value && run < longest) ++run;
        if (run >= 3) {
            out.push_back(static_cast<uint8_t>(0x80 | value));
            out.push_back(static_cast<uint8_t>(run - 1));
        } else {
            out.insert(out.end(), run, value);
        }
        i += run;
    }
    out.insert(out.end(), {0xFF, 0xFF, 0x00, 0x00});
    return out;
}

}  // namespace VirtualFrame
