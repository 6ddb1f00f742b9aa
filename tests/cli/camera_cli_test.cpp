// Whole runs on camera files: a 16-bit grey SER video given as reference and as a sequence,
// stacked deep; console bytes, aligned frames, shift.lst and the two stack files (the FITS
// date card masked) against golden files.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/camera_files.h"
#include "support/golden.h"
#include "support/run_program.h"
#include "support/test_images.h"

namespace {

class CameraRun : public ::testing::TestWithParam<Program> {
protected:
    TempDir dir;

    RunResult runScript(const std::string& script) {
        writeText(dir / "script.txt", script);
        return runProgram(GetParam().path, {"script.txt"}, dir.path);
    }
    void golden(const std::string& caseName, const std::string& file, const std::string& actual) {
        expectGolden(caseName, file, actual, GetParam().sse);
    }
};

// Grey 16-bit frames of the synthetic scene: (red + 2 green + blue) * 64 plus low bits of
// their own.
std::vector<std::uint16_t> greyFrame(double angle, double dx, double dy, int k) {
    const OwnedImage colour(syntheticFrame(96, 72, angle, dx, dy));
    std::vector<std::uint16_t> grey;
    for (std::int32_t y = 0; y < 72; ++y)
        for (std::int32_t x = 0; x < 96; ++x) {
            const std::array<std::uint8_t, 4> p = pixelOf(colour.im, x, y);
            grey.push_back(std::uint16_t((p[0] + 2 * p[1] + p[2]) * 64 + (x * 7 + y * 13 + k * 5) % 64));
        }
    return grey;
}

// The FITS date card, which tells when the run was made, blanked.
std::string withoutDate(std::string fits) {
    const std::size_t at = fits.find("DATE    = '");
    if (at != std::string::npos) fits.replace(at + 11, 19, std::string(19, '#'));
    return fits;
}

std::string programName(const ::testing::TestParamInfo<Program>& info) { return info.param.name; }

INSTANTIATE_TEST_SUITE_P(Programs, CameraRun,
                         ::testing::Values(Program{"kalvorine", KAL_PROGRAM, false},
                                           Program{"kalvorine_sse", KAL_PROGRAM_SSE, true}),
                         programName);

TEST_P(CameraRun, ASerVideoIsRegisteredOnItsViewsAndStackedAtFullDepth) {
    SerVideo video;
    video.depth = 16;
    video.littleEndian = false;   // under the little-endian flag: the order comes from the data
    video.endianFlag = 1;
    video.width = 96;
    video.height = 72;
    video.frames = {greyFrame(0, 0, 0, 0), greyFrame(1.5, 2, -1, 1), greyFrame(0.8, -3, 2, 2)};
    writeFile(dir / "video.ser", serBytes(video));
    const OwnedImage small(syntheticFrame(8, 8, 0, 0, 0));
    writeBmp(dir / "ref.bmp", small.im);
    const RunResult r = runScript(
        "Reference video.ser\n"
        "Sequence video.ser out 2 3\n"
        "sequence video.ser out 9 12\n"
        "Sequence missing.ser x\n"
        "Sequence ref.bmp x\n"
        "Sequence video.ser\n"
        "Angle -3 3 1\n"
        "Translation 6 1\n"
        "Bloc 16 4 2 1\n"
        "Empilement stack.fit\n"
        "empilement\n");
    EXPECT_TRUE(r.exitedWith(0));
    golden("camera_sequence", "stdout.txt", maskTimes(r.out));
    for (const char* f : {"out2.bmp", "out3.bmp", "shift.lst", "stack.png"}) golden("camera_sequence", f, readText(dir / f));
    golden("camera_sequence", "stack.fit", withoutDate(readText(dir / "stack.fit")));
}

TEST_P(CameraRun, ATruncatedVideoKeepsItsWholeFramesAndAMissingFileIsSkipped) {
    SerVideo video;
    video.colourId = 8;   // RGGB: demosaiced before registration
    video.width = 96;
    video.height = 72;
    video.frames = {greyFrame(0, 0, 0, 0), greyFrame(0, 1, 1, 1)};
    for (auto& frame : video.frames)
        for (auto& v : frame) v = std::uint16_t(v >> 8);
    std::vector<std::uint8_t> bytes = serBytes(video);
    writeFile(dir / "video.ser", bytes);
    bytes.resize(bytes.size() - 100);   // the second frame cut short
    writeFile(dir / "cut.ser", bytes);
    writeFile(dir / "cube.fit", fitsBytes(16, 4, 3, 5, std::vector<double>(60, 1000.0)));
    const RunResult r = runScript(
        "Reference video.ser\n"
        "Source cut.ser a.bmp\n"
        "Sequence cut.ser b\n"
        "Sequence cut.ser b 1 2\n"
        "Sequence cube.fit c 6 9\n"
        "Source missing.ser c.bmp\n"
        "Translation 4 1\n"
        "Empilement deep.fits\n");
    EXPECT_TRUE(r.exitedWith(0));
    golden("camera_truncated", "stdout.txt", maskTimes(r.out));
    golden("camera_truncated", "deep.png", readText(dir / "deep.png"));
}

}  // namespace
