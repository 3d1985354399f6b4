// How well any estimator could place a lone static finger from one scan of the beam model: for
// fingers at uniformly random positions, every centre (and radius) that would block exactly the
// beams the finger blocks is found by brute force, and the error of that set's centroid is what
// an ideal estimator would make. The frame library's own figures come from panora_bench_placement
// over the same kind of positions; this program says how far below them one could go at all.
//
// A beam is blocked when the disc reaches its centre line between the two edges (the beam
// model's rule). For a centre p the beams then bound the radius: at least the distance to every
// blocked beam, less than the distance to every beam that arrived. The centres for which that
// interval is not empty form the consistent set; each is weighted by the length of its interval
// within 0.5-1.5 times the true radius (a radius drawn evenly from that range), or with
// --known-radius by whether the true radius lies in it. Centres off the screen are left out, as
// the fingers are drawn on it.
//
// Sets, drawn as panora_bench_placement draws them: one finger anywhere (its errors reported for
// the whole surface and for the interior beyond 15 mm from every edge), one finger within 5 mm
// of an edge (the edge band), and the fingers of pairs 20-150 mm apart (in a random direction or
// in one row), each placed from a scan of it alone and from the pair's scan with the other
// finger's place known.
//
// Usage: panora_bench_bound [--model NAME] [--diameter MM] [--trials N] [--grid N] [--known-radius]
//                           [--from DUMP]
// Prints one markdown table row per region: touches, mean, p95 and max error in millimetres,
// and how many trials had a consistent set reaching the searched box (then the box was too small
// and the figure is not a bound). With --from, the fingers are those of a panora_bench_placement
// --dump file of the same model and diameter, and each row sets the library's errors on exactly
// those fingers beside the ideal estimator's.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "VirtualFrame/BeamModel.h"
#include "VirtualFrame/FrameModel.h"
#include "blob_bench_context.h"

namespace {

using VirtualFrame::Axis;
using VirtualFrame::Beam;
using VirtualFrame::BeamModel;
using VirtualFrame::Finger;

constexpr double kInteriorMm = 15.0;
constexpr double kBoxLeds = 1.6;  // half-width of the searched box, in LED pitches

struct Options {
    std::string model = "19in-72x58-7line";
    double diameter = 10.0;
    int trials = 4000;
    int grid = 120;
    bool knownRadius = false;
    std::string from;
};

struct Result {
    double errorMm = 0;
    bool clipped = false;
    bool empty = false;
};

class Bound {
public:
    Bound(const VirtualFrame::FrameModel& model, const Options& o) : beams_(model), o_(o) {
        const auto& g = model.geometry;
        mm_ = g.mmPerLed();
        widthMm_ = g.ledsX * mm_;
        heightMm_ = g.ledsY * mm_;
        for (const Axis axis : {Axis::X, Axis::Y}) {
            const int count = axis == Axis::X ? g.ledsX : g.ledsY;
            const int half = (axis == Axis::X ? g.linesX : g.linesY) / 2;
            for (int line = -half; line <= half; ++line)
                for (int led = 0; led < count; ++led) {
                    const Beam b{axis, led, line};
                    if (beams_.exists(b)) all_.push_back(b);
                }
        }
    }

    double widthMm() const { return widthMm_; }
    double heightMm() const { return heightMm_; }

    // Places f from one scan of f and `others`, the others' places known exactly: a beam one of
    // them blocks tells nothing of f, every other beam does.
    Result Place(const Finger& f, const std::vector<Finger>& others = {}) const {
        const double radius = f.diameterMm / 2.0;
        const double cx = beams_.frameX(f.x) * widthMm_, cy = beams_.frameY(f.y) * heightMm_;
        const std::vector<Beam> blockedList = beams_.blockedBy(f);
        const std::set<Beam> blocked(blockedList.begin(), blockedList.end());
        std::set<Beam> hidden;
        for (const Finger& o : others)
            for (const Beam& b : beams_.blockedBy(o)) hidden.insert(b);
        const double rMin = 0.5 * radius, rMax = 1.5 * radius;
        const double box = kBoxLeds * mm_;
        // Beams that can bear on a centre in the box with a radius up to rMax.
        struct Near {
            Beam beam;
            bool blocked;
        };
        std::vector<Near> near;
        for (const Beam& b : all_)
            if (!hidden.count(b) && beams_.distanceMm(b, cx, cy) <= rMax + box * 1.5)
                near.push_back({b, blocked.count(b) > 0});

        double sumW = 0, sumX = 0, sumY = 0;
        bool clipped = false;
        const int n = o_.grid;
        for (int i = 0; i < n; ++i) {
            const double px = cx - box + (i + 0.5) * 2 * box / n;
            for (int j = 0; j < n; ++j) {
                const double py = cy - box + (j + 0.5) * 2 * box / n;
                // Fingers are drawn on the screen, so no centre off it is consistent.
                if (px < 0 || px > widthMm_ || py < 0 || py > heightMm_) continue;
                double lo = 0, hi = 1e9;
                for (const Near& e : near) {
                    const double d = beams_.distanceMm(e.beam, px, py);
                    if (e.blocked) {
                        lo = std::max(lo, d);
                    } else {
                        hi = std::min(hi, d);
                    }
                    if (lo >= hi) break;
                }
                double w;
                if (o_.knownRadius) {
                    w = (lo <= radius && radius < hi) ? 1.0 : 0.0;
                } else {
                    w = std::max(0.0, std::min(hi, rMax) - std::max(lo, rMin));
                }
                if (w <= 0) continue;
                sumW += w;
                sumX += w * px;
                sumY += w * py;
                if (i == 0 || j == 0 || i == n - 1 || j == n - 1) clipped = true;
            }
        }
        Result r;
        r.clipped = clipped;
        if (sumW <= 0) {
            r.empty = true;
            return r;
        }
        r.errorMm = std::hypot(sumX / sumW - cx, sumY / sumW - cy);
        return r;
    }

private:
    BeamModel beams_;
    Options o_;
    double mm_ = 0, widthMm_ = 0, heightMm_ = 0;
    std::vector<Beam> all_;
};

struct Tally {
    std::vector<double> mm;
    int clipped = 0, empty = 0;
    void Add(const Result& r) {
        if (r.clipped) ++clipped;
        if (r.empty) {
            ++empty;
        } else {
            mm.push_back(r.errorMm);
        }
    }
};

void Row(const Options& o, const char* set, const char* region, Tally t) {
    std::sort(t.mm.begin(), t.mm.end());
    double mean = 0;
    for (double e : t.mm) mean += e;
    const size_t n = t.mm.size();
    if (n == 0) {
        std::printf("| %s | %.0f | %s | %s | 0 | | | | %d | %d |\n", o.model.c_str(),
                    o.diameter, set, region, t.clipped, t.empty);
        return;
    }
    std::printf("| %s | %.0f | %s | %s | %zu | %.2f | %.2f | %.2f | %d | %d |\n",
                o.model.c_str(), o.diameter, set, region, n, mean / n,
                t.mm[std::min(n - 1, n * 95 / 100)], t.mm.back(), t.clipped, t.empty);
}

// The library's errors from a placement dump beside the ideal estimator's on the same fingers:
// singles placed alone, pairs (consecutive lines of the "pair" and "row" sets) each alone and
// with the other finger known. Missed fingers (error -1) are left out of both.
int Compare(const Options& o, const Bound& bound) {
    FILE* in = std::fopen(o.from.c_str(), "r");
    if (in == nullptr) {
        std::fprintf(stderr, "cannot read %s\n", o.from.c_str());
        return 2;
    }
    struct Line {
        std::string set;
        Finger f;
        double mm;
    };
    std::vector<Line> lines;
    char set[32];
    double x, y, mm, ex, ey;
    int ghosts;
    while (std::fscanf(in, "%31s %lf %lf %lf %d %lf %lf", set, &x, &y, &mm, &ghosts, &ex, &ey) == 7)
        lines.push_back({set, Finger{1, x, y, o.diameter}, mm});
    std::fclose(in);
    Tally lib[4], ideal[4], known[4];
    const char* names[4] = {"single, whole", "single, interior", "pair", "pair in one row"};
    auto add = [](Tally& t, double e) {
        Result r;
        r.errorMm = e;
        t.Add(r);
    };
    for (size_t i = 0; i < lines.size(); ++i) {
        const Line& l = lines[i];
        if (l.set == "single" && l.mm >= 0) {
            const Result r = bound.Place(l.f);
            const double edge = std::min(std::min(l.f.x, 1 - l.f.x) * bound.widthMm(),
                                         std::min(l.f.y, 1 - l.f.y) * bound.heightMm());
            for (int g = 0; g < (edge > kInteriorMm ? 2 : 1); ++g) {
                add(lib[g], l.mm);
                ideal[g].Add(r);
            }
        }
        if ((l.set == "pair" || l.set == "row") && i + 1 < lines.size() && lines[i + 1].set == l.set) {
            const int g = l.set == "pair" ? 2 : 3;
            for (int k = 0; k < 2; ++k) {
                const Line& a = lines[i + k];
                const Line& b = lines[i + 1 - k];
                if (a.mm < 0) continue;
                add(lib[g], a.mm);
                ideal[g].Add(bound.Place(a.f));
                known[g].Add(bound.Place(a.f, {b.f}));
            }
            ++i;
        }
    }
    std::printf("| set | fingers | library: mean | p95 | ideal, alone: mean | p95 | ideal, other known: "
                "mean | p95 |\n|---|---|---|---|---|---|---|---|\n");
    for (int g = 0; g < 4; ++g) {
        if (lib[g].mm.empty()) continue;
        auto stat = [](Tally t, double* mean) {
            std::sort(t.mm.begin(), t.mm.end());
            *mean = 0;
            for (double e : t.mm) *mean += e;
            *mean /= static_cast<double>(t.mm.size());
            return t.mm[std::min(t.mm.size() - 1, t.mm.size() * 95 / 100)];
        };
        double m1, m2, m3 = 0;
        const double p1 = stat(lib[g], &m1), p2 = stat(ideal[g], &m2);
        const double p3 = known[g].mm.empty() ? 0 : stat(known[g], &m3);
        std::printf("| %s | %zu | %.2f | %.2f | %.2f | %.2f |", names[g], lib[g].mm.size(), m1, p1,
                    m2, p2);
        if (known[g].mm.empty()) {
            std::printf(" | |\n");
        } else {
            std::printf(" %.2f | %.2f |\n", m3, p3);
        }
    }
    return 0;
}

int Run(const Options& o) {
    const VirtualFrame::FrameModel* model = VirtualFrame::findFrameModel(o.model);
    if (model == nullptr) {
        std::fprintf(stderr, "no model %s in the catalogue\n", o.model.c_str());
        return 2;
    }
    const Bound bound(*model, o);
    if (!o.from.empty()) return Compare(o, bound);
    blobbench::FingerDraw draw(bound.widthMm(), bound.heightMm(), 2026u);
    Tally whole, interior, edge, pair, row, pairKnown, rowKnown;
    for (int t = 0; t < o.trials; ++t) {
        const Finger f = draw.Anywhere(1, o.diameter);
        const Result r = bound.Place(f);
        whole.Add(r);
        const double edgeMm = std::min(std::min(f.x, 1 - f.x) * bound.widthMm(),
                                       std::min(f.y, 1 - f.y) * bound.heightMm());
        if (edgeMm > kInteriorMm) interior.Add(r);
        edge.Add(bound.Place(draw.InEdgeBand(1, o.diameter)));
        // The fingers of a pair, each placed as if it were alone, and each placed from the
        // pair's scan with the other finger's place known: sharing the scan with the other can
        // only take information away, and knowing the other exactly is more than any estimator
        // knows, so a pair's errors cannot be smaller than either.
        for (const bool sameRow : {false, true}) {
            const std::vector<Finger> fingers = draw.Pair(o.diameter, sameRow);
            for (size_t i = 0; i < fingers.size(); ++i) {
                (sameRow ? row : pair).Add(bound.Place(fingers[i]));
                (sameRow ? rowKnown : pairKnown).Add(bound.Place(fingers[i], {fingers[1 - i]}));
            }
        }
    }
    Row(o, "single", "whole", whole);
    Row(o, "single", "interior", interior);
    Row(o, "single", "edge band", edge);
    Row(o, "pair, each alone", "whole", pair);
    Row(o, "pair in one row, each alone", "whole", row);
    Row(o, "pair, the other known", "whole", pairKnown);
    Row(o, "pair in one row, the other known", "whole", rowKnown);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool more = i + 1 < argc;
        if (a == "--model" && more) {
            o.model = argv[++i];
        } else if (a == "--diameter" && more) {
            o.diameter = std::atof(argv[++i]);
        } else if (a == "--trials" && more) {
            o.trials = std::atoi(argv[++i]);
        } else if (a == "--grid" && more) {
            o.grid = std::atoi(argv[++i]);
        } else if (a == "--from" && more) {
            o.from = argv[++i];
        } else if (a == "--known-radius") {
            o.knownRadius = true;
        } else {
            std::fprintf(stderr,
                         "usage: %s [--model NAME] [--diameter MM] [--trials N] [--grid N] "
                         "[--known-radius] [--from DUMP]\n",
                         argv[0]);
            return 2;
        }
    }
    if (o.trials < 1 || o.grid < 8 || !(o.diameter > 0)) {
        std::fprintf(stderr, "trials must be at least 1, grid at least 8, diameter positive\n");
        return 2;
    }
    if (o.from.empty()) {
        std::printf(
            "| model | finger mm | set | region | touches | mean | p95 | max | clipped | empty |\n");
        std::printf("|---|---|---|---|---|---|---|---|---|---|\n");
    }
    return Run(o);
}
