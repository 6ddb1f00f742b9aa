// Whole runs of both programs on small scripts and images: console bytes, files written
// and how the process ended, against golden files.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "support/camera_files.h"
#include "support/whole_run.h"

namespace fs = std::filesystem;

namespace {

// A video of grey frames of the synthetic scene, 96 x 72: (red + 2 green + blue) * 64 plus low
// bits of their own, shifted right by the given bits.
SerVideo greyVideo(const std::vector<std::array<double, 3>>& views, int shift) {
    SerVideo video;
    video.width = 96;
    video.height = 72;
    for (std::size_t k = 0; k < views.size(); ++k) {
        const OwnedImage colour(syntheticFrame(96, 72, views[k][0], views[k][1], views[k][2]));
        std::vector<std::uint16_t>& grey = video.frames.emplace_back();
        for (std::int32_t y = 0; y < 72; ++y)
            for (std::int32_t x = 0; x < 96; ++x) {
                const std::array<std::uint8_t, 4> p = pixelOf(colour.im, x, y);
                grey.push_back(
                    std::uint16_t(((p[0] + 2 * p[1] + p[2]) * 64 + (x * 7 + y * 13 + int(k) * 5) % 64) >> shift));
            }
    }
    return video;
}

// A 16-bit grey SER video, big-endian under the little-endian flag (the order comes from the
// data), and a small reference that Sequence refuses.
void writeVideo(const fs::path& dir) {
    SerVideo video = greyVideo({{0, 0, 0}, {1.5, 2, -1}, {0.8, -3, 2}}, 0);
    video.depth = 16;
    video.littleEndian = false;
    writeFile(dir / "video.ser", serBytes(video));
    writeOwnedImage(dir / "ref.bmp", syntheticFrame(8, 8, 0, 0, 0));
}

// An 8-bit RGGB video (demosaiced before registration), the same cut in its second frame,
// and a FITS cube.
void writeCutVideo(const fs::path& dir) {
    SerVideo video = greyVideo({{0, 0, 0}, {0, 1, 1}}, 8);
    video.colourId = 8;
    std::vector<std::uint8_t> bytes = serBytes(video);
    writeFile(dir / "video.ser", bytes);
    bytes.resize(bytes.size() - 100);
    writeFile(dir / "cut.ser", bytes);
    writeFile(dir / "cube.fit", fitsBytes(16, 4, 3, 5, std::vector<double>(60, 1000.0)));
}

// BMP files the reader refuses, and frames to reach the stops that come after reading.
void writeFatalInputs(const fs::path& dir) {
    writeOwnedImage(dir / "ref.bmp", syntheticFrame(24, 16, 0, 0, 0));
    writeOwnedImage(dir / "src.bmp", syntheticFrame(24, 16, 0, 1, 0));
    writeFile(dir / "rle.bmp", bmpBytes(2, 2, 24, 1, 54, std::vector<std::uint8_t>(16, 0)));
    writeFile(dir / "bf32.bmp", bmpBytes(2, 2, 32, 3, 54, std::vector<std::uint8_t>(16, 0)));
    writeFile(dir / "rgb16.bmp", bmpBytes(2, 2, 16, 0, 54, std::vector<std::uint8_t>(8, 0)));
}

// frameN.bmp, N = 1.., each blurred by the given number of passes (96 x 72, noise 3).
void writeBlurred(const fs::path& dir, const std::vector<int>& passes) {
    writeOwnedImage(dir / "ref.bmp", blurredFrame(96, 72, 1, 3));
    for (std::size_t i = 0; i < passes.size(); ++i)
        writeOwnedImage(dir / ("frame" + std::to_string(i + 1) + ".bmp"), blurredFrame(96, 72, passes[i], 3));
}

// Sources and references the reader refuses without reading the pixels.
void writeBadFiles(const fs::path& dir) {
    // 96 x 72 cut in the middle of its rows: 36 rows of 288 bytes and 5 bytes more.
    std::vector<std::uint8_t> cut = encodeBmp24(OwnedImage(syntheticFrame(96, 72, 0, 1, 1)).im);
    cut.resize(54 + 36 * 288 + 5);
    writeFile(dir / "rows_cut.bmp", cut);
    writeFile(dir / "huge_header.bmp", bmpBytes(30000, 30000, 24, 0, 54, std::vector<std::uint8_t>(46, 0)));
    // 8 bits: the rows are never read, but a few bytes must not announce 256 million pixels.
    writeFile(dir / "eight_bit_short.bmp", bmpBytes(16000, 16000, 8, 0, 54, std::vector<std::uint8_t>(46, 0)));
    // Without pixels there is nothing to register, and the turned frame would be enormous.
    writeFile(dir / "zero_width.bmp", bmpBytes(0, 65535, 24, 0, 54, {}));
    writeFile(dir / "zero_height.bmp", bmpBytes(65535, 0, 24, 0, 54, {}));
}

void writeThinFrame(const fs::path& dir) {
    writeFile(dir / "thin.bmp", bmpBytes(1, 65535, 24, 0, 54, std::vector<std::uint8_t>(4 * 65535, 90)));
}

// A folder, holding keep.txt, where the run means to write a file.
void block(const fs::path& path) {
    fs::create_directory(path);
    writeText(path / "keep.txt", "untouched");
}

std::string frameSources(int count) {
    std::string s;
    for (int i = 1; i <= count; ++i)
        s += "Source frame" + std::to_string(i) + ".bmp out" + std::to_string(i) + ".bmp\n";
    return s;
}

using Views = std::vector<std::array<double, 3>>;
const std::vector<std::string> kComposite = {"sumR.fit", "sumV.fit", "sumB.fit", "sum.bmp"};
std::vector<std::string> joined(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// One golden run. The folder holds ref.bmp, a flat image (flatSize, flatPixel) and copies
// of it, or the synthetic sequence when views are given, or blurred frames; then prepare,
// when given, adds files of its own.
struct GoldenCase {
    const char* name;
    std::string script;
    std::vector<std::string> files = {};   // compared with the golden files besides stdout.txt
    Views views = {};
    std::vector<int> blurred = {};
    void (*prepare)(const fs::path&) = nullptr;
    bool fatal = false;                               // the fatal stop, after reading one character
    std::vector<std::string> args = {"script.txt"};   // none: the script is ScriptKalvorine2.txt
    std::string input = "";
    std::array<int, 2> flatSize = {4, 4};
    std::array<std::uint8_t, 4> flatPixel = {1, 2, 3, 255};
    std::vector<std::string> copies = {};      // further copies of the flat image
    std::vector<std::string> absent = {};      // files the run must not write
    std::vector<std::string> sameFiles = {};   // compared with the golden files of case filesOf
    const char* filesOf = "";
    long fileSizeLimit = -1;   // the run's RLIMIT_FSIZE: a full disk
};
void PrintTo(const GoldenCase& c, std::ostream* os) { *os << c.name; }

const std::string kEveryCommand =
    "Rem a comment line that is ignored\nReference ref.bmp\nReference: ref.bmp 3 2\nReference \n"
    "Source: a.bmp, a_out.bmp\nSource b.bmp b_out.bmp 4\nsource c.bmp c_out.bmp 1 2\nSource d.bmp\nSource \n"
    "Source e.bmp e_out.bmp\nSourcesbmp seq out 1 3\nsourcesbmp seq out 5 4\nSourcesbmp seq out 7\nSourcesbmp seq\n"
    "Sourcesbmp \nCompositage sum.bmp\ncompositage \nDimension Libre\ndimension libre Libre\nDimension Fixe\n"
    "Dimension \nOptiTranslation 4\noptitranslation 0\nOptitranslation -3\noptiTranslation \nAngle -2 2 0.5\n"
    "angle -1,5 1,5 0,5\nAngle -2 2\nTranslation 10 0\ntranslation 7 2\nTranslation 5\nBloc 16 4 2 1\n"
    "bloc 16 4 2 0.5 9\nBloc \nQuitter \nQuitter:\nquitter 1\nRem\nUnknown command here\nSOURCE x y\nSources x y\n"
    "  :  : \n   \n\nRem last line without a line end";

// Quitter with its line feed stays an unknown keyword; on the last line without a line end
// it is recognised. Separators, long lines and numbers read like strtok and atoi read them.
const std::string kTokenising = "Reference ref.bmp\nQuitter\nRem\nSource:a.bmp,a_out.bmp,5,6\nRem " +
                                std::string(1200, 'x') +
                                "\nAngle:-1.5 ,, 1.5 :0.25\nTranslation 3x 2.9\nBloc 12345678901 -5 3 abc\nQuitter";

const std::string kBlocks =
    "Reference ref.bmp\nSourcesbmp src out 1 2\nAngle -2 2 1\nTranslation 4 1\nBloc 16 4 2 1\n"
    "Compositage sum.bmp\n";

const Views kBlocksViews = {{1, 2, -1}, {-1, -3, 2}};
const std::vector<std::string> kBlocksFiles = joined({"shift.lst", "out1.bmp", "out2.bmp"}, kComposite);
const std::string kRange = "Angle -3 3 1\nTranslation 6 1\n";
const Views kRangeViews = {{1.5, 3, -2}, {-2.0, -4, 1}, {0, 2, 5}};
const std::vector<std::string> kRangeFiles = {"shift.lst", "out1.bmp", "out2.bmp", "out3.bmp"};
const std::string kThree = "Reference ref.bmp\nSourcesbmp src out 1 3\n" + kRange;
const Views kOneView = {{0.5, 2, -1}};
const std::string kOneSource = "Reference ref.bmp\nSource src1.bmp out1.bmp\n";
const std::string kStars = kOneSource + "Translation 1 1\n";

// The fatal stops: the message, then the abort after reading one character; no output file
// (the log is opened once the reference is read).
GoldenCase fatal(const char* name, std::string script, void (*prepare)(const fs::path&) = writeFatalInputs,
                 std::vector<std::string> absent = {"shift.lst", "out.bmp"}) {
    return {.name = name,
            .script = std::move(script),
            .prepare = prepare,
            .fatal = true,
            .input = "x",
            .absent = std::move(absent)};
}

// One case a line, as a table reads (not reflowed by clang-format).
// clang-format off
const GoldenCase kGoldenCases[] = {
    // ---- script reading
    {.name = "every_command", .script = kEveryCommand, .files = joined({"shift.lst"}, kComposite), .flatSize = {8, 6},
     .flatPixel = {10, 20, 30, 255}},
    {.name = "tokenising", .script = kTokenising, .files = {}},
    {.name = "crlf", .script = "Reference ref.bmp 2 2\r\nSource a.bmp a_out.bmp\r\n\r\nTranslation 5 1\r\nQuitter \r\n",
     .files = {"shift.lst"}},
    {.name = "refused_values",
     .script = "Reference ref.bmp 5000000 -3\nSource a.bmp a_out.bmp 2000000 -2000000\nAngle 400 -400 -1\n"
               "Angle nan inf 0\nAngle -2 2 1e39\nTranslation 70000 -2\nTranslation -2147483648 3\n"
               "Bloc 70000 -1 70000 0\nBloc 8 2 1 -0.5\nBloc 8 2 1 nan\n",
     .files = {"shift.lst"}},
    {.name = "sourcesbmp",
     .script = "Reference ref.bmp\nSourcesbmp img out 8 11\nSourcesbmp img out -2 0\nSourcesbmp img out 2147483647 "
               "-2147483648\nSourcesbmp img out -2147483648 2147483647\n",
     .files = {}},
    // ---- start of a run: without argument the default script is read and Enter awaited
    {.name = "default_script", .script = "Reference ref.bmp\n", .files = {"shift.lst"}, .args = {}, .input = "\n"},
    {.name = "extra_arguments", .script = "Reference ref.bmp\n", .files = {},
     .args = {"script.txt", "other.txt", "third.txt"}},
    // ---- registration
    {.name = "angle_range", .script = kThree, .files = kRangeFiles, .views = kRangeViews},
    // A single angle: translations searched in two stages.
    {.name = "single_angle", .script = "Reference ref.bmp\nSourcesbmp src out 1 3\nTranslation 20 1\nOptiTranslation 3\n",
     .files = {"shift.lst", "out1.bmp", "out2.bmp", "out3.bmp"}, .views = {{0, 13, -9}, {0, -6, 15}, {0.5, 0, 0}}},
    // Without angle or translation the narrow window is still searched.
    {.name = "no_angle_no_translation", .script = "Reference ref.bmp\nSource src1.bmp out1.bmp\n",
     .files = {"shift.lst", "out1.bmp"}, .views = {{0, 4, -3}}},
    // A fixed angle rotates only in the second stage.
    {.name = "fixed_angle", .script = "Reference ref.bmp\nSource src1.bmp out1.bmp 50 34\nAngle 2 2\nTranslation 12 2\n",
     .files = {"shift.lst", "out1.bmp"}, .views = {{2, 5, 3}}},
    // A shift on the border of the range is marked non-optimal.
    {.name = "border_shift", .script = "Reference ref.bmp\nSource src1.bmp out1.bmp\nAngle -1 1 1\nTranslation 3 1\n",
     .files = {"shift.lst", "out1.bmp"}, .views = {{0, 6, 1}}},
    {.name = "blocks_integer", .script = kBlocks, .files = kBlocksFiles, .views = kBlocksViews},
    // A fractional block step resamples every candidate.
    {.name = "blocks_fractional", .script = "Reference ref.bmp\nSource src1.bmp out1.bmp\nTranslation 4 1\nBloc 20 5 2 0.5\n",
     .files = {"shift.lst", "out1.bmp"}, .views = {{0, 2, -1}}},
    // An image too small for the grid is left undeformed.
    {.name = "blocks_empty_grid", .script = "Reference ref.bmp\nSource src1.bmp out1.bmp\nTranslation 2 1\nBloc 16 48 2 1\n",
     .files = {"out1.bmp"}, .views = {{0, 1, 1}}},
    // ---- sub-pixel refinement of the angle, the shift and the blocks; its refused values
    {.name = "affinage_blocks", .script = kBlocks + "Affinage 1\n",
     .files = joined({"shift.lst", "affinage.lst", "out1.bmp", "out2.bmp"}, kComposite),
     .views = {{1.3, 2.4, -1.7}, {-0.6, -3.2, 1.5}}},
    {.name = "affinage_translation",
     .script = "Reference ref.bmp\nSource src1.bmp out1.bmp\nTranslation 5 1\naffinage 1\nAffinage -1\n"
               "Affinage oui\nAffinage 2\nAffinage \n",
     .files = {"shift.lst", "affinage.lst", "out1.bmp"}, .views = {{0.4, 1.6, -2.3}}},
    // ---- composite: the average divides by the number of listed images (b.bmp is missing)
    {.name = "missing_source_average",
     .script = "Reference ref.bmp\nSource a.bmp a_out.bmp\nSource b.bmp b_out.bmp\nSource c.bmp c_out.bmp\n"
               "Source d.bmp d_out.bmp\nCompositage out.sum.bmp\n",
     .files = {"shift.lst", "outR.fit", "outV.fit", "outB.fit", "out.bmp"}, .flatSize = {48, 36},
     .flatPixel = {200, 200, 200, 255}, .copies = {"a.bmp", "c.bmp", "d.bmp"}, .absent = {"b_out.bmp"}},
    // A run without images still writes the log (empty) and the composite.
    {.name = "no_images", .script = "Reference ref.bmp\nCompositage empty\n",
     .files = {"shift.lst", "emptyR.fit", "emptyV.fit", "emptyB.fit", "empty.bmp"}, .flatSize = {3, 2},
     .flatPixel = {9, 9, 9, 255}},
    // The raw sums are saved before the composite's files.
    {.name = "sums_echo", .script = kOneSource + "sommes s.fit\nSommes \nCompositage c.bmp\n", .views = {{0, 1, 1}}},
    // ---- frame selection and built reference
    {.name = "selection_half",
     .script = "Reference ref.bmp\n" + frameSources(5) + "Translation 2 1\nCompositage sum.bmp\nselection 50\n",
     .files = {"qualite.lst", "shift.lst", "sum.bmp"}, .blurred = {3, 0, 6, 1}, .absent = {"out1.bmp", "out3.bmp"}},
    {.name = "lucky_refused",
     .script = "Reference ref.bmp\n" + frameSources(1) +
               "Selection 0\nSelection 101\nselection \nReferenceAuto 0\nreferenceauto -3\nReferenceAuto \n",
     .files = {}, .blurred = {0}, .absent = {"qualite.lst", "reference_auto.bmp"}},
    // Fewer frames than asked build the reference from all of them; the building logs nothing.
    {.name = "referenceauto_fewer", .script = frameSources(2) + "ReferenceAuto 5\nTranslation 2 1\nCompositage sum.bmp\n",
     .files = {"qualite.lst", "shift.lst", "reference_auto.bmp", "sum.bmp"}, .blurred = {2, 0}},
    // ---- camera files: a video as reference and as a sequence, stacked deep; a cut video
    {.name = "camera_sequence",
     .script = "Reference video.ser\nSequence video.ser out 2 3\nsequence video.ser out 9 12\nSequence missing.ser x\n"
               "Sequence ref.bmp x\nSequence video.ser\nAngle -3 3 1\nTranslation 6 1\nBloc 16 4 2 1\n"
               "Empilement stack.fit\nempilement\n",
     .files = {"out2.bmp", "out3.bmp", "shift.lst", "stack.png", "stack.fit"}, .prepare = writeVideo},
    {.name = "camera_truncated",
     .script = "Reference video.ser\nSource cut.ser a.bmp\nSequence cut.ser b\nSequence cut.ser b 1 2\n"
               "Sequence cube.fit c 6 9\nSource missing.ser c.bmp\nTranslation 4 1\nEmpilement deep.fits\n",
     .files = {"deep.png"}, .prepare = writeCutVideo},
    // Only the first of these writes qualite.lst: the other files are those of blocks_integer.
    {.name = "selection_every_frame", .script = kBlocks + "Selection 100\n",
     .files = {"qualite.lst"}, .views = kBlocksViews, .sameFiles = kBlocksFiles, .filesOf = "blocks_integer"},
    {.name = "affinage_off", .script = kBlocks + "Affinage 1\nAffinage 0\n", .views = kBlocksViews,
     .absent = {"affinage.lst"}, .sameFiles = kBlocksFiles, .filesOf = "blocks_integer"},
    {.name = "selection_unreadable",
     .script = "Reference ref.bmp\nSource a.bmp b.bmp\nSelection 50\nCompositage sum.bmp\n",
     .files = {"qualite.lst", "shift.lst"}},
    // The last of Reference and ReferenceAuto wins, with a warning; the loser is not read.
    {.name = "reference_replaced", .script = "Reference nowhere.bmp\n" + frameSources(2) + "ReferenceAuto 2\n",
     .files = {"shift.lst", "reference_auto.bmp"}, .blurred = {1, 0}},
    {.name = "referenceauto_replaced", .script = "ReferenceAuto 2\nReference ref.bmp\n" + frameSources(2),
     .files = {"shift.lst"}, .blurred = {1, 0}, .absent = {"reference_auto.bmp", "qualite.lst"}},
    // Progress stars: one per sixteenth of the angle range (17 at most), three per refinement step.
    {.name = "stars/beyond_the_last_step", .script = kStars + "Angle -5 5 1\n", .files = {}, .views = {{0, 0, 0}}},
    {.name = "stars/zero_falls_out", .script = kStars + "Angle -3 0 1\n", .files = {}, .views = {{0, 0, 0}}},
    {.name = "stars/fine_steps", .script = kStars + "Angle -2 2 0.1\n", .files = {}, .views = {{0, 0, 0}}},
    {.name = "stars/no_coarse_angle", .script = kStars + "Angle 1 -1 1\n", .files = {}, .views = {{0, 0, 0}}},
    // Quitter: no wait for Enter after the default script.
    {.name = "default_script_quitter", .script = "Reference ref.bmp\nQuitter \n", .files = {}, .args = {}},
    // Steps finer than single precision can resolve made runs that never ended (stars printed
    // forever; candidate offsets piling up), and a negative block range a grid of millions of
    // blocks: refused, the run goes on with the previous values.
    {.name = "too_fine/limits", .script = "Reference ref.bmp\nAngle -1 1 0.0001\nAngle -2 2 0.00009\nAngle -1 1 1e-30\n"
                                          "Bloc 16 4 2 0.01\nBloc 16 4 2 0.009\nBloc 16 4 2 1e-9\nBloc 16 4 2 0\n"},
    {.name = "too_fine/angle_step", .script = kOneSource + "Angle -3 3 1e-7\nTranslation 2 1\n", .views = kOneView},
    {.name = "too_fine/block_step", .script = kOneSource + "Translation 2 1\nBloc 16 4 2 1e-9\n", .views = kOneView},
    {.name = "too_fine/negative_block_range", .script = kOneSource + "Translation 2 1\nBloc 1 0 -65535 1\n",
     .views = kOneView},
    // 1 x 65535 pixels turned by 45 degrees would cover about 46341 x 46341: skipped.
    {.name = "turned_box_too_large",
     .script = "Reference ref.bmp\nSource thin.bmp thin_out.bmp\nSource src1.bmp out1.bmp\nAngle -45 -44 1\n"
               "Translation 1 1\nCompositage sum.bmp\n",
     .views = kOneView, .prepare = writeThinFrame, .absent = {"thin_out.bmp"}},
    // ---- outputs that cannot be written: reported where the run saves them, and it goes on
    {.name = "unwritable/missing_result_folder", .script = "Reference ref.bmp\nSourcesbmp src res/out 1 3\n" + kRange,
     .views = kRangeViews, .sameFiles = {"shift.lst"}, .filesOf = "angle_range"},
    {.name = "unwritable/result_is_a_folder", .script = kThree, .files = {"out2.bmp/keep.txt"}, .views = kRangeViews,
     .prepare = [](const fs::path& d) { block(d / "out2.bmp"); }, .sameFiles = {"shift.lst", "out1.bmp", "out3.bmp"},
     .filesOf = "angle_range"},
    {.name = "unwritable/result_name_too_long",   // beyond NAME_MAX (255)
     .script = "Reference ref.bmp\nSource src1.bmp " + std::string(300, 'n') + ".bmp\nSource src2.bmp out2.bmp\n" +
               kRange,
     .files = {"shift.lst"}, .views = kRangeViews, .sameFiles = {"out2.bmp"}, .filesOf = "angle_range"},
    {.name = "unwritable/composite_folder_missing", .script = kThree + "Compositage stack/sum.bmp\n",
     .views = kRangeViews, .sameFiles = kRangeFiles, .filesOf = "angle_range"},
    // The run goes on without its log.
    {.name = "unwritable/shift_log_is_a_folder", .script = kThree, .files = {"shift.lst/keep.txt"},
     .views = kRangeViews, .prepare = [](const fs::path& d) { block(d / "shift.lst"); },
     .sameFiles = {"out1.bmp", "out2.bmp", "out3.bmp"}, .filesOf = "angle_range"},
    // 16 KiB: below every BMP and FITS file of the run, above shift.lst; 4 bytes cut the log too,
    // reported when it is closed, and not put in place.
    {.name = "unwritable/full_disk", .script = kThree + "Compositage sum.bmp\n", .views = kRangeViews,
     .absent = joined({"out1.bmp", "out2.bmp", "out3.bmp"}, kComposite), .sameFiles = {"shift.lst"},
     .filesOf = "angle_range", .fileSizeLimit = 16384},
    {.name = "unwritable/full_disk_cuts_the_log", .script = kThree + "Compositage sum.bmp\n", .views = kRangeViews,
     .absent = joined(kRangeFiles, kComposite), .fileSizeLimit = 4},
    // A full disk under a result named as its own source or as an earlier result: the file it
    // would have replaced keeps every byte. With room, the source itself can be the result.
    {.name = "unwritable/full_disk_over_inputs",
     .script = "Reference ref.bmp\nSource src.bmp src.bmp\nSource src.bmp out.bmp\n", .files = {"src.bmp", "out.bmp"},
     .prepare = [](const fs::path& d) { writeText(d / "out.bmp", "an earlier result"); }, .copies = {"src.bmp"},
     .fileSizeLimit = 64},
    {.name = "source_is_its_result", .script = "Reference ref.bmp\nSource out1.bmp out1.bmp\n", .views = {{0, 4, -3}},
     .prepare = [](const fs::path& d) { fs::rename(d / "src1.bmp", d / "out1.bmp"); }, .sameFiles = {"out1.bmp"},
     .filesOf = "no_angle_no_translation"},
    // ---- bad input files: a bad source is reported and skipped, a bad reference is fatal
    {.name = "bad_sources",
     .script = kOneSource + "Source rows_cut.bmp x1.bmp\nSource huge_header.bmp x2.bmp\n"
               "Source eight_bit_short.bmp x3.bmp\nSource zero_width.bmp x4.bmp\nSource zero_height.bmp x5.bmp\n"
               "Source src3.bmp out3.bmp\n" + kRange,
     .files = {"shift.lst"}, .views = kRangeViews, .prepare = writeBadFiles,
     .absent = {"x1.bmp", "x2.bmp", "x3.bmp", "x4.bmp", "x5.bmp"}, .sameFiles = {"out1.bmp", "out3.bmp"},
     .filesOf = "angle_range"},
    fatal("fatal/bad_reference/rows_cut", "Reference rows_cut.bmp\nSource src.bmp out.bmp\n", writeBadFiles),
    fatal("fatal/bad_reference/huge_header", "Reference huge_header.bmp\nSource src.bmp out.bmp\n", writeBadFiles),
    fatal("fatal/bad_reference/eight_bit_short", "Reference eight_bit_short.bmp\nSource src.bmp out.bmp\n",
          writeBadFiles),
    fatal("fatal/bad_reference/zero_width", "Reference zero_width.bmp\nSource src.bmp out.bmp\n", writeBadFiles),
    fatal("fatal/bad_reference/zero_height", "Reference zero_height.bmp\nSource src.bmp out.bmp\n", writeBadFiles),
    fatal("fatal/no_reference", "Source a.bmp b.bmp\n"),
    fatal("fatal/reference_missing", "Reference nowhere.bmp\n"),
    fatal("fatal/reference_compressed", "Reference rle.bmp\n"),
    fatal("fatal/reference_bitfields", "Reference bf32.bmp\n"),
    fatal("fatal/reference_16_bits", "Reference rgb16.bmp\n"),
    fatal("fatal/sourcesbmp_too_many", "Reference ref.bmp\nSourcesbmp s r 1 2\nSourcesbmp s r 1 29998\n"),
    fatal("fatal/zero_resolution", "Reference ref.bmp\nSource src.bmp out.bmp\nAngle -1 1 0\nTranslation 2 1\n",
          writeFatalInputs, {"out.bmp"}),
    fatal("fatal/zero_resolution_single_angle", "Reference ref.bmp\nSource src.bmp out.bmp\nAngle 1 1 0\n",
          writeFatalInputs, {"out.bmp"}),
    fatal("fatal/referenceauto_unreadable", "Source a.bmp b.bmp\nSource c.bmp d.bmp\nReferenceAuto 3\n", nullptr),
    {.name = "fatal/missing_script", .script = "", .files = {}, .fatal = true, .args = {"missing script.txt"}},
};
// clang-format on

using GoldenRun = WholeRun<std::tuple<Program, GoldenCase>>;

TEST_P(GoldenRun, ConsoleAndFilesMatchTheGoldenFiles) {
    const GoldenCase& c = std::get<1>(GetParam());
    if (!c.views.empty()) {
        writeSequence(dir.path, c.views);
    } else if (!c.blurred.empty()) {
        writeBlurred(dir.path, c.blurred);
    } else {
        for (const std::string& name : joined({"ref.bmp"}, c.copies))
            writeOwnedImage(dir / name, makeImage(c.flatSize[0], c.flatSize[1], c.flatPixel));
    }
    if (c.prepare != nullptr) c.prepare(dir.path);
    if (!c.script.empty()) writeText(dir / (c.args.empty() ? "ScriptKalvorine2.txt" : "script.txt"), c.script);
    const RunResult r = run(c.args, {.input = c.input, .fileSizeLimit = c.fileSizeLimit});
    EXPECT_TRUE(c.fatal ? r.aborted() : r.exitedWith(0)) << "exit " << r.exitCode << " signal " << r.signal;
    expectGolden(c.name, "stdout.txt", r.out, program().sse);
    for (const std::string& f : c.files) expectGolden(c.name, f, withoutDate(readText(dir / f)), program().sse);
    for (const std::string& f : c.sameFiles) expectGolden(c.filesOf, f, withoutDate(readText(dir / f)), program().sse);
    for (const std::string& f : c.absent) EXPECT_FALSE(fs::exists(dir / f)) << f;
    for (const auto& entry : fs::recursive_directory_iterator(dir.path))   // a failed save leaves no partial file
        EXPECT_EQ(entry.path().string().find(".kalvorine-tmp"), std::string::npos) << entry.path();
}

std::string goldenName(const ::testing::TestParamInfo<std::tuple<Program, GoldenCase>>& info) {
    std::string name = std::string(std::get<0>(info.param).name) + "_" + std::get<1>(info.param).name;
    std::replace(name.begin(), name.end(), '/', '_');
    return name;
}

INSTANTIATE_TEST_SUITE_P(Cases, GoldenRun, ::testing::Combine(KAL_BOTH_PROGRAMS, ::testing::ValuesIn(kGoldenCases)),
                         goldenName);

using CliRun = WholeRun<Program>;
INSTANTIATE_TEST_SUITE_P(Programs, CliRun, KAL_BOTH_PROGRAMS, programName);

TEST_P(CliRun, TwentyNineThousandNineHundredNinetyNineImagesAreTheLimit) {
    writeOwnedImage(dir / "ref.bmp", makeImage(2, 2, {1, 2, 3, 255}));
    std::string script = "Reference ref.bmp\nQuitter \n";
    for (int i = 1; i <= 29999; ++i) script += "Source s" + std::to_string(i) + " r\n";
    RunResult r = runScript(script);
    ASSERT_TRUE(r.exitedWith(0) && r.out.find("Traitement de l'image 29999 (s29999)") != std::string::npos);
    r = runScript(script + "Source one more\n");
    EXPECT_TRUE(r.aborted());
    EXPECT_TRUE(endsWith(r.out, "Erreur : trop d'images \x88 traiter\n" + std::string(kFatalLines)));
}

}   // namespace
