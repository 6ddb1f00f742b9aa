// Kernels of the search engine against the straightforward ones they must match, on frames
// of the lunar sample (640 x 480, as in the standard workloads).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include "blocks/block_search.h"
#include "blocks/block_stage.h"
#include "blocks/feature_image.h"
#include "common/parallel.h"
#include "common/precision.h"
#include "driver/run_settings.h"
#include "imageio/frame_source.h"
#include "make_sequence/sequence.h"
#include "reference/plain.h"
#include "registration/difference_kernel.h"
#include "registration/global_adjustment.h"
#include "registration/image_difference.h"
#include "registration/resampling.h"
#include "registration/subpixel_refinement.h"

namespace {

Image frame(std::int32_t index) {
    static kalseq::Raster scene;
    if (scene.width == 0) {
        std::string error;
        if (!kalseq::readBmp(KAL_SAMPLE_SCENE, scene, error)) std::abort();
    }
    kalseq::SequenceOptions options;
    options.seed = 9;
    const kalseq::Raster r = kalseq::renderFrame(scene, options, index);
    const std::vector<std::uint8_t> px = kalseq::withValidity(r);
    Image im;
    im.width = r.width;
    im.height = r.height;
    im.x0 = r.width / 2;
    im.y0 = r.height / 2;
    im.pixels = allocatePixels(im.width, im.height);
    std::memcpy(im.pixels, px.data(), px.size());
    return im;
}

struct Frames {
    Image reference = frame(0), current = frame(1);
};

// Standard output sent to /dev/null while it lives (the stages print their progress).
struct Quiet {
    int saved;
    Quiet() {
        std::fflush(stdout);
        saved = dup(1);
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        close(null);
    }
    ~Quiet() {
        std::fflush(stdout);
        dup2(saved, 1);
        close(saved);
    }
};

Frames& frames() {
    static Frames f;
    return f;
}

// The measure of a near match (the reference against itself moved by one pixel), whole, by
// the plain loop and by the exact integer kernel.
void BM_Difference(benchmark::State& state) {
    Frames& f = frames();
    Image moved = f.reference;
    moved.x0 += 1;
    const bool fast = state.range(0) != 0;
    for (auto _ : state) {
        if (fast)
            benchmark::DoNotOptimize(boundedImageDifference(moved, f.reference, INFINITY).value);
        else
            benchmark::DoNotOptimize(imageDifference(moved, f.reference));
    }
    state.SetItemsProcessed(state.iterations() * 639 * 480);
}
BENCHMARK(BM_Difference)->Arg(0)->Arg(1);

void BM_RotatedSample(benchmark::State& state) {
    Frames& f = frames();
    const bool fast = state.range(0) != 0;
    for (auto _ : state) {
        Image s = fast ? rotatedSample(f.current, 640, 480, 0.02f) : plain::rotatedSample(f.current, 640, 480, 0.02f);
        releasePixels(s);
    }
}
BENCHMARK(BM_RotatedSample)->Arg(0)->Arg(1);

void BM_RotateAndShift(benchmark::State& state) {
    Frames& f = frames();
    const bool fast = state.range(0) != 0;
    for (auto _ : state) {
        Image s = fast ? rotateAndShift(f.current.pixels, 640, 480, 320, 240, 0.02f, 3, -2)
                       : plain::rotateAndShift(f.current.pixels, 640, 480, 320, 240, 0.02f, 3, -2);
        releasePixels(s);
    }
}
BENCHMARK(BM_RotateAndShift)->Arg(0)->Arg(1);

// The global adjustment of one frame: Angle -5 5 1, Translation 20 1.
void BM_GlobalAdjustment(benchmark::State& state) {
    const bool fast = state.range(0) != 0;
    for (auto _ : state) {
        state.PauseTiming();
        resetRunSettings();
        settings.reference = frame(0);
        settings.current = frame(1);
        settings.angleMin = float(InterD(-5.0f) * kOneDegree);
        settings.angleMax = float(InterD(5.0f) * kOneDegree);
        settings.angleStep = float(InterD(1.0f) * kOneDegree);
        settings.shiftXMin = settings.shiftYMin = -20;
        settings.shiftXMax = settings.shiftYMax = 20;
        settings.shiftStep = 1;
        settings.translationFraction = 6;
        {
            Quiet quiet;
            state.ResumeTiming();
            fast ? globalAdjustment() : plain::globalAdjustment();
            state.PauseTiming();
        }
        resetRunSettings();
        state.ResumeTiming();
    }
}
BENCHMARK(BM_GlobalAdjustment)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// The block stage of one aligned frame: Bloc 32 8 4 1 (whole steps) or 32 8 3 0.25.
void BM_BlockStage(benchmark::State& state) {
    const bool fast = state.range(0) != 0;
    const bool fractional = state.range(1) != 0;
    for (auto _ : state) {
        state.PauseTiming();
        resetRunSettings();
        settings.reference = frame(0);
        settings.current = frame(1);
        settings.blockGridWidth = 32;
        settings.blockSearchWidth = 8;
        const std::int32_t m = fractional ? 3 : 4;
        settings.blockShiftXMin = settings.blockShiftYMin = -m;
        settings.blockShiftXMax = settings.blockShiftYMax = m;
        settings.blockShiftStep = fractional ? 0.25f : 1.0f;
        {
            Quiet quiet;
            state.ResumeTiming();
            fast ? runBlockStage() : plain::runBlockStage();
            state.PauseTiming();
        }
        resetRunSettings();
        state.ResumeTiming();
    }
}
BENCHMARK(BM_BlockStage)->Args({0, 0})->Args({1, 0})->Args({0, 1})->Args({1, 1})->Unit(benchmark::kMillisecond);

// Loading one 640x480 16-bit grey frame of a SER video (big-endian samples, the byte order
// told from the data) and making its 8-bit view: what a camera frame costs beyond a BMP's.
void BM_SerFrame(benchmark::State& state) {
    const Image& im = frames().current;
    std::vector<std::uint8_t> bytes(178, 0);
    std::memcpy(bytes.data(), "LUCAM-RECORDER", 14);
    const std::int32_t header[6] = {0, 1, im.width, im.height, 16, 2};
    for (int k = 0; k < 6; ++k)
        for (int b = 0; b < 4; ++b)
            bytes[18 + 4 * std::size_t(k) + std::size_t(b)] = std::uint8_t(std::uint32_t(header[k]) >> (8 * b));
    for (int f = 0; f < 2; ++f)
        for (std::size_t i = 0; i < pixelBytes(im.width, im.height); i += kBytesPerPixel) {
            const std::uint32_t v = (im.pixels[i] + 2u * im.pixels[i + 1] + im.pixels[i + 2]) * 64u + i % 64;
            bytes.push_back(std::uint8_t(v >> 8));
            bytes.push_back(std::uint8_t(v & 0xFF));
        }
    char path[] = "/tmp/kal_bench_XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0 || write(fd, bytes.data(), bytes.size()) != ssize_t(bytes.size())) std::abort();
    close(fd);
    for (auto _ : state) {
        Image loaded;
        DeepImage deep;
        {
            Quiet quiet;
            if (loadFrame(path, 1, loaded, deep) != kFrameLoaded) std::abort();
        }
        Image view = viewOf(deep, largestSample(deep));
        benchmark::DoNotOptimize(view.pixels);
        releasePixels(view);
    }
    unlink(path);
}
BENCHMARK(BM_SerFrame)->Unit(benchmark::kMillisecond);

}   // namespace

// The sub-pixel refinement of frame 1 from a whole-pixel start (shift truncated, angle a third
// of a degree off), on 1 or 2 threads: the time Affinage adds to a frame's registration.
void BM_SubpixelRefinement(benchmark::State& state) {
    Frames& f = frames();
    kalseq::SequenceOptions options;
    options.seed = 9;
    const kalseq::FrameTruth t = kalseq::frameTruth(options, 1);
    const RigidMotion start{(t.rotationDegrees + 0.33) * kOneDegree, double(std::int32_t(t.shiftX)),
                            double(std::int32_t(t.shiftY))};
    const int before = workerCount();
    setWorkerCount(int(state.range(0)));
    for (auto _ : state) benchmark::DoNotOptimize(refineRigidMotion(f.reference, f.current, start, 20));
    setWorkerCount(before);
}
BENCHMARK(BM_SubpixelRefinement)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
