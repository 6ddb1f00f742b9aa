// Synthetic image sequences with a known answer: a reference frame and source frames cut
// out of a scene image, each turned and shifted by a known amount, distorted by a smooth
// random field (atmospheric seeing), blurred and made noisy. Deterministic for a seed on
// any platform with IEEE doubles: own random generator, own Gaussian sampling.
//
// Geometry (x to the right, y downwards, W x H frames, centre point C = (W/2, H/2) in
// integer division, scene centre c):
//   reference pixel q shows scene point  c + (q - C)
//   frame k pixel q shows scene point    c + R(-theta) (q + D(q) - (C + t))
// where R(a)(u, v) = (cos a u - sin a v, sin a u + cos a v), t = (tx, ty) and D is the
// frame's seeing displacement (the reference has one too). Pixel C + t + R(theta) w of
// frame k shows what the reference shows at C + w, which is what kalvorine's aligned image
// does with theta and the shift (tx, ty); so theta and t are the answers it should find.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kalseq {

// An 8-bit colour raster: 3 bytes per pixel in BMP order (blue, green, red), top row first.
struct Raster {
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::vector<std::uint8_t> bgr;   // width * height * 3
};

// Everything that decides a sequence. The script lines are written only when their
// write flag is set.
struct SequenceOptions {
    std::string scenePath;   // 24-bit BMP
    std::string outputDir = "sequence";
    std::int32_t frames = 8;   // source frames, besides the reference
    std::int32_t width = 640;
    std::int32_t height = 480;
    std::uint64_t seed = 1;
    double maxRotationDegrees = 3.0;   // each frame: uniform in [-max, max]
    double maxShift = 15.0;            // each frame: tx and ty uniform in [-max, max] pixels
    double seeingAmplitude = 1.5;      // standard deviation of each displacement component at the field's nodes, pixels
    double seeingScale = 64.0;         // spacing of the field's nodes, pixels
    double blurSigma = 0.7;            // Gaussian blur after the warp, pixels (0: none)
    double noiseSigma = 3.0;           // Gaussian noise per channel, grey levels (0: none)
    // Seeing that varies from frame to frame (used when blurMax > 0): each frame's blur is drawn
    // in [blurMin, blurMax] in place of blurSigma, its seeing amplitude is seeingAmplitude
    // times its blur over the middle of the range, the truth file gains a blur column and
    // sharp.bmp (the reference view without seeing, blur or noise) is written too.
    double blurMin = 0;
    double blurMax = 0;

    bool writeAngle = true;   // "Angle min max resolution"
    double angleMin = -5, angleMax = 5, angleResolution = 1;
    bool writeTranslation = true;   // "Translation max step"
    std::int32_t translationMax = 20, translationStep = 1;
    bool writeBloc = true;   // "Bloc grid search max step"
    std::int32_t blocGrid = 32, blocSearch = 8, blocMax = 4;
    double blocStep = 1;
    bool writeComposite = true;   // "Compositage name"
    std::string compositeName = "sum.bmp";
    bool writeAffinage = false;          // "Affinage 1": the sub-pixel refinement
    std::int32_t selectionPercent = 0;   // "Selection P" when > 0
    std::int32_t referenceAuto = 0;      // "ReferenceAuto N" in place of "Reference" when > 0
};

// The true placement of one frame: what kalvorine should report for it.
struct FrameTruth {
    double rotationDegrees = 0;
    double shiftX = 0;
    double shiftY = 0;
};

// --- Random numbers: xoshiro256** seeded through splitmix64 -------------------------------

struct Random {
    std::uint64_t state[4] = {0, 0, 0, 0};
};

std::uint64_t splitMix64(std::uint64_t& x);
Random seededRandom(std::uint64_t seed);
std::uint64_t nextBits(Random& r);
double nextUniform(Random& r);                            // [0, 1), 53 bits
double nextUniform(Random& r, double low, double high);   // [low, high)
double nextGaussian(Random& r);                           // mean 0, deviation 1 (polar method)

// The generator of frame `index` (0 = reference): independent of the number of frames, so
// a longer sequence with the same seed starts with the same frames.
Random frameRandom(std::uint64_t seed, std::int32_t index);

// --- Silent BMP files -------------------------------------------------------------------------

// Reads an uncompressed 24-bit BMP file (bottom-up or top-down). On failure returns false
// and says why in `error`. Prints nothing.
bool readBmp(const std::string& path, Raster& out, std::string& error);

// Writes a 24-bit bottom-up BMP file with a 54-byte header. Prints nothing.
bool writeBmp(const std::string& path, const Raster& image);

// --- Rendering ----------------------------------------------------------------------------------

// The placement drawn for frame `index`; the reference (index 0) is (0, 0, 0).
FrameTruth frameTruth(const SequenceOptions& options, std::int32_t index);

// The Gaussian blur of frame `index`, pixels: blurSigma, or its own draw in the blur range.
double frameBlur(const SequenceOptions& options, std::int32_t index);

// The seeing amplitude of frame `index`, pixels.
double frameSeeing(const SequenceOptions& options, std::int32_t index);

// The reference view without seeing, blur or noise: the truth a stack should approach.
Raster renderSharp(const Raster& scene, const SequenceOptions& options);
std::string sharpFileName();   // "sharp.bmp"

// Frame `index` of the sequence (0 = reference) rendered from the scene. `outsideSamples`,
// when given, receives how many pixels looked beyond the scene's edge (edge pixels are
// repeated there).
Raster renderFrame(const Raster& scene, const SequenceOptions& options, std::int32_t index,
                   std::int64_t* outsideSamples = nullptr);

// renderFrame with the placement given instead of drawn (the seeing, blur and noise of frame
// `index` as before).
Raster renderPlacedFrame(const Raster& scene, const SequenceOptions& options, std::int32_t index,
                         const FrameTruth& truth, std::int64_t* outsideSamples = nullptr);

// Seeing displacement of frame `index` at every pixel, row by row: dx then dy per pixel.
std::vector<double> seeingField(const SequenceOptions& options, std::int32_t index);

// A raster as kalvorine holds images in memory: 4 bytes per pixel (blue, green, red,
// validity 255), top row first.
std::vector<std::uint8_t> withValidity(const Raster& image);

// --- Files of a sequence ------------------------------------------------------------------------

std::string referenceFileName();                                                   // "reference.bmp"
std::string frameFileName(const SequenceOptions& options, std::int32_t index);     // "frame01.bmp", ...
std::string alignedFileName(const SequenceOptions& options, std::int32_t index);   // "aligned01.bmp", ...
std::string scriptFileName();                                                      // "script.txt"
std::string truthFileName();                                                       // "truth.txt"

// The kalvorine script for the sequence; every file name is relative to the output folder.
std::string scriptText(const SequenceOptions& options);

// The truth file: comment lines starting with '#', then one line per frame,
// "index file rotation_degrees shift_x shift_y", the reference first with index 0 (and a
// sixth column, the frame's blur in pixels, with a blur range).
std::string truthText(const SequenceOptions& options);

// Reads the frame lines of a truth file, reference included (entry 0).
bool readTruth(const std::string& path, std::vector<FrameTruth>& out, std::string& error);

// The RMS, over the pixels q of a width x height frame, of the distance between where two
// placements put q: C + t + R(theta) (q - C) for each, C = (width / 2, height / 2).
double placementDistance(const FrameTruth& a, const FrameTruth& b, std::int32_t width, std::int32_t height);

// The rigid placement that best explains frame `index` once the seeing is counted: each
// reference pixel q (every other row and column) is followed to the frame pixel p that shows
// the same scene point (p + D_k(p) = C + t + R(theta) (q + D_0(q) - C)), and the rotation and
// shift fitting those pairs in least squares are returned. A registration cannot tell the
// seeing's mean displacement over the frame from a motion: this is what it can find at best.
// `truth` is the frame's placement as the truth file gives it.
FrameTruth bestRigidPlacement(const SequenceOptions& options, std::int32_t index, const FrameTruth& truth);

// The options a truth file's comment lines record (seed, frame count and size, seeing, blur,
// noise); false when they are not there.
bool optionsFromTruth(const std::string& path, SequenceOptions& options);

// Renders and writes every frame, the script and the truth file into options.outputDir
// (created when missing). Prints nothing; returns false with a reason on failure.
// `outsideFrames`, when given, receives the indices of frames that looked beyond the scene.
bool writeSequence(const SequenceOptions& options, std::string& error,
                   std::vector<std::int32_t>* outsideFrames = nullptr);

}   // namespace kalseq
