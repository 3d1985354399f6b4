// Where the frame library reports static fingers, over uniformly random positions: raw frames
// from the model's encoder go through OrdaloDataFill, OrdaloDataFix and OrdaloUpdateBlobs as on
// a running device (smoothing on, background learnt from 120 empty frames first).
//
// Sets, for finger diameters 8, 10, 12 and 16 mm:
//   single    one finger anywhere on the surface
//   edge      one finger within 5 mm of an edge (drawn there, so the band has its own sample)
//   pair      two fingers 20-150 mm apart in a random direction
//   row       two fingers 20-150 mm apart at the same height (their straight Y shadows merge)
//   3-5       three to five fingers at least 20 mm apart
// Each trial holds the fingers for 7 frames (new fingers are withheld for up to four frames by
// design), scores the last, then lifts them for 8 frames. A touch within 20 mm of a finger is
// matched to it, nearest pairs first; unmatched touches count as ghosts, unmatched fingers as
// misses. Errors are grouped by where the finger is: the whole surface, the 5 mm band along the
// edges, and the interior beyond 15 mm from every edge.
//
// Usage: panora_bench_placement [--all] [--trials N] [--model NAME] [--diameter MM] [--dump FILE]
// Prints one markdown table; without --all the default, 27-inch and 120-inch models. --dump
// writes one line per finger (set, finger x, y, error mm or -1 when missed, ghosts of the trial,
// signed x and y error in mm) for looking into the tail.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "PanoraCore.h"
#include "VirtualFrame/BeamModel.h"
#include "VirtualFrame/FrameModel.h"
#include "VirtualFrame/RawEncoder.h"
#include "blob_bench_context.h"

namespace {

using VirtualFrame::Finger;

constexpr double kMatchMm = 20.0;
constexpr int kDownFrames = 7;
constexpr int kLiftFrames = 8;
constexpr int kWarmUpFrames = 120;  // past the background's first learning frame
constexpr double kEdgeBandMm = 5.0;
constexpr double kInteriorMm = 15.0;

struct Errors {
    std::vector<double> mm;
    void Add(double e) { mm.push_back(e); }
};

struct Tally {
    Errors whole, edge, interior;
    long frames = 0, ghosts = 0, misses = 0;
    const char* name = "";
};

FILE* g_dump = nullptr;

class Bench {
public:
    explicit Bench(const VirtualFrame::FrameModel& model)
        : model_(model), beams_(model), ctx_(blobbench::SetUpContext(model)) {
        if (!ctx_) return;
        mm_ = model.geometry.mmPerLed();
        widthMm_ = model.geometry.ledsX * mm_;
        heightMm_ = model.geometry.ledsY * mm_;
        for (int i = 0; i < kWarmUpFrames; ++i) Step({});
    }
    bool ok() const { return ctx_ != nullptr; }
    double widthMm() const { return widthMm_; }
    double heightMm() const { return heightMm_; }

    double Mm(double ax, double ay, double bx, double by) const {
        return std::hypot((ax - bx) * widthMm_, (ay - by) * heightMm_);
    }
    double EdgeDistanceMm(const Finger& f) const {
        return std::min(std::min(f.x, 1.0 - f.x) * widthMm_, std::min(f.y, 1.0 - f.y) * heightMm_);
    }

    void Trial(const std::vector<Finger>& fingers, Tally& tally) {
        std::vector<ODPoint> touches;
        for (int i = 0; i < kDownFrames; ++i) touches = Step(fingers);
        Score(touches, fingers, tally);
        for (int i = 0; i < kLiftFrames; ++i) Step({});
    }

private:
    std::vector<ODPoint> Step(const std::vector<Finger>& fingers) {
        const std::vector<uint8_t> raw = VirtualFrame::encodeScan(model_, beams_.scan(fingers));
        OrdaloDataFill(ctx_.get(), raw.data(), static_cast<uint32_t>(raw.size()));
        OrdaloDataFix(ctx_.get());
        OrdaloUpdateBlobs(ctx_.get());
        std::vector<ODPoint> out;
        for (int i = 0; i < ctx_->outBlobCount; ++i)
            out.push_back(ODPoint{ctx_->outBlobs[i].cx, ctx_->outBlobs[i].cy});
        return out;
    }

    void Score(const std::vector<ODPoint>& touches, const std::vector<Finger>& fingers,
               Tally& tally) const {
        const std::vector<blobbench::Matched> matches = blobbench::MatchNearest(
            touches.size(), fingers.size(), kMatchMm, [&](size_t t, size_t f) {
                return Mm(touches[t].x, touches[t].y, fingers[f].x, fingers[f].y);
            });
        const size_t matched = matches.size();
        if (g_dump != nullptr) {
            std::vector<double> error(fingers.size(), -1.0), ex(fingers.size(), 0.0),
                ey(fingers.size(), 0.0);
            for (const blobbench::Matched& p : matches) {
                error[p.finger] = p.mm;
                ex[p.finger] = (touches[p.touch].x - fingers[p.finger].x) * widthMm_;
                ey[p.finger] = (touches[p.touch].y - fingers[p.finger].y) * heightMm_;
            }
            for (size_t f = 0; f < fingers.size(); ++f)
                std::fprintf(g_dump, "%s %.6f %.6f %.3f %zu %.3f %.3f\n", tally.name,
                             fingers[f].x, fingers[f].y, error[f], touches.size() - matched,
                             ex[f], ey[f]);
        }
        for (const blobbench::Matched& p : matches) {
            const double edge = EdgeDistanceMm(fingers[p.finger]);
            tally.whole.Add(p.mm);
            if (edge <= kEdgeBandMm) tally.edge.Add(p.mm);
            if (edge > kInteriorMm) tally.interior.Add(p.mm);
        }
        tally.frames += 1;
        tally.ghosts += static_cast<long>(touches.size() - matched);
        tally.misses += static_cast<long>(fingers.size() - matched);
    }

    VirtualFrame::FrameModel model_;
    VirtualFrame::BeamModel beams_;
    blobbench::ContextPtr ctx_;
    double mm_ = 0, widthMm_ = 0, heightMm_ = 0;
};

double Quantile(std::vector<double> v, double q) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<size_t>(q * static_cast<double>(v.size())))];
}

void Row(const std::string& model, double d, const char* set, const char* region,
         const Errors& e, const Tally& t) {
    if (e.mm.empty()) return;
    double mean = 0;
    for (double x : e.mm) mean += x;
    mean /= static_cast<double>(e.mm.size());
    const double frames = t.frames > 0 ? static_cast<double>(t.frames) : 1.0;
    std::printf("| %s | %.0f | %s | %s | %zu | %.2f | %.2f | %.2f | %.3f | %.3f |\n",
                model.c_str(), d, set, region, e.mm.size(), mean, Quantile(e.mm, 0.95),
                *std::max_element(e.mm.begin(), e.mm.end()), t.ghosts / frames,
                t.misses / frames);
}

void Evaluate(const VirtualFrame::FrameModel& model, double diameter, int trials) {
    Bench bench(model);
    if (!bench.ok()) return;
    blobbench::FingerDraw draw(bench.widthMm(), bench.heightMm(),
                               1600u + static_cast<uint32_t>(diameter));
    Tally single, edge, pair, row, several;
    single.name = "single", edge.name = "edge", pair.name = "pair", row.name = "row";
    several.name = "several";
    for (int i = 0; i < trials; ++i) {
        bench.Trial({draw.Anywhere(1, diameter)}, single);
        bench.Trial({draw.InEdgeBand(1, diameter)}, edge);
        bench.Trial(draw.Pair(diameter, false), pair);
        bench.Trial(draw.Pair(diameter, true), row);
        bench.Trial(draw.Several(diameter), several);
    }
    const std::string& n = model.name;
    Row(n, diameter, "single", "whole", single.whole, single);
    Row(n, diameter, "single", "interior", single.interior, single);
    Row(n, diameter, "single", "edge band", edge.edge, edge);
    Row(n, diameter, "pair", "whole", pair.whole, pair);
    Row(n, diameter, "pair in one row", "whole", row.whole, row);
    Row(n, diameter, "3-5 fingers", "whole", several.whole, several);
}

}  // namespace

int main(int argc, char** argv) {
    bool all = false;
    int trials = 400;
    std::string onlyModel;
    double onlyDiameter = 0;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--all") == 0) all = true;
        if (std::strcmp(argv[i], "--trials") == 0 && i + 1 < argc) trials = std::atoi(argv[++i]);
        if (std::strcmp(argv[i], "--model") == 0 && i + 1 < argc) onlyModel = argv[++i];
        if (std::strcmp(argv[i], "--diameter") == 0 && i + 1 < argc)
            onlyDiameter = std::atof(argv[++i]);
        if (std::strcmp(argv[i], "--dump") == 0 && i + 1 < argc) g_dump = std::fopen(argv[++i], "w");
    }
    std::printf(
        "| model | finger mm | set | region | touches | mean mm | p95 mm | max mm | ghosts/frame "
        "| misses/frame |\n|---|---|---|---|---|---|---|---|---|---|\n");
    const std::vector<std::string> chosen = {"19in-72x58-7line", "27in-112x64-15line-words",
                                             "120in-480x270-5line"};
    for (const VirtualFrame::FrameModel& model : VirtualFrame::frameModels()) {
        if (model.format == VirtualFrame::RawFormat::Unsupported) continue;
        if (!onlyModel.empty() ? model.name != onlyModel
                               : (!all && std::find(chosen.begin(), chosen.end(), model.name) ==
                                              chosen.end())) {
            continue;
        }
        for (double d : {8.0, 10.0, 12.0, 16.0}) {
            if (onlyDiameter > 0 && d != onlyDiameter) continue;
            Evaluate(model, d, trials);
        }
    }
    if (g_dump != nullptr) std::fclose(g_dump);
    return 0;
}
