// The sub-LED refinement over fixed frames, for counting its instructions rather than timing it
// (the machines are shared and noisy; an instruction count repeats to the digit):
//
//   valgrind --tool=callgrind --toggle-collect=RefineBlobCentres
//            panora_bench_refine_instructions MODEL FINGERS FRAMES [pairs|circling|circling-pairs]
//   (one command line)
//
// Each frame holds FINGERS 10 mm fingers at uniformly random positions (fixed seed, at least
// 30 mm apart, away from the edges as in the Refine rows of panora_bench_updateblobs). With
// "circling", the frames are instead those the Refine rows time: one placement whose fingers
// drift on small circles, FRAMES of its 240 frames (looped). Detection,
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
    if (argc < 4 || argc > 5 || (argc == 5 && !pairs && std::strcmp(mode, "circling") != 0)) {
        std::fprintf(stderr, "usage: %s MODEL FINGERS FRAMES [pairs|circling|circling-pairs]\n",
                     argv[0]);
        return 2;
    }
    const VirtualFrame::FrameModel* model = VirtualFrame::findFrameModel(argv[1]);
    const int fingers = std::atoi(argv[2]), frames = std::atoi(argv[3]);
    if (model == nullptr || fingers < 1 || frames < 1) {
        std::fprintf(stderr, "unknown model, or FINGERS or FRAMES below 1\n");
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
    long touches = 0;
    for (int frame = 0; frame < frames; ++frame) {
        const std::vector<uint16_t> words =
            circling ? loop[static_cast<size_t>(frame) % loop.size()]
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
