// Lucky imaging end to end on the bundled lunar scene: frames of seeing that varies from frame
// to frame (known blur per frame), ranked and selected by kalvorine, the ranking held against
// the true blur.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "make_sequence/sequence.h"

namespace fs = std::filesystem;

namespace {

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
    const fs::path folder = fs::temp_directory_path() / ("kalvorine-lucky-" + std::to_string(::getpid()));
    fs::remove_all(folder);
    kalseq::SequenceOptions o;
    o.scenePath = KAL_SAMPLE_SCENE;
    o.outputDir = folder.string();
    o.frames = 16;
    o.width = 320;
    o.height = 240;
    o.seed = 17;
    o.blurMin = 0.5;
    o.blurMax = 3;
    o.writeBloc = false;
    o.selectionPercent = 25;
    std::string error;
    ASSERT_TRUE(kalseq::writeSequence(o, error)) << error;
    const std::string command =
        "cd '" + folder.string() + "' && '" KAL_PROGRAM "' script.txt > console.txt 2>&1 < /dev/null";
    ASSERT_EQ(std::system(command.c_str()), 0);

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
    if (!::testing::Test::HasFailure()) fs::remove_all(folder);
}

}  // namespace
