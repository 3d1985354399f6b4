// The sub-LED refinement over fixed frames, for counting its instructions rather than timing it
// (the machines are shared and noisy; an instruction count repeats to the digit):
//
//   valgrind --tool=callgrind --toggle-collect=RefineBlobCentres
//            panora_bench_refine_instructions MODEL FINGERS FRAMES
//            [pairs|circling|circling-pairs|apart]
//   (one command line)
//
// Each frame holds FINGERS 10 mm fingers at uniformly random positions (fixed seed, at least
// 30 mm apart, away from the edges as in the Refine rows of panora_bench_updateblobs). With
// "circling", the frames are instead those the Refine rows time: one placement whose fingers
// drift on small circles, FRAMES of its 240 frames (looped). With "apart" (FINGERS 2), each
// frame holds two fingers as the placement benchmark's pair set draws them: one anywhere, the
// other 20-150 mm from it in a random direction. Detection,
// masking, ghost removal and the lone-touch rescue run first, then RefineBlobCentres once. The
// program prints the touches refined; callgrind's count divided by them is the cost per touch.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "PanoraCore.h"
#include "VirtualFrame/BeamModel.h"
#include "VirtualFrame/FrameModel.h"
#include "blob_bench_context.h"

int main(int argc, char** argv) {
    const char* mode = argc == 5 ? argv[4] : "";
    const bool circling = std::strncmp(mode, "circling", 8) == 0;
    // "pairs": the fingers come in pairs 20-24 mm apart in one row, the pairs kept apart.
    const bool pairs = std::strcmp(mode, "pairs") == 0 || std::strcmp(mode, "circling-pairs") == 0;
    const bool apart = std::strcmp(mode, "apart") == 0;
    if (argc < 4 || argc > 5 ||
        (argc == 5 && !pairs && !apart && std::strcmp(mode, "circling") != 0)) {
        std::fprintf(stderr,
                     "usage: %s MODEL FINGERS FRAMES [pairs|circling|circling-pairs|apart]\n",
                     argv[0]);
        return 2;
    }
    const VirtualFrame::FrameModel* model = VirtualFrame::findFrameModel(argv[1]);
    const int fingers = std::atoi(argv[2]), frames = std::atoi(argv[3]);
    if (model == nullptr || fingers < 1 || frames < 1 || (apart && fingers != 2)) {
        std::fprintf(stderr, "unknown model, FINGERS or FRAMES below 1, or apart without 2\n");
        return 2;
    }
    blobbench::ContextPtr ctx = blobbench::SetUpContext(*model);
    if (!ctx) {
        std::fprintf(stderr, "set-up refused the geometry\n");
        return 1;
    }
    VirtualFrame::BeamModel beams(*model);
    const double mm = model->geometry.mmPerLed();
    const double w = model->geometry.ledsX * mm, h = model->geometry.ledsY * mm;
    std::mt19937 rng(static_cast<uint32_t>(777 + fingers));
    const std::vector<std::vector<uint16_t>> loop =
        circling ? blobbench::CirclingFrames(*model, fingers, pairs)
                 : std::vector<std::vector<uint16_t>>();
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    auto twoApart = [&]() {
        for (;;) {
            const double x = unit(rng), y = unit(rng);
            const double d = 20.0 + 130.0 * unit(rng), a = 2.0 * M_PI * unit(rng);
            const double x2 = x + d * std::cos(a) / w, y2 = y + d * std::sin(a) / h;
            if (x2 >= 0.0 && x2 <= 1.0 && y2 >= 0.0 && y2 <= 1.0)
                return std::vector<VirtualFrame::Finger>{{1, x, y, 10.0}, {2, x2, y2, 10.0}};
        }
    };
    long touches = 0;
    for (int frame = 0; frame < frames; ++frame) {
        const std::vector<uint16_t> words =
            circling ? loop[static_cast<size_t>(frame) % loop.size()]
            : apart  ? beams.scan(twoApart())
                     : beams.scan(blobbench::SpreadFingers(rng, w, h, fingers, 30.0, pairs));
        std::memcpy(ctx->scan, words.data(), words.size() * sizeof(uint16_t));
        findBlobs_Improved(ctx.get());
        RemoveBackground(ctx.get());
        RemoveFalseBlobsEx2(ctx.get());
        SingleTouchEx(ctx.get());
        RefineBlobCentres(ctx.get());
        touches += ctx->blobCount;
    }
    std::printf("%s: %d frames of %d fingers, %ld touches refined\n", argv[1], frames, fingers,
                touches);
    return 0;
}
