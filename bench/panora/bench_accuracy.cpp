// Accuracy of the frame library on virtual-frame scenarios: raw frames from the model's encoder
// go through OrdaloDataFill, OrdaloDataFix and OrdaloUpdateBlobs, and the reported touches are
// compared with the fingers that made the shadows.
//
// Scenario sets, each on the default model and two others (or every model with --all):
//   grid    - one static finger at each point of a 9 x 7 grid
//   random  - 2 to 10 static fingers at random positions at least 25 mm apart (fixed seeds)
//   moving  - the virtual frame's moving built-ins (drag, circle, scroll, pinch, spread) and
//             seeded groups of fingers sliding in parallel; once more with path smoothing off,
//             to tell its lag from the detection and tracking error
// Frames are scored once the set of fingers has been down long enough for a new finger to be
// confirmed (the tracker withholds new fingers for up to four frames on purpose). A touch
// within 20 mm of a finger is matched to it (nearest pairs first); unmatched touches are ghosts,
// unmatched fingers are misses; a finger whose matched touch changes identity counts one
// identity switch.
//
// Prints one markdown table. Usage: panora_bench_accuracy [--all] [--detail]
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "PanoraCore.h"
#include "VirtualFrame/BeamModel.h"
#include "VirtualFrame/FrameModel.h"
#include "VirtualFrame/FramePlayer.h"
#include "VirtualFrame/RawEncoder.h"
#include "VirtualFrame/Scenario.h"
#include "blob_bench_context.h"

namespace {

using VirtualFrame::Finger;

constexpr double kMatchMm = 20.0;
constexpr int kSettleFrames = 5;  // frames after a change of the finger set before scoring
constexpr int kLiftFrames = 8;    // touch-free frames between trials (held touches run out)
constexpr double kMinSeparationMm = 25.0;

bool g_detail = false;  // --detail: one row per moving scenario

struct Touch {
    int id;
    double x, y;
};

struct Score {
    std::vector<double> errorsMm;
    long frames = 0;
    long ghosts = 0;
    long misses = 0;
    long switches = 0;
};

class Run {
public:
    explicit Run(const VirtualFrame::FrameModel& model, bool smoothing = true)
        : model_(model), beams_(model), ctx_(blobbench::SetUpContext(model)) {
        ok_ = ctx_ != nullptr;
        if (!ok_) return;
        // Set-up switches smoothing on for the whole process; a run without it turns it off.
        g_smi.smoothEnabled = smoothing ? 1 : 0;
        mm_ = model.geometry.mmPerLed();
    }

    bool ok() const { return ok_; }

    std::vector<Touch> Step(const std::vector<Finger>& fingers) {
        const std::vector<uint8_t> raw = VirtualFrame::encodeScan(model_, beams_.scan(fingers));
        OrdaloDataFill(ctx_.get(), raw.data(), static_cast<uint32_t>(raw.size()));
        OrdaloDataFix(ctx_.get());
        OrdaloUpdateBlobs(ctx_.get());
        std::vector<Touch> out;
        for (int i = 0; i < ctx_->outBlobCount; ++i)
            out.push_back(Touch{ctx_->outBlobs[i].id, ctx_->outBlobs[i].cx, ctx_->outBlobs[i].cy});
        return out;
    }

    double Mm(double ax, double ay, double bx, double by) const {
        return std::hypot((ax - bx) * model_.geometry.ledsX * mm_,
                          (ay - by) * model_.geometry.ledsY * mm_);
    }

    // Scores one frame; lastId remembers each finger's identity across frames of a trial.
    void ScoreFrame(const std::vector<Touch>& touches, const std::vector<Finger>& fingers,
                    std::map<int, int>& lastId, Score& score) const {
        const std::vector<blobbench::Matched> matches = blobbench::MatchNearest(
            touches.size(), fingers.size(), kMatchMm, [&](size_t t, size_t f) {
                return Mm(touches[t].x, touches[t].y, fingers[f].x, fingers[f].y);
            });
        const size_t matched = matches.size();
        for (const blobbench::Matched& m : matches) {
            const size_t pt = m.touch, pf = m.finger;
            score.errorsMm.push_back(m.mm);
            const int finger = fingers[pf].id;
            auto it = lastId.find(finger);
            if (it != lastId.end() && it->second != touches[pt].id) ++score.switches;
            lastId[finger] = touches[pt].id;
        }
        score.frames += 1;
        score.ghosts += static_cast<long>(touches.size() - matched);
        score.misses += static_cast<long>(fingers.size() - matched);
    }

    // Holds a static set of fingers for `frames` frames, scoring after the settle time, then
    // lifts them.
    void StaticTrial(const std::vector<Finger>& fingers, int frames, Score& score) {
        std::map<int, int> lastId;
        for (int i = 0; i < frames; ++i) {
            const std::vector<Touch> t = Step(fingers);
            if (i >= kSettleFrames) ScoreFrame(t, fingers, lastId, score);
        }
        for (int i = 0; i < kLiftFrames; ++i) Step({});
    }

    // Plays a scenario at 120 Hz; frames are scored while the set of fingers down has not
    // changed for the settle time.
    void ScenarioTrial(const VirtualFrame::Scenario& scenario, Score& score) {
        VirtualFrame::FramePlayer player(model_, scenario);
        std::map<int, int> lastId;
        std::vector<int> previousIds;
        int steady = 0;
        for (size_t i = 0; i < player.scanCount(); ++i) {
            const std::vector<Finger> fingers = player.fingers(i);
            const std::vector<Touch> t = Step(fingers);
            std::vector<int> ids;
            for (const Finger& f : fingers) ids.push_back(f.id);
            steady = ids == previousIds ? steady + 1 : 0;
            previousIds = ids;
            if (!fingers.empty() && steady >= kSettleFrames) ScoreFrame(t, fingers, lastId, score);
        }
        for (int i = 0; i < kLiftFrames; ++i) Step({});
    }

    const VirtualFrame::FrameModel& model() const { return model_; }
    double widthMm() const { return model_.geometry.ledsX * mm_; }
    double heightMm() const { return model_.geometry.ledsY * mm_; }

private:
    VirtualFrame::FrameModel model_;
    VirtualFrame::BeamModel beams_;
    blobbench::ContextPtr ctx_;
    bool ok_ = false;
    double mm_ = 0;
};

std::vector<Finger> Separated(const Run& run, int n, std::mt19937& rng) {
    std::uniform_real_distribution<double> pos(0.08, 0.92);
    std::vector<Finger> fingers;
    int attempts = 0;
    while (static_cast<int>(fingers.size()) < n && attempts++ < 100000) {
        const Finger f{static_cast<int>(fingers.size()) + 1, pos(rng), pos(rng), 10.0};
        bool apart = true;
        for (const Finger& o : fingers)
            apart = apart && run.Mm(f.x, f.y, o.x, o.y) >= kMinSeparationMm;
        if (apart) fingers.push_back(f);
    }
    return fingers;
}

// Straight-line movers: `n` fingers sliding together in one direction (as in a swipe, so that
// their paths never cross) at 1 to 6 mm per frame, for at most 60 frames.
VirtualFrame::Scenario Movers(const Run& run, int n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> speed(1.0, 6.0), angle(0, 2 * M_PI);
    const std::vector<Finger> start = Separated(run, n, rng);
    const uint32_t moveMs = 500;  // 60 frames at 120 Hz
    std::string starts, ends, ups;
    char line[128];
    const double a = angle(rng), mmPerFrame = speed(rng);
    // The group moves as one: the travel is shortened so that every finger stays on the screen
    // (clamping each finger would squeeze the group together at an edge).
    const double dx = std::cos(a) / run.widthMm(), dy = std::sin(a) / run.heightMm();
    double travel = mmPerFrame * moveMs * 120.0 / 1000.0;
    for (const Finger& f : start) {
        if (dx > 0) travel = std::min(travel, (0.95 - f.x) / dx);
        if (dx < 0) travel = std::min(travel, (0.05 - f.x) / dx);
        if (dy > 0) travel = std::min(travel, (0.95 - f.y) / dy);
        if (dy < 0) travel = std::min(travel, (0.05 - f.y) / dy);
    }
    for (const Finger& f : start) {
        std::snprintf(line, sizeof line, "0 %d %.5f %.5f 10\n", f.id, f.x, f.y);
        starts += line;
        std::snprintf(line, sizeof line, "%u %d %.5f %.5f\n", moveMs, f.id, f.x + dx * travel,
                      f.y + dy * travel);
        ends += line;
        std::snprintf(line, sizeof line, "%u %d up\n", moveMs + 10, f.id);
        ups += line;
    }
    const std::string text = starts + ends + ups;
    return VirtualFrame::Scenario::parseText(text, "movers");
}

double Percentile(std::vector<double> v, double q) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<size_t>(q * v.size()))];
}

void Print(const std::string& model, const char* set, const Score& s) {
    double mean = 0;
    for (double e : s.errorsMm) mean += e;
    if (!s.errorsMm.empty()) mean /= static_cast<double>(s.errorsMm.size());
    const double frames = s.frames > 0 ? static_cast<double>(s.frames) : 1.0;
    std::printf("| %s | %s | %ld | %.2f | %.2f | %.3f | %.3f | %ld |\n", model.c_str(), set,
                s.frames, mean, Percentile(s.errorsMm, 0.95), s.ghosts / frames, s.misses / frames,
                s.switches);
}

void Evaluate(const VirtualFrame::FrameModel& model) {
    {
        Run run(model);
        if (!run.ok()) return;
        Score grid;
        for (int gx = 0; gx < 9; ++gx)
            for (int gy = 0; gy < 7; ++gy)
                run.StaticTrial({{1, 0.06 + gx * 0.11, 0.06 + gy * 0.88 / 6, 10.0}}, 16, grid);
        Print(model.name, "grid (1 finger)", grid);
    }
    {
        Run run(model);
        Score all;
        for (int n = 2; n <= 10; ++n) {
            Score one;
            std::mt19937 rng(static_cast<uint32_t>(100 + n));
            for (int trial = 0; trial < 12; ++trial) {
                const std::vector<Finger> fingers = Separated(run, n, rng);
                run.StaticTrial(fingers, 20, one);
            }
            all.errorsMm.insert(all.errorsMm.end(), one.errorsMm.begin(), one.errorsMm.end());
            all.frames += one.frames;
            all.ghosts += one.ghosts;
            all.misses += one.misses;
            all.switches += one.switches;
            if (n == 2 || n == 5 || n == 10) {
                const std::string set = "random, " + std::to_string(n) + " fingers";
                Print(model.name, set.c_str(), one);
            }
        }
        Print(model.name, "random, 2-10 fingers", all);
    }
    for (const bool smoothing : {true, false}) {
        Run run(model, smoothing);
        Score moving;
        auto play = [&](const VirtualFrame::Scenario& scenario, const std::string& label) {
            Score one;
            run.ScenarioTrial(scenario, one);
            if (g_detail)
                Print(model.name, ((smoothing ? "moving: " : "unsmoothed: ") + label).c_str(), one);
            moving.errorsMm.insert(moving.errorsMm.end(), one.errorsMm.begin(), one.errorsMm.end());
            moving.frames += one.frames;
            moving.ghosts += one.ghosts;
            moving.misses += one.misses;
            moving.switches += one.switches;
        };
        for (const char* name : {"drag", "circle", "two-finger-scroll", "pinch", "spread"})
            play(VirtualFrame::builtinScenario(name), name);
        for (uint32_t seed = 1; seed <= 12; ++seed)
            play(Movers(run, 1 + static_cast<int>(seed % 4), seed),
                 "movers " + std::to_string(seed));
        Print(model.name, smoothing ? "moving" : "moving, smoothing off", moving);
    }
}

}  // namespace

int main(int argc, char** argv) {
    bool all = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--all") == 0) all = true;
        if (std::strcmp(argv[i], "--detail") == 0) g_detail = true;
    }
    std::printf(
        "| model | set | frames scored | mean error mm | p95 error mm | ghosts/frame | "
        "misses/frame | identity switches |\n");
    std::printf("|---|---|---|---|---|---|---|---|\n");
    const std::vector<std::string> chosen = {"19in-72x58-7line", "32in-144x80-7line",
                                             "21in-96x54-5line"};
    for (const VirtualFrame::FrameModel& model : VirtualFrame::frameModels()) {
        if (model.format == VirtualFrame::RawFormat::Unsupported) continue;
        if (!all && std::find(chosen.begin(), chosen.end(), model.name) == chosen.end()) continue;
        Evaluate(model);
    }
    return 0;
}
