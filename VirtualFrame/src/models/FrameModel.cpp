#include "VirtualFrame/FrameModel.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#include "../encode/PairedPlanes.h"

namespace VirtualFrame {

const char* rawFormatName(RawFormat format) {
    switch (format) {
        case RawFormat::BytePerLedShifted:
            return "byte-per-led";
        case RawFormat::BytePerLedShifted19:
            return "byte-per-led-19";
        case RawFormat::ComplementMirrored23:
            return "complement-mirrored-23";
        case RawFormat::PairedPlanesTR48:
            return "paired-planes-tr48";
        case RawFormat::EmitterSide70_82:
            return "emitter-side-70-82";
        case RawFormat::SequentialPlanes5:
            return "sequential-planes-5";
        case RawFormat::Compressed5:
            return "compressed-5";
        case RawFormat::HalfLines15:
            return "half-lines-15";
        case RawFormat::Words16:
            return "words-16";
        case RawFormat::Unsupported:
            return "unsupported";
    }
    return "unsupported";
}

float FrameGeometry::mmPerLed() const {
    const int sumSquares = ledsX * ledsX + ledsY * ledsY;
    const float root = std::sqrt(static_cast<float>(sumSquares));
    return static_cast<float>((static_cast<double>(screenInches) * 25.4) / root);
}

namespace {

bool sameInches(double inches, double wanted) { return std::fabs(inches - wanted) < 1e-6; }

// Byte-per-LED 7-line models without their own decoder go through the standard fix, and two
// panel sizes through the extra receiver-side re-indexing on top of it.
RawFormat bytePerLedFormat(const FrameGeometry& g) {
    const double inches = g.screenInches;
    if (inches == 23.0 && g.linesY == 7 && g.gapX == 12 && g.gapY == 20) {
        return RawFormat::ComplementMirrored23;
    }
    const bool panel19 = g.ledsX == 72 && g.ledsY == 58 && std::trunc(inches - 19.0) == 0.0;
    const bool panel17 = g.ledsX == 65 && g.ledsY == 52 && std::trunc(inches - 17.0) == 0.0;
    return panel19 || panel17 ? RawFormat::BytePerLedShifted19 : RawFormat::BytePerLedShifted;
}

bool needsReindex19(const FrameGeometry& g) {
    return bytePerLedFormat(g) == RawFormat::BytePerLedShifted19;
}

}  // namespace

RawFormat rawFormatFor(const FrameGeometry& g) {
    const double inches = g.screenInches;
    // The library keeps one line table sized by the Y lines for both axes.
    if (g.linesX != g.linesY || g.linesX < 1 || g.linesX > 15 || g.linesX % 2 == 0) {
        return RawFormat::Unsupported;
    }
    if (g.ledsX < 1 || g.ledsY < 1 || g.gapX < 1 || g.gapY < 1 || g.entryCount() > 1024) {
        return RawFormat::Unsupported;
    }
    // The library keeps per-beam tables of 14336 entries.
    if (g.entryCount() * g.linesX > 14336) return RawFormat::Unsupported;
    // The fixes rotate each word by its LED group number held in a signed byte.
    if ((g.ledsX - 1) / g.gapX > 127 || (g.ledsY - 1) / g.gapY > 127) return RawFormat::Unsupported;
    if (inches > 30 && g.linesX == 5 && g.linesY == 5) return RawFormat::Compressed5;
    if (inches >= 30 && g.linesX == 15) return RawFormat::HalfLines15;
    if (g.linesX == 5) return inches < 23 ? RawFormat::SequentialPlanes5 : RawFormat::Unsupported;
    if (g.linesX == 7) {
        if (g.gapX == 13 || g.gapX == 14 || g.gapX == 16) {
            // These decoders would be followed by the two-panel re-indexing, which no firmware
            // of ours combines with them.
            if (needsReindex19(g)) return RawFormat::Unsupported;
            if (g.gapX == 13) {
                bool defined = true;
                planes::walkPairedPlanes(
                    g, [](int, int, int, int) { return true; }, &defined);
                return defined ? RawFormat::PairedPlanesTR48 : RawFormat::Unsupported;
            }
            return g.entryCount() <= 576 ? RawFormat::EmitterSide70_82 : RawFormat::Unsupported;
        }
        return bytePerLedFormat(g);
    }
    return RawFormat::Words16;
}

void mirrorFlagsFor(const FrameGeometry& g, bool& mirrorX, bool& mirrorY) {
    mirrorX = mirrorY = true;
    const double inches = g.screenInches;
    switch (rawFormatFor(g)) {
        case RawFormat::Compressed5:
            mirrorX = mirrorY = false;
            break;
        case RawFormat::BytePerLedShifted:
        case RawFormat::BytePerLedShifted19:
        case RawFormat::ComplementMirrored23:
            if (inches < 22) mirrorX = mirrorY = false;
            if (sameInches(inches, 23) || sameInches(inches, 20)) {
                mirrorY = true;
                mirrorX = false;
            }
            break;
        default:
            break;
    }
}

FrameModel makeFrameModel(const std::string& name, const std::string& description,
                          const FrameGeometry& geometry) {
    FrameModel model;
    model.name = name;
    model.description = description;
    model.geometry = geometry;
    model.format = rawFormatFor(geometry);
    mirrorFlagsFor(geometry, model.mirrorX, model.mirrorY);
    FrameDescription& d = model.firmware;
    d.firmwareVersion = 32;
    d.ledX = static_cast<uint32_t>(geometry.ledsX);
    d.ledY = static_cast<uint32_t>(geometry.ledsY);
    d.linesX = static_cast<uint32_t>(geometry.linesX);
    d.linesY = static_cast<uint32_t>(geometry.linesY);
    d.ledGapX = static_cast<uint32_t>(geometry.gapX);
    d.ledGapY = static_cast<uint32_t>(geometry.gapY);
    d.lcdSize = geometry.screenInches;
    d.solutionWidth = 32767;
    d.solutionHeight = 32767;
    return model;
}

FrameGeometry frameGeometry(int inches, int ledsX, int ledsY, int lines, int gapX, int gapY) {
    FrameGeometry g;
    g.screenInches = static_cast<uint8_t>(inches);
    g.ledsX = ledsX;
    g.ledsY = ledsY;
    g.linesX = g.linesY = lines;
    g.gapX = gapX;
    g.gapY = gapY;
    return g;
}

namespace {

std::vector<FrameModel> buildCatalogue() {
    std::vector<FrameModel> models = {
        makeFrameModel("19in-72x58-7line", "19-inch 5:4 panel, 7 lines, receiver-side re-indexing",
                       frameGeometry(19, 72, 58, 7, 6, 5)),
        makeFrameModel("17in-65x52-7line", "17-inch 5:4 panel, 7 lines, receiver-side re-indexing",
                       frameGeometry(17, 65, 52, 7, 5, 4)),
        makeFrameModel("20in-88x50-7line", "20-inch 16:9 panel, 7 lines, only y mirrored",
                       frameGeometry(20, 88, 50, 7, 7, 5)),
        makeFrameModel("32in-144x80-7line", "32-inch 16:9 panel, 7 lines, standard fix",
                       frameGeometry(32, 144, 80, 7, 8, 6)),
        makeFrameModel("23in-120x68-7line-mirrored", "23-inch panel, 7 lines, complemented bytes",
                       frameGeometry(23, 120, 68, 7, 12, 20)),
        makeFrameModel("48in-144x82-7line-tr48", "48-inch panel, 7 lines, paired bit planes",
                       frameGeometry(48, 144, 82, 7, 13, 8)),
        makeFrameModel("70in-320x180-7line", "70-inch panel, 7 lines, emitter-side bytes",
                       frameGeometry(70, 320, 180, 7, 14, 14)),
        makeFrameModel("82in-360x200-7line", "82-inch panel, 7 lines, emitter-side bytes",
                       frameGeometry(82, 360, 200, 7, 16, 16)),
        makeFrameModel("21in-96x54-5line", "21-inch panel, 5 lines, sequential bit planes",
                       frameGeometry(21, 96, 54, 5, 6, 6)),
        makeFrameModel("120in-480x270-5line", "120-inch panel, 5 lines, run-length compressed",
                       frameGeometry(120, 480, 270, 5, 20, 12)),
        makeFrameModel("55in-240x135-15line", "55-inch panel, 15 lines of which 7 measured",
                       frameGeometry(55, 240, 135, 15, 4, 4)),
        makeFrameModel("27in-112x64-15line-words", "27-inch panel, 15 lines, 16-bit words",
                       frameGeometry(27, 112, 64, 15, 2, 2)),
    };
    for (size_t i = 0; i < models.size(); ++i) {
        // Each model gets its own identity so that several can be plugged in side by side.
        char id[9];
        std::snprintf(id, sizeof id, "ORDVF%03u", static_cast<unsigned>(i + 1) % 1000u);
        std::memcpy(models[i].firmware.identity, id, 8);
    }
    return models;
}

}  // namespace

const std::vector<FrameModel>& frameModels() {
    static const std::vector<FrameModel> models = buildCatalogue();
    return models;
}

const FrameModel& defaultFrameModel() { return frameModels().front(); }

const FrameModel* findFrameModel(const std::string& name) {
    for (const FrameModel& model : frameModels()) {
        if (model.name == name) return &model;
    }
    return nullptr;
}

}  // namespace VirtualFrame
