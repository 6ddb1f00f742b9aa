// End-to-end check on a sample made from the bundled lunar scene: a small sequence with known
// rotations and shifts is rendered in a temporary folder, kalvorine registers, refines by
// blocks and co-adds it there, and the shifts it logs and the composite it writes are held
// against the truth. A regression in registration makes these checks fail.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "make_sequence/sequence.h"

#ifndef KAL_PROGRAM
#error "KAL_PROGRAM must name the kalvorine program to run"
#endif
#ifndef KAL_SAMPLE_SCENE
#error "KAL_SAMPLE_SCENE must name the scene image"
#endif

namespace fs = std::filesystem;

namespace {

// 4 frames of 320x240 with the demo's kind of script.
kalseq::SequenceOptions sampleOptions(const fs::path& folder) {
    kalseq::SequenceOptions o;
    o.scenePath = KAL_SAMPLE_SCENE;
    o.outputDir = folder.string();
    o.frames = 4;
    o.width = 320;
    o.height = 240;
    o.seed = 20020424;
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
    return o;
}

struct ShiftLine {
    int x = 0;
    int y = 0;
};

std::vector<ShiftLine> readShiftLog(const fs::path& path) {
    std::vector<ShiftLine> lines;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        ShiftLine s;
        if (std::sscanf(line.c_str(), "%d %d", &s.x, &s.y) == 2) lines.push_back(s);
    }
    return lines;
}

// The angles printed on the "theta=... DeltaX=... DeltaY=..." lines, in degrees.
std::vector<double> printedAngles(const fs::path& console) {
    std::vector<double> angles;
    std::ifstream in(console, std::ios::binary);
    std::string line;
    while (std::getline(in, line)) {
        double theta = 0;
        if (std::sscanf(line.c_str(), "theta=%lf", &theta) == 1) angles.push_back(theta);
    }
    return angles;
}

// Brightness (mean of the three channels) of every pixel.
std::vector<double> brightness(const kalseq::Raster& im) {
    std::vector<double> out(std::size_t(im.width) * std::size_t(im.height));
    for (std::size_t i = 0; i < out.size(); ++i) {
        out[i] = (double(im.bgr[3 * i]) + im.bgr[3 * i + 1] + im.bgr[3 * i + 2]) / 3;
    }
    return out;
}

// The window that every aligned frame covers: frames are shifted by up to 10 px plus what
// a 3 degree turn moves a corner of a 320x240 frame (about 10 px).
struct Window {
    int x0, y0, x1, y1;   // [x0, x1) x [y0, y1)
};
constexpr Window kInterior = {32, 32, 320 - 32, 240 - 32};

// Mean squared central-difference gradient of the brightness over the window: higher is sharper.
double gradientEnergy(const std::vector<double>& l, int width, Window w) {
    double sum = 0;
    long n = 0;
    for (int y = w.y0; y < w.y1; ++y) {
        for (int x = w.x0; x < w.x1; ++x) {
            const double gx = l[std::size_t(y) * width + x + 1] - l[std::size_t(y) * width + x - 1];
            const double gy = l[std::size_t(y + 1) * width + x] - l[std::size_t(y - 1) * width + x];
            sum += gx * gx + gy * gy;
            ++n;
        }
    }
    return sum / double(n);
}

// Root-mean-square brightness difference over the window.
double rmsDifference(const std::vector<double>& a, const std::vector<double>& b, int width, Window w) {
    double sum = 0;
    long n = 0;
    for (int y = w.y0; y < w.y1; ++y) {
        for (int x = w.x0; x < w.x1; ++x) {
            const double d = a[std::size_t(y) * width + x] - b[std::size_t(y) * width + x];
            sum += d * d;
            ++n;
        }
    }
    return std::sqrt(sum / double(n));
}

kalseq::Raster loadOrFail(const fs::path& path) {
    kalseq::Raster im;
    std::string error;
    EXPECT_TRUE(kalseq::readBmp(path.string(), im, error)) << error;
    return im;
}

class BundledSample : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        folder = fs::temp_directory_path() / ("kalvorine-sample-" + std::to_string(::getpid()));
        fs::remove_all(folder);
        options = sampleOptions(folder);
        std::string error;
        made = kalseq::writeSequence(options, error);
        makeError = error;
        if (!made) return;
        const std::string command = "cd '" + folder.string() + "' && '" KAL_PROGRAM "' " + kalseq::scriptFileName() +
                                    " > console.txt 2>&1 < /dev/null";
        exitStatus = std::system(command.c_str());
    }

    static void TearDownTestSuite() {
        if (::testing::UnitTest::GetInstance()->failed_test_count() == 0) {
            fs::remove_all(folder);
        } else {
            std::printf("Sample run kept in %s\n", folder.string().c_str());
        }
    }

    void SetUp() override {
        ASSERT_TRUE(made) << makeError;
        ASSERT_EQ(exitStatus, 0) << "kalvorine failed; see " << (folder / "console.txt");
    }

    static inline fs::path folder;
    static inline kalseq::SequenceOptions options;
    static inline bool made = false;
    static inline std::string makeError;
    static inline int exitStatus = -1;
};

TEST_F(BundledSample, WritesEveryOutputFile) {
    for (int i = 1; i <= options.frames; ++i) EXPECT_TRUE(fs::exists(folder / kalseq::alignedFileName(options, i))) << i;
    for (const char* name : {"shift.lst", "sumR.fit", "sumV.fit", "sumB.fit", "sum.bmp"}) {
        EXPECT_TRUE(fs::exists(folder / name)) << name;
    }
}

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
    const std::vector<ShiftLine> found = readShiftLog(folder / "shift.lst");
    ASSERT_EQ(found.size(), std::size_t(options.frames));
    for (int i = 1; i <= options.frames; ++i) {
        const kalseq::FrameTruth truth = kalseq::frameTruth(options, i);
        EXPECT_NEAR(found[std::size_t(i - 1)].x, truth.shiftX, 2.0) << "frame " << i;
        EXPECT_NEAR(found[std::size_t(i - 1)].y, truth.shiftY, 2.0) << "frame " << i;
    }
}

// The coarse search tries whole degrees (0.5 degree from the truth at best, and its
// truncating samples favour 0); the refinement then moves anywhere within 1.5 degrees of
// that, as it compares whole frames without the shift. Hence 3 degrees: enough to catch a
// turn in the wrong sense on this seed's larger angles.
TEST_F(BundledSample, EveryAngleIsWithinThreeDegreesOfTheTruth) {
    const std::vector<double> angles = printedAngles(folder / "console.txt");
    ASSERT_EQ(angles.size(), std::size_t(options.frames));
    for (int i = 1; i <= options.frames; ++i) {
        EXPECT_NEAR(angles[std::size_t(i - 1)], kalseq::frameTruth(options, i).rotationDegrees, 3.0) << "frame " << i;
    }
}

// Averaging the frames as they come blurs the scene by their shifts and turns; averaging
// them registered must keep it sharp, and close to the reference they were laid on.
TEST_F(BundledSample, CompositeIsSharperAndCloserToTheReferenceThanTheUnregisteredAverage) {
    const int w = options.width, h = options.height;
    const kalseq::Raster composite = loadOrFail(folder / "sum.bmp");
    const kalseq::Raster reference = loadOrFail(folder / kalseq::referenceFileName());
    ASSERT_EQ(composite.width, w);
    ASSERT_EQ(composite.height, h);

    std::vector<double> unregistered(std::size_t(w) * std::size_t(h), 0.0);
    for (int i = 1; i <= options.frames; ++i) {
        const std::vector<double> l = brightness(loadOrFail(folder / kalseq::frameFileName(options, i)));
        ASSERT_EQ(l.size(), unregistered.size());
        for (std::size_t k = 0; k < l.size(); ++k) unregistered[k] += l[k] / options.frames;
    }
    const std::vector<double> summed = brightness(composite), ref = brightness(reference);

    const double sharpComposite = gradientEnergy(summed, w, kInterior);
    const double sharpUnregistered = gradientEnergy(unregistered, w, kInterior);
    const double distComposite = rmsDifference(summed, ref, w, kInterior);
    const double distUnregistered = rmsDifference(unregistered, ref, w, kInterior);
    std::printf("gradient energy: composite %.1f, unregistered average %.1f\n", sharpComposite, sharpUnregistered);
    std::printf("rms difference from the reference: composite %.2f, unregistered average %.2f\n", distComposite,
                distUnregistered);
    EXPECT_GT(sharpComposite, 1.5 * sharpUnregistered);
    EXPECT_LT(distComposite, 0.5 * distUnregistered);
}

}  // namespace
