// End-to-end checks on samples made from the bundled lunar scene with known truth, rendered
// in a temporary folder and run through kalvorine there: a small sequence with known
// rotations and shifts, registered, refined by blocks and co-added, its shifts and composite
// held against the truth; and frames of seeing that varies from frame to frame (known blur
// per frame), ranked and selected, the ranking held against the true blur. A regression in
// registration or in the frame quality makes these checks fail.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "make_sequence/sequence.h"
#include "support/run_program.h"
#include "support/test_images.h"

namespace fs = std::filesystem;

namespace {

kalseq::SequenceOptions sampleOptions(const fs::path& folder, int frames, std::uint64_t seed) {
    kalseq::SequenceOptions o;
    o.scenePath = KAL_SAMPLE_SCENE;
    o.outputDir = folder.string();
    o.frames = frames;
    o.width = 320;
    o.height = 240;
    o.seed = seed;
    return o;
}

// Renders the sequence and runs kalvorine on its script; the console is returned.
std::string makeAndRun(const kalseq::SequenceOptions& o) {
    std::string error;
    EXPECT_TRUE(kalseq::writeSequence(o, error)) << error;
    const RunResult r = runProgram(KAL_PROGRAM, {kalseq::scriptFileName()}, o.outputDir);
    EXPECT_TRUE(r.exitedWith(0)) << r.out << r.err;
    return r.out;
}

// 4 frames of 320x240 with the demo's kind of script, run once for the suite.
class BundledSample : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        folder = new TempDir;
        options = sampleOptions(folder->path, 4, 20020424);
        options.maxRotationDegrees = 3;
        options.maxShift = 10;
        options.seeingAmplitude = 0.5;
        options.seeingScale = 64;
        options.blurSigma = 0.7;
        options.noiseSigma = 3;
        options.angleMin = -5;
        options.angleMax = 5;
        options.angleResolution = 1;
        options.translationMax = 20;
        options.translationStep = 1;
        options.blocGrid = 32;
        options.blocSearch = 8;
        options.blocMax = 4;
        options.blocStep = 1;
        options.compositeName = "sum.bmp";
        console = makeAndRun(options);
    }
    static void TearDownTestSuite() { delete folder; }

    static inline TempDir* folder = nullptr;
    static inline kalseq::SequenceOptions options;
    static inline std::string console;
};

// Each translation is searched in whole pixels on nearest-neighbour samples, so the shift
// logged can differ from the true one by:
//   0.5 px, the rounding to whole pixels;
//   up to 0.5 px more where the samples of a turned frame are taken by truncation;
//   |t| x theta, because the search lays the sample's shift before the rotation while the
//   true shift t comes after it (it finds R(-theta) t): at most 14 px x 0.052 = 0.74 px;
//   the difference of the two frames' seeing displacements in the central window the
//   search looks at (0.5 px per frame here).
// Hence 2 px. A wrong sign, a lost shift or a search on the wrong image is off by far more.
TEST_F(BundledSample, EveryShiftIsWithinTwoPixelsOfTheTruth) {
    std::ifstream log(folder->path / "shift.lst");
    int i = 0, x = 0, y = 0;
    std::string line;
    while (std::getline(log, line) && std::sscanf(line.c_str(), "%d %d", &x, &y) == 2) {
        const kalseq::FrameTruth truth = kalseq::frameTruth(options, ++i);
        EXPECT_NEAR(x, truth.shiftX, 2.0) << "frame " << i;
        EXPECT_NEAR(y, truth.shiftY, 2.0) << "frame " << i;
    }
    EXPECT_EQ(i, options.frames);
}

// The coarse search tries whole degrees (0.5 degree from the truth at best, and its
// truncating samples favour 0); the refinement then moves anywhere within 1.5 degrees of
// that, as it compares whole frames without the shift. Hence 3 degrees: enough to catch a
// turn in the wrong sense on this seed's larger angles.
TEST_F(BundledSample, EveryAngleIsWithinThreeDegreesOfTheTruth) {
    std::istringstream lines(console);
    int i = 0;
    std::string line;
    double theta = 0;
    while (std::getline(lines, line)) {
        if (std::sscanf(line.c_str(), "theta=%lf", &theta) == 1) {
            EXPECT_NEAR(theta, kalseq::frameTruth(options, ++i).rotationDegrees, 3.0) << "frame " << i;
        }
    }
    EXPECT_EQ(i, options.frames);
}

// Brightness (mean of the three channels) of every pixel.
std::vector<double> brightness(const fs::path& path) {
    kalseq::Raster im;
    std::string error;
    EXPECT_TRUE(kalseq::readBmp(path.string(), im, error)) << error;
    std::vector<double> out(std::size_t(im.width) * std::size_t(im.height));
    for (std::size_t i = 0; i < out.size(); ++i)
        out[i] = (double(im.bgr[3 * i]) + im.bgr[3 * i + 1] + im.bgr[3 * i + 2]) / 3;
    return out;
}

// Over the window that every aligned frame covers (frames are shifted by up to 10 px plus
// what a 3 degree turn moves a corner, about 10 px): the mean squared central-difference
// gradient of l (higher is sharper) and the root-mean-square difference from ref.
std::pair<double, double> sharpnessAndDistance(const std::vector<double>& l, const std::vector<double>& ref) {
    constexpr int w = 320, margin = 32;
    double gradient = 0, distance = 0;
    long n = 0;
    for (int y = margin; y < 240 - margin; ++y)
        for (int x = margin; x < w - margin; ++x, ++n) {
            const std::size_t at = std::size_t(y) * w + x;
            gradient += std::pow(l[at + 1] - l[at - 1], 2) + std::pow(l[at + w] - l[at - w], 2);
            distance += std::pow(l[at] - ref[at], 2);
        }
    return {gradient / double(n), std::sqrt(distance / double(n))};
}

// Averaging the frames as they come blurs the scene by their shifts and turns; averaging
// them registered must keep it sharp, and close to the reference they were laid on.
TEST_F(BundledSample, CompositeIsSharperAndCloserToTheReferenceThanTheUnregisteredAverage) {
    const std::vector<double> summed = brightness(folder->path / "sum.bmp");
    const std::vector<double> ref = brightness(folder->path / kalseq::referenceFileName());
    ASSERT_EQ(summed.size(), 320u * 240u);
    std::vector<double> unregistered(summed.size(), 0.0);
    for (int i = 1; i <= options.frames; ++i) {
        const std::vector<double> l = brightness(folder->path / kalseq::frameFileName(options, i));
        ASSERT_EQ(l.size(), unregistered.size());
        for (std::size_t k = 0; k < l.size(); ++k) unregistered[k] += l[k] / options.frames;
    }
    const auto [sharpComposite, distComposite] = sharpnessAndDistance(summed, ref);
    const auto [sharpUnregistered, distUnregistered] = sharpnessAndDistance(unregistered, ref);
    std::printf(
        "gradient energy: composite %.1f, unregistered average %.1f; rms difference from the reference: "
        "composite %.2f, unregistered average %.2f\n",
        sharpComposite, sharpUnregistered, distComposite, distUnregistered);
    EXPECT_GT(sharpComposite, 1.5 * sharpUnregistered);
    EXPECT_LT(distComposite, 0.5 * distUnregistered);
}

// Ranks 0 .. n-1 of the values (no ties expected among measured qualities or drawn blurs).
std::vector<double> ranksOf(const std::vector<double>& v) {
    std::vector<std::size_t> order(v.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return v[a] < v[b]; });
    std::vector<double> r(v.size());
    for (std::size_t k = 0; k < order.size(); ++k) r[order[k]] = double(k);
    return r;
}

double spearman(const std::vector<double>& a, const std::vector<double>& b) {
    const std::vector<double> ra = ranksOf(a), rb = ranksOf(b);
    const double n = double(a.size());
    double d2 = 0;
    for (std::size_t i = 0; i < a.size(); ++i) d2 += (ra[i] - rb[i]) * (ra[i] - rb[i]);
    return 1 - 6 * d2 / (n * (n * n - 1));
}

TEST(LuckySample, TheRankingFollowsTheTrueBlurAndTheSharpestQuarterIsStacked) {
    TempDir folder;
    kalseq::SequenceOptions o = sampleOptions(folder.path, 16, 17);
    o.blurMin = 0.5;
    o.blurMax = 3;
    o.writeBloc = false;
    o.selectionPercent = 25;
    makeAndRun(o);
    std::ifstream ranking(folder / "qualite.lst");
    std::vector<double> quality, negativeBlur;
    std::vector<int> keptRanks;
    std::string line;
    while (std::getline(ranking, line)) {
        std::istringstream fields(line);
        int frame = 0, rank = 0;
        std::string file, verdict;
        double q = 0;
        ASSERT_TRUE(fields >> frame >> file >> q >> rank >> verdict) << line;
        ASSERT_EQ(file, kalseq::frameFileName(o, frame));
        quality.push_back(q);
        negativeBlur.push_back(-kalseq::frameBlur(o, frame));
        if (verdict == "retenue") keptRanks.push_back(rank);
        EXPECT_EQ(fs::exists(folder / kalseq::alignedFileName(o, frame)), verdict == "retenue") << frame;
    }
    ASSERT_EQ(quality.size(), 16u);
    EXPECT_EQ(keptRanks.size(), 4u);
    for (const int r : keptRanks) EXPECT_LE(r, 4);
    EXPECT_GE(spearman(quality, negativeBlur), 0.9);
}

}   // namespace
