// libFuzzer targets, one a build (KAL_FUZZ_SCRIPT, KAL_FUZZ_BMP or KAL_FUZZ_CAMERA): a reader
// on arbitrary bytes, held in memory and opened by name. Each input must be read, reported
// or end in the fatal stop, with every buffer access in bounds (the sanitizers) and what was
// read within the limits the later stages rely on; a broken invariant aborts with its text.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/image.h"
#include "driver/run_settings.h"
#include "driver/script_reader.h"
#include "fuzz_support.h"
#include "imageio/bmp_reader.h"
#include "imageio/bmp_writer.h"
#include "imageio/frame_source.h"

extern "C" std::FILE* __real_fopen(const char* path, const char* mode);
extern "C" int __real_fclose(std::FILE* file);

namespace {

void check(bool condition, const char* what) {
    if (condition) return;
    std::fprintf(stderr, "broken invariant: %s\n", what);
    std::abort();
}

// Files in memory (memfd), named "/proc/self/fd/N": no disk traffic between inputs.
int inputFd = -1, outputFd = -1;
std::string inputPath, outputPath;

std::string memoryFile(const char* name, int& fd) {
    fd = memfd_create(name, 0);
    check(fd >= 0, "memfd_create");
    return "/proc/self/fd/" + std::to_string(fd);
}

// The streams the code under test opened (fopen and fclose are wrapped at link time): the
// fatal stop leaves its file open, as the real program does before it aborts.
std::vector<std::FILE*> openStreams;

// Closes the streams left open and returns how many there were.
int closeStreamsLeftOpen() {
    const int count = int(openStreams.size());
    for (std::FILE* file : openStreams) __real_fclose(file);
    openStreams.clear();
    return count;
}

// Runs f; true when it reached the fatal stop.
template <typename F>
bool stops(F f) {
    try {
        f();
    } catch (const FatalStopReached&) {
        return true;
    }
    return false;
}

}   // namespace

extern "C" std::FILE* __wrap_fopen(const char* path, const char* mode) {
    std::FILE* file = __real_fopen(path, mode);
    if (file != nullptr) openStreams.push_back(file);
    return file;
}
extern "C" int __wrap_fclose(std::FILE* file) {
    std::erase(openStreams, file);
    return __real_fclose(file);
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Standard output goes to a stream that drops it, so that no file or device is written.
    cookie_io_functions_t drop = {};
    drop.write = [](void*, const char*, std::size_t size) -> ssize_t { return ssize_t(size); };
    std::fflush(stdout);
    stdout = fopencookie(nullptr, "w", drop);
    check(stdout != nullptr, "fopencookie");
    inputPath = memoryFile("input", inputFd);
    outputPath = memoryFile("output", outputFd);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    check(ftruncate(inputFd, 0) == 0 && pwrite(inputFd, data, size, 0) == ssize_t(size), "the input is stored");
#if defined(KAL_FUZZ_SCRIPT)
    // A whole script: read to its end or to the fatal stop (too many images), every stored
    // value within what the registration and block stages take for granted.
    resetRunSettings();
    settings.scriptFileName = inputPath;
    const bool stopped = stops([] { readScript(); });
    check(closeStreamsLeftOpen() == (stopped ? 1 : 0), "the script is closed after a complete reading");
    if (stopped) return 0;
    const RunSettings& s = settings;
    check(s.imageCount >= 0 && s.imageCount <= kMaxImages, "image count within 0..29999");
    for (int i = 1; i <= s.imageCount; ++i)
        check(!s.sourceNames[i].empty() && !s.resultNames[i].empty() &&
                  (s.sourceX0Given[i] == 0 || std::abs(s.sourceX0[i]) <= kMaxScriptPoint) &&
                  (s.sourceY0Given[i] == 0 || std::abs(s.sourceY0[i]) <= kMaxScriptPoint),
              "every counted image has both names and its point in range");
    check(std::abs(s.referenceX0) <= kMaxScriptPoint && std::abs(s.referenceY0) <= kMaxScriptPoint,
          "reference point in range");
    const float maxAngle = 360.0f * 0.017453292522222223f * 1.0001f;   // false for NaN
    check(std::fabs(s.angleMin) <= maxAngle && std::fabs(s.angleMax) <= maxAngle, "angles within 360 degrees");
    check(s.angleStep == 0 ||
              (std::isfinite(s.angleStep) && s.angleStep >= 0.999f * kMinScriptAngleResolutionDegrees * 0.017453292f),
          "angle step 0 or at least the finest resolution");
    check(s.shiftXMin == -s.shiftXMax && s.shiftYMin == -s.shiftYMax && s.shiftXMax == s.shiftYMax &&
              std::abs(s.shiftXMax) <= kMaxScriptShift && s.shiftStep >= 1,
          "translation range symmetric within 65535, step at least 1");
    check(s.blockGridWidth <= kMaxScriptShift && s.blockSearchWidth >= 0 && s.blockSearchWidth <= kMaxScriptShift,
          "grid width and block half-size within 0..65535");
    check(s.blockShiftXMin == -s.blockShiftXMax && s.blockShiftYMin == -s.blockShiftYMax &&
              s.blockShiftXMax == s.blockShiftYMax && std::abs(s.blockShiftXMax) <= kMaxScriptShift,
          "block shift range symmetric within 65535");
    check(s.blockShiftStep >= kMinScriptBlockStep && s.blockShiftStep <= float(kMaxScriptShift),
          "block step in 0.01..65535");
    check(s.translationFraction >= 1 && (s.subpixelRefinement == 0 || s.subpixelRefinement == 1),
          "translation fraction at least 1, refinement 0 or 1");
#elif defined(KAL_FUZZ_BMP)
    // The BMP reader, then the writer on what it accepted: the image is untouched unless
    // loaded, a loaded one honours the size limits and holds no more pixels than the file
    // could describe, and is written back as a file of exactly the announced size.
    Image im;
    im.width = 7;
    im.height = 5;
    int result = -1;
    const bool stopped = stops([&] { result = loadBmp(im, inputPath.c_str()); });
    check(closeStreamsLeftOpen() == (stopped ? 1 : 0), "the file is closed unless the fatal stop was reached");
    check(stopped || result == kBmpLoaded || result == kBmpUnusable, "an existing file is loaded or reported");
    if (result != kBmpLoaded) {
        check(im.pixels == nullptr && im.width == 7 && im.height == 5, "a refused file leaves the image untouched");
        return 0;
    }
    check(im.width >= 0 && im.height >= 0 && im.width <= kMaxImageSide && im.height <= kMaxImageSide &&
              std::int64_t(im.width) * im.height <= kMaxImagePixels,
          "sides within 0..65535, at most 2^28 pixels");
    check((im.pixels != nullptr) == (pixelBytes(im.width, im.height) != 0), "pixels exactly when not empty");
    // Every pixel comes from (or, for 8-bit files, is announced by) a byte of the file.
    check(std::int64_t(im.width) * im.height <= std::int64_t(size), "no more pixels than bytes in the file");
    for (std::size_t i = 0; i < pixelBytes(im.width, im.height); i += kBytesPerPixel)
        check(im.pixels[i + 3] == 0 || im.pixels[i + 3] == 255, "validity is 0 or 255");
    const bool saved = saveBmp(im, outputPath.c_str());
    check(closeStreamsLeftOpen() == 0 && saved, "an in-memory file is written and closed");
    const std::int64_t rowSize = ((3 * std::int64_t(im.width) - 1) / 4) * 4 + 4;
    check(lseek(outputFd, 0, SEEK_END) == 54 + rowSize * im.height, "the file has the size of its header and rows");
    releasePixels(im);
#else
    // The SER and FITS readers: the file is probed, then frames 0 and 1 loaded. Each gives a
    // frame or a reported refusal (only a file of neither kind goes to the BMP reader and may
    // reach its fatal stop), closes what it opened, and a frame honours the size limits, holds
    // exactly its samples, all finite, and makes an 8-bit view.
    FrameSourceInfo info;
    if (probeFrameSource(inputPath.c_str(), info))
        check(info.width > 0 && info.height > 0 && info.width <= kMaxImageSide && info.height <= kMaxImageSide &&
                  info.frames >= 1,
              "a probed file holds a frame, its sides within the limits");
    check(closeStreamsLeftOpen() == 0, "the probe closes the file");
    for (std::int64_t index = 0; index < 2; ++index) {
        Image im;
        DeepImage deep;
        int result = -1;
        if (stops([&] { result = loadFrame(inputPath.c_str(), index, im, deep); })) {
            const bool camera = (size >= 14 && std::memcmp(data, "LUCAM-RECORDER", 14) == 0) ||
                                (size >= 10 && std::memcmp(data, "SIMPLE  = ", 10) == 0);
            check(!camera, "the SER and FITS readers never reach the fatal stop");
            closeStreamsLeftOpen();
            return 0;
        }
        check(closeStreamsLeftOpen() == 0, "the loader closes the file");
        check(result == kFrameLoaded || result == kFrameUnusable, "a frame or a reported refusal");
        releasePixels(im);   // a BMP-looking input
        if (result != kFrameLoaded || deep.channels == 0) continue;
        check((deep.channels == 1 || deep.channels == 3) && deep.width > 0 && deep.height > 0 &&
                  deep.width <= kMaxImageSide && deep.height <= kMaxImageSide &&
                  std::int64_t(deep.width) * deep.height <= std::min<std::int64_t>(kMaxImagePixels, size),
              "one or three channels, sides within the limits, no more pixels than bytes");
        check(deep.samples.size() == std::size_t(deep.width) * std::size_t(deep.height) * std::size_t(deep.channels),
              "exactly the samples of the frame");
        for (const float v : deep.samples) check(std::isfinite(v), "finite samples");
        Image view = viewOf(deep, largestSample(deep));
        check(view.pixels != nullptr && view.width == deep.width, "a view of the frame");
        releasePixels(view);
    }
#endif
    return 0;
}
