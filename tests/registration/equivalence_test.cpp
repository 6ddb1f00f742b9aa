// The fast search engine against the straightforward stages kept in reference/: on
// random small cases both must print, log and produce exactly the same bytes, whatever the
// number of threads.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "blocks/block_stage.h"
#include "blocks/feature_image.h"
#include "common/cpu.h"
#include "common/parallel.h"
#include "common/precision.h"
#include "reference/plain.h"
#include "registration/coarse_translation.h"
#include "registration/difference_kernel.h"
#include "registration/global_adjustment.h"
#include "registration/image_difference.h"
#include "registration/resampling.h"
#include "registration/shift_search.h"
#include "support/random.h"
#include "support/run_program.h"
#include "support/test_images.h"
#include "support/with_settings.h"

namespace {

bool sameImage(const Image& a, const Image& b) {
    return a.width == b.width && a.height == b.height && a.x0 == b.x0 && a.y0 == b.y0 &&
           std::equal(a.pixels, a.pixels + pixelBytes(a.width, a.height), b.pixels);
}

// A frame of the synthetic scene, noisy, flat or mixed, so that ties and near ties occur.
Image randomFrame(TestRandom& rng, std::int32_t width, std::int32_t height, std::uint32_t scene) {
    const int kind = rng.range(0, 5);
    if (kind == 0) return makeImage(width, height, {std::uint8_t(rng.range(0, 255)), 90, 30, 255});
    Image im = syntheticFrame(width, height, rng.range(-40, 40) / 10.0, rng.range(-60, 60) / 10.0,
                              rng.range(-60, 60) / 10.0, scene);
    const int noise = kind == 1 ? 0 : rng.range(0, 12);
    for (std::size_t i = 0; i < pixelBytes(width, height); ++i) {
        if (i % 4 == 3) {
            if (rng.chance(2)) im.pixels[i] = std::uint8_t(rng.range(0, 254));
            continue;
        }
        im.pixels[i] = std::uint8_t(std::clamp(int(im.pixels[i]) + rng.range(-noise, noise), 0, 255));
    }
    return im;
}

// What one call leaves behind: console text, shift-log text, the current image, and the
// block offsets the block stage found (ties the deformed image cannot show included).
struct Outcome {
    std::string out, log;
    Image current;
    std::vector<float> offsets;
};

class Equivalence : public WithKernelChoice {
protected:
    float penalty = 0.01f;    // mismatchPenalty of every run
    BlockDeformation found;   // what the block stage of the last run found
    // Runs stage on a fresh copy of the case (reference, current and parameters in `base`).
    template <typename Stage>
    Outcome run(const RunSettings& base, Stage stage) {
        resetRunSettings();
        mismatchPenalty = penalty;
        // Every parameter as one record, so that a new field cannot be left out; the images
        // are the case's own copies, the run state fresh.
        settings = base;
        settings.reference = copyImage(base.reference);
        settings.current = copyImage(base.current);
        settings.shiftLog = std::tmpfile();
        Outcome o;
        o.out = maskTimes(captureStdout(stage));   // processor time lines may differ
        std::fflush(settings.shiftLog);
        std::rewind(settings.shiftLog);
        for (int c; (c = std::fgetc(settings.shiftLog)) != EOF;) o.log += char(c);
        o.current = copyImage(settings.current);
        o.offsets = found.grid.offsetX;
        o.offsets.insert(o.offsets.end(), found.grid.offsetY.begin(), found.grid.offsetY.end());
        found = BlockDeformation{};
        return o;
    }

    // The plain stage once, the fast one with one thread and with three, with the AVX2 and the
    // SSE2 kernels (where the processor has AVX2); all must agree. base's images are released.
    template <typename Plain, typename Fast>
    void expectSame(RunSettings& base, Plain plainStage, Fast fastStage, int trial) {
        Outcome expected = run(base, plainStage);
        const bool avx2 = useAvx2();
        for (const int threads : {1, 3}) {
            setUseAvx2(avx2 && threads == 3);
            setWorkerCount(threads);
            Outcome fast = run(base, fastStage);
            EXPECT_TRUE(fast.out == expected.out && fast.log == expected.log &&
                        sameImage(fast.current, expected.current) && fast.offsets == expected.offsets)
                << "trial " << trial << ", " << threads << " threads\n"
                << fast.out << fast.log << "against\n"
                << expected.out << expected.log;
            releasePixels(fast.current);
        }
        setUseAvx2(avx2);
        setWorkerCount(defaultWorkers);
        releasePixels(expected.current);
        releasePixels(base.reference);
        releasePixels(base.current);
    }

    // The block stage of base (its images, grid spacing and half-size set) both ways, with
    // offsets -m .. m by step; base's images are released.
    void expectBlockStageSame(RunSettings& base, std::int32_t m, float step, int trial) {
        base.blockShiftXMin = base.blockShiftYMin = -m;
        base.blockShiftXMax = base.blockShiftYMax = m;
        base.blockShiftStep = step;
        expectSame(
            base, [this] { plain::runBlockStage(&found); }, [this] { runBlockStage(&found); }, trial);
    }
};

float degrees(double d) { return float(InterD(float(d)) * kOneDegree); }

// A random case of the global adjustment: frames, reference points, angle and shift ranges.
RunSettings globalCase(TestRandom& rng) {
    RunSettings base;
    const std::int32_t w = rng.range(8, 72), h = rng.range(8, 56);
    const std::uint32_t scene = std::uint32_t(rng.range(1, 5));
    base.reference = randomFrame(rng, w, h, scene);
    base.current = randomFrame(rng, rng.range(8, 72), rng.range(8, 56), scene);
    base.reference.x0 = rng.chance(70) ? w / 2 : rng.range(-5, w + 5);
    base.reference.y0 = rng.chance(70) ? h / 2 : rng.range(-5, h + 5);
    base.current.x0 = rng.chance(70) ? base.reference.x0 : rng.range(-5, base.current.width + 5);
    base.current.y0 = rng.chance(70) ? base.reference.y0 : rng.range(-5, base.current.height + 5);
    const int mode = rng.range(0, 3);
    const double lo = rng.range(-4, 1), hi = mode == 0 ? lo : lo + rng.range(-1, 5);
    base.angleMin = degrees(lo);
    base.angleMax = degrees(hi);
    const double resolutions[] = {1, 0.5, 0.1, 2, 0.25};
    base.angleStep = degrees(resolutions[rng.range(0, 4)]);
    const std::int32_t range = rng.range(0, 9);
    base.shiftXMin = base.shiftYMin = -range;
    base.shiftXMax = base.shiftYMax = range;
    if (rng.chance(20)) base.shiftYMax = range + rng.range(1, 3);
    base.shiftStep = rng.range(1, 3);
    base.translationFraction = rng.range(1, 6);
    return base;
}

TEST_F(Equivalence, GlobalAdjustmentMatchesThePlainSearch) {
    TestRandom rng(2024);
    for (int trial = 0; trial < 220; ++trial) {
        RunSettings base = globalCase(rng);
        expectSame(
            base, [] { plain::globalAdjustment(); }, [] { globalAdjustment(); }, trial);
        if (HasFailure()) return;
    }
}

// The global adjustment's cases at one angle, with wider translation ranges.
TEST_F(Equivalence, CoarseTranslationSearchMatchesThePlainSearch) {
    TestRandom rng(77);
    for (int trial = 0; trial < 120; ++trial) {
        RunSettings base = globalCase(rng);
        base.angleMax = base.angleMin;
        const std::int32_t range = rng.range(0, 30);
        base.shiftXMin = base.shiftYMin = -range;
        base.shiftXMax = base.shiftYMax = range;
        base.translationFraction = rng.range(1, 8);
        expectSame(
            base, [] { plain::coarseTranslationSearch(); }, [] { coarseTranslationSearch(); }, trial);
        if (HasFailure()) return;
    }
}

// A random case of the block stage: frames, reference points, grid spacing and half-size.
RunSettings blockCase(TestRandom& rng) {
    RunSettings base;
    const std::int32_t w = rng.range(6, 70), h = rng.range(6, 60);
    const std::uint32_t scene = std::uint32_t(rng.range(1, 5));
    base.reference = randomFrame(rng, w, h, scene);
    base.current = randomFrame(rng, w + rng.range(-4, 4), h + rng.range(-4, 4), scene);
    base.reference.x0 = w / 2;
    base.reference.y0 = h / 2;
    base.current.x0 = base.current.width / 2 + rng.range(-2, 2);
    base.current.y0 = base.current.height / 2 + rng.range(-2, 2);
    base.blockGridWidth = rng.range(1, 20);
    base.blockSearchWidth = rng.range(0, 6);
    return base;
}

const float kBlockSteps[] = {1, 2, 0.25f, 0.5f, 0.1f, 0.3f, 0.75f, 1.5f};

TEST_F(Equivalence, BlockStageMatchesThePlainStage) {
    TestRandom rng(5);
    for (int trial = 0; trial < 200; ++trial) {
        RunSettings base = blockCase(rng);
        const std::int32_t m = rng.range(-1, 3);   // -1: an empty range
        expectBlockStageSame(base, m, kBlockSteps[rng.range(0, 7)], trial);
        if (HasFailure()) return;
    }
}

// A penalty that is no whole number of units (only a change of the tunable makes one) sends
// the searches down their sequential routes: they must still choose as the plain ones do.
TEST_F(Equivalence, StagesMatchThePlainOnesUnderAPenaltyWithoutWholeUnits) {
    penalty = 1e-4f;
    mismatchPenalty = penalty;
    ASSERT_FALSE(exactUnitsAvailable());
    TestRandom rng(12);
    for (int trial = 0; trial < 40; ++trial) {
        RunSettings global = globalCase(rng);
        expectSame(
            global, [] { plain::globalAdjustment(); }, [] { globalAdjustment(); }, trial);
        RunSettings block = blockCase(rng);
        if (trial % 2 == 0) {   // flat frames: every candidate ties with the first
            for (Image* im : {&block.reference, &block.current})
                for (std::size_t i = 0; i < pixelBytes(im->width, im->height); ++i)
                    im->pixels[i] = i % 4 == 3 ? 255 : 50;
        }
        const std::int32_t m = rng.range(0, 3);
        expectBlockStageSame(block, m, kBlockSteps[rng.range(0, 7)], trial);
        if (HasFailure()) return;
    }
}

// Frames of extreme contrast make the sums pass 2^64 units, where the plain measure rounds as
// it adds and a value is taken again sequentially: black and white cells, the current frame
// the same cells a few pixels away with some flipped (the angle refinement's probes then
// score close), or against black (the block stage).
TEST_F(Equivalence, StagesOfExtremeContrastMatchThePlainOnes) {
    TestRandom rng(31);
    for (int trial = 0; trial < 100; ++trial) {
        const bool global = trial < 60;
        RunSettings base;
        const std::int32_t w = rng.range(global ? 20 : 30, 64), h = rng.range(global ? 20 : 30, 56);
        const std::int32_t cell = global ? rng.range(1, 4) : 2, dx = rng.range(0, 3), dy = rng.range(0, 3);
        std::vector<std::uint8_t> cells(std::size_t(w + 8) * std::size_t(h + 8));
        for (std::uint8_t& c : cells) c = rng.chance(50) ? 255 : 0;
        auto frame = [&](std::int32_t ox, std::int32_t oy, int flips) {
            return makeImageFrom(w, h, [&](int x, int y) -> std::array<std::uint8_t, 4> {
                std::uint8_t v =
                    cells[std::size_t((y + oy) / cell) * std::size_t(w + 8) + std::size_t((x + ox) / cell)];
                if (flips > 0 && rng.chance(flips)) v = std::uint8_t(255 - v);
                return {v, std::uint8_t(global ? v / 2 : v), v, 255};
            });
        };
        base.reference = global ? frame(0, 0, 0) : makeImage(w, h, {0, 0, 0, 255});
        base.current = frame(dx, dy, global ? rng.range(0, 20) : 0);
        base.reference.x0 = base.current.x0 = w / 2;
        base.reference.y0 = base.current.y0 = h / 2;
        if (!global) {
            base.blockGridWidth = rng.range(5, 12);
            base.blockSearchWidth = rng.range(8, 11);
            const float steps[] = {1, 0.5f, 0.25f};
            expectBlockStageSame(base, rng.range(1, 2), steps[rng.range(0, 2)], trial);
        } else {
            base.angleMin = degrees(-rng.range(1, 3));
            base.angleMax = degrees(rng.range(1, 3));
            const double resolutions[] = {1, 0.5, 0.1, 0.25};
            base.angleStep = degrees(resolutions[rng.range(0, 3)]);
            base.shiftXMin = base.shiftYMin = -4;
            base.shiftXMax = base.shiftYMax = 4;
            base.shiftStep = 1;
            base.translationFraction = 1;
            expectSame(
                base, [] { plain::globalAdjustment(); }, [] { globalAdjustment(); }, trial);
        }
        if (HasFailure()) return;
    }
}

// The resamplings of the stages and the block deformation, against the plain ones.
TEST_F(Equivalence, ResamplingAndDeformationMatchThePlainOnes) {
    TestRandom rng(99);
    for (int trial = 0; trial < 300; ++trial) {
        OwnedImage src(randomFrame(rng, rng.range(1, 60), rng.range(1, 50), 3));
        src.im.x0 = rng.range(-3, src.im.width + 3);
        src.im.y0 = rng.range(-3, src.im.height + 3);
        const int kind = rng.range(0, 4);
        float angle = kind == 0   ? 0.0f
                      : kind == 1 ? float(rng.range(-100, 100)) * 1e-9f
                                  : degrees(rng.range(-450, 450) / 10.0);
        if (kind == 3) {   // an angle accumulated in single precision, as the coarse loop makes them
            angle = degrees(-3);
            for (int k = rng.range(1, 6); k > 0; --k) angle = float(InterD(angle) + kOneDegree);
        }
        setUseAvx2(trial % 2 == 0);
        auto expectSameImage = [&](Image fast, Image plain, const char* what) {
            OwnedImage a(fast), b(plain);
            ASSERT_TRUE(sameImage(a.im, b.im)) << what << ", trial " << trial << ", angle " << angle;
        };
        const std::int32_t sw = rng.range(0, 50), sh = rng.range(0, 50);
        OwnedImage a(rotatedSample(src.im, sw, sh, angle)), b(plain::rotatedSample(src.im, sw, sh, angle));
        for (std::int32_t j = 0; j < sh; j += 2)   // odd rows hold only invalid pixels
            for (std::int32_t i = 0; i < sw; ++i) ASSERT_EQ(pixelOf(a.im, i, j), pixelOf(b.im, i, j)) << trial;
        const float shiftX = rng.chance(70) ? float(rng.range(-20, 20)) : rng.range(-200, 200) / 8.0f;
        const float shiftY = rng.chance(70) ? float(rng.range(-20, 20)) : rng.range(-200, 200) / 8.0f;
        const Image& im = src.im;
        expectSameImage(rotateAndShift(im.pixels, im.width, im.height, im.x0, im.y0, angle, shiftX, shiftY),
                        plain::rotateAndShift(im.pixels, im.width, im.height, im.x0, im.y0, angle, shiftX, shiftY),
                        "rotateAndShift");
        Image features = copyImage(im);
        plain::makeFeatureImage(features);
        expectSameImage(featureImage(im), features, "featureImage");
        const float factor = rng.chance(2) ? 0.125f : rng.range(1, 16) / 10.0f;
        expectSameImage(scaledCopy(im, factor), plain::scaledCopy(im, factor), "scaledCopy");
        // A grid of whole, quarter, 0.1-step and unrepresentable offsets (the last take the
        // single-precision route of the deformation).
        BlockGrid grid;
        grid.columns = rng.range(1, 6);
        grid.rows = rng.range(1, 5);
        const int offsets = rng.range(0, 3);
        for (std::size_t k = 0; k < std::size_t(grid.columns + 1) * std::size_t(grid.rows + 1); ++k) {
            for (std::vector<float>* axis : {&grid.offsetX, &grid.offsetY}) {
                float v = offsets == 0 ? float(rng.range(-4, 4)) : rng.range(-16, 16) / 4.0f;
                if (offsets >= 2) {   // a value of the 0.1-step sequence
                    v = -3;
                    for (int n = rng.range(0, 60); n > 0; --n) v = float(double(v) + double(0.1f));
                    if (offsets == 3) v = v * float(rng.range(1, 3)) / 3.0f;
                }
                axis->push_back(v);
            }
            grid.score.push_back(1);
        }
        const std::int32_t gx = rng.range(1, 33), gy = rng.range(1, 33);
        expectSameImage(deformImage(im.pixels, im.width, im.height, 3, 4, grid, gx, gy),
                        plain::deformImage(im.pixels, im.width, im.height, 3, 4, grid, gx, gy), "deformImage");
        if (HasFailure()) return;
    }
}

// The plain loop of a shift search from a best of 1e9.
SearchOutcome plainShiftLoop(const Image& sample, const Image& reference, const ShiftGrid& grid) {
    SearchOutcome o{-1, 1e9f};
    for (std::int64_t i = 0; i < grid.count(); ++i) {
        Image candidate = sample;
        candidate.x0 += grid.shiftX(i);
        candidate.y0 += grid.shiftY(i);
        const Extended score = imageDifference(candidate, reference);
        if (o.best > score) o = {i, float(score)};
    }
    return o;
}

// The shift search (the block stage's, and the parallel one above 128 candidates) against
// the plain loop, on samples that lie wholly
// on the reference at every shift or partly off it, the reference often wholly valid and the
// sample not.
TEST_F(Equivalence, ShiftSearchMatchesThePlainLoop) {
    TestRandom rng(43);
    for (int trial = 0; trial < 300; ++trial) {
        // Grids above 128 candidates take the parallel search.
        const std::int32_t sw = rng.range(1, 20), sh = rng.range(1, 20), m = rng.range(0, trial % 3 == 0 ? 9 : 4);
        // Half the cases lay the sample partly off the reference at some shifts.
        const bool partly = rng.chance(2);
        OwnedImage reference(partly ? randomFrame(rng, rng.range(1, sw + 4), rng.range(1, sh + 4), 3)
                                    : randomFrame(rng, sw + 2 * m + rng.range(0, 6), sh + 2 * m + rng.range(0, 6), 3));
        if (rng.chance(2)) {   // the validity bytes of a wholly valid reference
            for (std::size_t i = 3; i < pixelBytes(reference.im.width, reference.im.height); i += 4)
                reference.im.pixels[i] = std::uint8_t(rng.range(1, 255));
        }
        OwnedImage sample(randomFrame(rng, sw, sh, 3));
        for (std::size_t i = 3; i < pixelBytes(sw, sh); i += 4)
            if (rng.chance(6)) sample.im.pixels[i] = 0;
        reference.im.x0 = reference.im.width / 2;
        reference.im.y0 = reference.im.height / 2;
        sample.im.x0 = sw / 2;
        sample.im.y0 = sh / 2;
        const ShiftGrid grid = shiftGrid(-m, m, -m, m, 1);
        const bool whole = wholeRows(reference.im, 0, reference.im.height);
        setUseAvx2(trial % 2 == 0);
        const SearchOutcome fast = searchShifts(sample.im, nullptr, reference.im, grid, 1e9f, nullptr, whole);
        const SearchOutcome plain = plainShiftLoop(sample.im, reference.im, grid);
        ASSERT_TRUE(fast.winner == plain.winner && fast.best == plain.best) << "trial " << trial;
    }
    // Past 2^20 candidates the search runs in parts, each from the best of those before it.
    TestRandom big(8);
    OwnedImage reference(randomFrame(big, 1040, 1040, 3)), sample(randomFrame(big, 3, 2, 3));
    reference.im.x0 = reference.im.y0 = 520;
    const ShiftGrid grid = shiftGrid(-514, 514, -514, 514, 1);
    const SearchOutcome fast = searchShifts(sample.im, nullptr, reference.im, grid, 1e9f);
    const SearchOutcome plain = plainShiftLoop(sample.im, reference.im, grid);
    EXPECT_TRUE(fast.winner == plain.winner && fast.best == plain.best) << fast.winner << " " << plain.winner;
}

}   // namespace
