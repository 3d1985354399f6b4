// Writes the seed corpora of the frame-link and frame-library fuzz targets from the virtual
// frame's real output: the input reports its firmware emulator sends (answers, scans in every
// raw packing, with and without injected faults), the set-up records of every catalogue model
// and raw scans with fingers on them.
//
// Usage: ordalo-fuzz-seeds <corpus folder>   (normally fuzz/corpus; one sub-folder per target)
// The output is the same on every run, so regenerating changes nothing unless the virtual frame
// or the formats below change.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "MTouch/MTProtocol.h"
#include "PanoraCore.h"
#include "VirtualFrame/BeamModel.h"
#include "VirtualFrame/FirmwareEmulator.h"
#include "VirtualFrame/FrameModel.h"
#include "VirtualFrame/RawEncoder.h"

namespace fs = std::filesystem;
using namespace VirtualFrame;
using Bytes = std::vector<uint8_t>;

namespace {

fs::path g_root;
size_t g_written = 0;

void Write(const std::string& target, const std::string& name, const Bytes& bytes) {
    const fs::path dir = g_root / target;
    fs::create_directories(dir);
    std::ofstream out(dir / name, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    ++g_written;
}

void Append(Bytes& to, const void* p, size_t n) {
    const auto* b = static_cast<const uint8_t*>(p);
    to.insert(to.end(), b, b + n);
}

std::string Safe(std::string s) {
    for (char& c : s)
        if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
    return s;
}

// Fingers that wander a little from irregular starting points, frame by frame.
std::vector<Finger> FingersAt(int count, int frame, uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> pos(0.08, 0.92), step(-0.004, 0.004), size(8.0, 16.0);
    std::vector<Finger> fingers;
    for (int f = 0; f < count; ++f) {
        Finger finger;
        finger.id = f + 1;
        finger.x = pos(rng);
        finger.y = pos(rng);
        finger.diameterMm = size(rng);
        const double dx = step(rng), dy = step(rng);
        finger.x += dx * frame;
        finger.y += dy * frame;
        fingers.push_back(finger);
    }
    return fingers;
}

Bytes RawScan(const FrameModel& model, int fingers, int frame, uint32_t seed) {
    BeamModel beams(model);
    return encodeScan(model, beams.scan(FingersAt(fingers, frame, seed)));
}

// One frame record of the frame-library targets: [repeat][length LE16][bytes].
void AppendFrame(Bytes& to, const Bytes& raw, uint8_t repeat) {
    to.push_back(repeat);
    to.push_back(uint8_t(raw.size() & 0xFF));
    to.push_back(uint8_t(raw.size() >> 8));
    Append(to, raw.data(), raw.size());
}

// ---- HID reports ------------------------------------------------------------------------------

Bytes Request(uint8_t identifier, const void* payload = nullptr, size_t length = 0) {
    Bytes r(ORDO_REPORT_SIZE, 0);
    r[0] = ORDO_REQUEST_REPORT_ID;
    r[1] = identifier;
    if (payload) std::memcpy(r.data() + ORDO_HEADER_SIZE, payload, length);
    return r;
}

// Input reports of a frame brought up as the service does it, then `scans` scans in software
// mode with fingers on it.
std::vector<Bytes> FrameSession(const FrameModel& model, const FaultSettings& faults, int scans,
                                int fingers) {
    FirmwareEmulator frame(model.firmware);
    frame.SetFaults(faults);
    frame.SetScanRate(0);
    std::vector<Bytes> reports;
    auto pullAll = [&](std::chrono::milliseconds wait) {
        uint8_t report[ORDO_REPORT_SIZE];
        while (frame.PullInputReport(report, wait) == PullResult::Report) {
            reports.emplace_back(report, report + ORDO_REPORT_SIZE);
            wait = std::chrono::milliseconds(0);
        }
    };
    auto ask = [&](const Bytes& request) {
        frame.PushOutputReport(request.data(), request.size());
        pullAll(std::chrono::milliseconds(0));
    };
    ask(Request(PACKET_IDEN_READ_CONFIG));
    ask(Request(PACKET_IDEN_QUERY_INFO));
    const uint8_t mode = ORDO_MODE_SOFTWARE;
    ask(Request(PACKET_IDEN_SET_MODE, &mode, 1));
    ask(Request(PACKET_IDEN_GET_SOFTWARE_MODE_INFO));
    ask(Request(PACKET_IDEN_GET_CALIBRATION));
    ask(Request(PACKET_IDEN_GET_EFFECTS));
    for (uint32_t item : {NVM_ITEM_PEN, NVM_ITEM_SOLUTION}) {
        NVMPacket nvm{};
        NVMFillPacket(nullptr, 0, item, &nvm);
        ask(Request(PACKET_IDEN_GET_NVM_ITEM, &nvm, sizeof nvm));
    }
    ask(Request(PACKET_IDEN_WAKE_UP));
    if (scans > 0) {
        int frameNo = 0;
        frame.SetScanSource([&](uint64_t) { return RawScan(model, fingers, frameNo++, 7); });
        frame.SetScanRate(2000);
        // Scans fall due on the pulling thread; wait for each in turn.
        for (int s = 0; s < scans && frame.Counters().scansSent < uint64_t(scans); ++s) {
            pullAll(std::chrono::milliseconds(50));
        }
        frame.SetScanRate(0);
        pullAll(std::chrono::milliseconds(0));
    }
    return reports;
}

// Fixed 64-byte reports: shape byte 0 (fast reply off, drain only at the end) or a drain period.
Bytes FixedStream(const std::vector<Bytes>& reports, uint8_t shape) {
    Bytes out{shape};
    for (const Bytes& r : reports) Append(out, r.data(), r.size());
    return out;
}

// Reports of varying lengths (some cut short, some too short for a header), with drains.
Bytes PrefixedStream(const std::vector<Bytes>& reports) {
    Bytes out{0x01};
    std::mt19937 rng(11);
    for (size_t i = 0; i < reports.size(); ++i) {
        size_t length = ORDO_REPORT_SIZE;
        if (i % 7 == 3) length = 5 + rng() % 50;
        if (i % 13 == 5) length = 1 + rng() % 4;
        uint8_t control = uint8_t(length - 1);
        if (i % 5 == 4) control |= 0x40;
        if (i == reports.size() / 2) control |= 0x80;
        out.push_back(control);
        Append(out, reports[i].data(), length);
    }
    return out;
}

void HidFramingSeeds() {
    const auto& models = frameModels();
    const FrameModel& small = models[0];
    Write("hid_framing", "bringup_answers", FixedStream(FrameSession(small, {}, 0, 0), 0x00));
    // Scans of a few packings and sizes, one and several blocks a packet.
    for (size_t m : {size_t(0), size_t(5), size_t(8), size_t(9), size_t(11)}) {
        const FrameModel& model = models[m % models.size()];
        const auto session = FrameSession(model, {}, 3, 2);
        Write("hid_framing", "scans_" + Safe(model.name), FixedStream(session, 0x00));
    }
    // Fast reply on: the scans must never be queued.
    Write("hid_framing", "scans_fast_reply", FixedStream(FrameSession(small, {}, 3, 1), 0x02));
    // A consumer that takes packets every 4 reports.
    Write("hid_framing", "scans_drained", FixedStream(FrameSession(small, {}, 4, 3), 4 << 2));
    FaultSettings faults;
    faults.badChecksumEvery = 2;
    Write("hid_framing", "bad_checksums", FixedStream(FrameSession(small, faults, 3, 1), 0x00));
    faults = {};
    faults.dropBlockEvery = 1;
    Write("hid_framing", "dropped_blocks", FixedStream(FrameSession(small, faults, 3, 1), 0x00));
    faults = {};
    faults.reorderBlocksEvery = 1;
    Write("hid_framing", "reordered_blocks", FixedStream(FrameSession(small, faults, 3, 1), 0x00));
    faults = {};
    faults.answerFaults[PACKET_IDEN_QUERY_INFO] = AnswerFault::WrongType;
    faults.answerFaults[PACKET_IDEN_GET_EFFECTS] = AnswerFault::Short;
    Write("hid_framing", "faulty_answers", FixedStream(FrameSession(small, faults, 0, 0), 0x00));
    Write("hid_framing", "short_reports", PrefixedStream(FrameSession(small, {}, 2, 2)));
    // More than a queue holds, unread: the overflow rule.
    std::vector<Bytes> many;
    const auto answers = FrameSession(small, {}, 0, 0);
    while (many.size() < 40) many.insert(many.end(), answers.begin(), answers.end());
    Write("hid_framing", "answer_overflow", FixedStream(many, 0x00));
}

// ---- Frame library --------------------------------------------------------------------------

Bytes SetupRecords(const FrameModel& model, uint8_t control, uint8_t pads) {
    const OrdoConfig config = MakeConfigRecord(model.firmware);
    const OrdoEffs effs = MakeEffsRecord(model.firmware);
    const OrdoCalib calib = MakeCalibRecord(model.firmware);
    Bytes out;
    Append(out, &config, sizeof config);
    Append(out, &effs, sizeof effs);
    Append(out, &calib, sizeof calib);
    out.push_back(control);
    out.push_back(pads);
    return out;
}

void PanoraSeeds() {
    const auto& models = frameModels();
    for (size_t m = 0; m < models.size(); ++m) {
        const FrameModel& model = models[m];
        const std::string name = Safe(model.name);
        if (encodeScan(model, {}).empty()) continue;  // no packing to seed with

        Bytes setup = SetupRecords(model, 0, 0);
        AppendFrame(setup, RawScan(model, 0, 0, 1), 0);
        AppendFrame(setup, RawScan(model, 1, 0, uint32_t(m)), 2);
        Write("panora_setup", name, setup);

        // A frame at rest, then fingers that come and move: the tracker's identities.
        Bytes frames{uint8_t(m), 0x00, 0x00};
        AppendFrame(frames, RawScan(model, 0, 0, 1), 3);
        for (int f = 0; f < 6; ++f) AppendFrame(frames, RawScan(model, 2, f, uint32_t(40 + m)), 0);
        Write("panora_frames", name, frames);

        Bytes decode{uint8_t(m), 0x00, 0x00};
        AppendFrame(decode, RawScan(model, 3, 0, uint32_t(70 + m)), 0);
        Write("panora_decode", "raw_" + name, decode);
        // Round trip: the beam words themselves.
        Bytes words{uint8_t(m), 0x00, 0x01};
        BeamModel beams(model);
        for (uint16_t w : beams.scan(FingersAt(2, 0, uint32_t(90 + m)))) {
            words.push_back(uint8_t(w & 0xFF));
            words.push_back(uint8_t(w >> 8));
        }
        Write("panora_decode", "words_" + name, words);
    }
    // Virtual LEDs, other switches, more fingers and the background's first lesson (frame 101).
    const FrameModel& first = models[0];
    Bytes padded = SetupRecords(first, 0x04, 0x05);
    AppendFrame(padded, RawScan(first, 3, 0, 5), 1);
    Write("panora_setup", "padded_" + Safe(first.name), padded);
    for (size_t m : {size_t(0), size_t(9), size_t(10)}) {
        const FrameModel& model = models[m % models.size()];
        Bytes frames{uint8_t(m % models.size()), 0x14, 0x06};
        AppendFrame(frames, RawScan(model, 5, 0, 9), 0);
        AppendFrame(frames, RawScan(model, 1, 0, 3), 120);
        AppendFrame(frames, RawScan(model, 4, 3, 9), 0);
        Write("panora_frames", "background_" + Safe(model.name), frames);
    }
}

void FrgSeeds() {
    for (const FrameModel& model : frameModels()) {
        if (model.format != RawFormat::Compressed5) continue;
        for (int fingers : {0, 1, 4}) {
            Bytes seed{0x00};
            const Bytes raw = RawScan(model, fingers, 0, 21);
            Append(seed, raw.data(), raw.size());
            Write("frg_decompress", Safe(model.name) + "_" + std::to_string(fingers), seed);
            seed[0] = 0x80 + 100;  // a bound the stream overruns
            Write("frg_decompress", Safe(model.name) + "_" + std::to_string(fingers) + "_cut",
                  seed);
        }
    }
}

// The virtual frame has no descriptor; these are the shapes a frame's firmware publishes:
// a vendor collection with 64-byte input and output reports, numbered or not.
void DescriptorSeeds() {
    const Bytes plain = {0x06, 0x00, 0xFF,  // usage page (vendor)
                         0x09, 0x01,        // usage 1
                         0xA1, 0x01,        // collection (application)
                         0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08, 0x95, 0x40,
                         0x09, 0x01, 0x81, 0x02,  // input 64 x 8 bits
                         0x09, 0x01, 0x91, 0x02,  // output 64 x 8 bits
                         0xC0};
    Write("hid_descriptor", "vendor_64", plain);
    const Bytes numbered = {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x85, 0x02, 0x75, 0x08,
                            0x95, 0x3F, 0x09, 0x01, 0x81, 0x02, 0x85, 0x04, 0x95, 0x3F, 0x09,
                            0x01, 0x91, 0x02, 0xA4, 0x85, 0x05, 0x95, 0x10, 0x81, 0x02, 0xB4,
                            0xFE, 0x02, 0x10, 0xAA, 0xBB, 0xC0};
    Write("hid_descriptor", "numbered_push_pop_long", numbered);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <corpus folder>\n", argv[0]);
        return 2;
    }
    g_root = argv[1];
    HidFramingSeeds();
    PanoraSeeds();
    FrgSeeds();
    DescriptorSeeds();
    std::printf("%zu seed files written under %s\n", g_written, g_root.c_str());
    return 0;
}
