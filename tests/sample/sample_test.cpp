// End-to-end checks on samples made from the bundled lunar scene with known truth, rendered
// in a temporary folder and run through kalvorine there: a small sequence with known
// rotations and shifts, registered, refined by blocks and co-added, its shifts and angles
// held against the truth; and frames of seeing that varies from frame to frame (known blur
// per frame), ranked and selected, the ranking held against the true blur. A regression in
// registration or in the frame quality makes these checks fail.
#include <gtest/gtest.h>

#include <algorithm>
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

// 4 frames of 320x240 with the demo's kind of script.
//
// Each translation is searched in whole pixels on nearest-neighbour samples, so the shift
// logged can differ from the true one by:
//   0.5 px, the rounding to whole pixels;
//   up to 0.5 px more where the samples of a turned frame are taken by truncation;
//   |t| x theta, because the search lays the sample's shift before the rotation while the
//   true shift t comes after it (it finds R(-theta) t): at most 14 px x 0.052 = 0.74 px;
//   the difference of the two frames' seeing displacements in the central window the
//   search looks at (0.5 px per frame here).
// Hence 2 px. A wrong sign, a lost shift or a search on the wrong image is off by far more.
// The coarse search tries whole degrees (0.5 degree from the truth at best, and its
// truncating samples favour 0); the refinement then moves anywhere within 1.5 degrees of
// that, as it compares whole frames without the shift. Hence 3 degrees: enough to catch a
// turn in the wrong sense on this seed's larger angles.
TEST(BundledSample, EveryShiftIsWithinTwoPixelsAndEveryAngleWithinThreeDegreesOfTheTruth) {
    TempDir folder;
    kalseq::SequenceOptions o = sampleOptions(folder.path, 4, 20020424);
    o.maxRotationDegrees = 3;
    o.maxShift = 10;
    o.seeingAmplitude = 0.5;
    o.seeingScale = 64;
    o.blurSigma = 0.7;
    o.noiseSigma = 3;
    o.angleMin = -5;
    o.angleMax = 5;
    o.angleResolution = 1;
    o.translationMax = 20;
    o.translationStep = 1;
    o.blocGrid = 32;
    o.blocSearch = 8;
    o.blocMax = 4;
    o.blocStep = 1;
    o.compositeName = "sum.bmp";
    std::istringstream console(makeAndRun(o));
    std::ifstream log(folder / "shift.lst");
    int i = 0, x = 0, y = 0;
    double theta = 0;
    for (std::string line; std::getline(console, line);) {
        if (std::sscanf(line.c_str(), "theta=%lf", &theta) != 1) continue;
        const kalseq::FrameTruth truth = kalseq::frameTruth(o, ++i);
        EXPECT_NEAR(theta, truth.rotationDegrees, 3.0) << "frame " << i;
        ASSERT_TRUE(std::getline(log, line) && std::sscanf(line.c_str(), "%d %d", &x, &y) == 2) << "frame " << i;
        EXPECT_NEAR(x, truth.shiftX, 2.0) << "frame " << i;
        EXPECT_NEAR(y, truth.shiftY, 2.0) << "frame " << i;
    }
    EXPECT_EQ(i, o.frames);
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
