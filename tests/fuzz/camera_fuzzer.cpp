// libFuzzer target of the SER and FITS readers (built twice, as ser_fuzzer and fits_fuzzer,
// each with its own seed corpus): a file of arbitrary bytes is probed, then frames 0 and 1
// are loaded through the frame-source layer. Each load must give a frame or a reported
// refusal (never the fatal stop: these readers have none), close what it opened (a file that
// is neither goes to the BMP reader, which may reach its fatal stop), and a frame must honour
// the size limits, hold exactly its samples, all finite, and make an 8-bit view.
#include <cmath>
#include <cstdint>
#include <cstring>

#include "common/image.h"
#include "fatal_stop_throw.h"
#include "fuzz_support.h"
#include "imageio/frame_source.h"

namespace {

MemoryFile input;

bool startsWith(const std::uint8_t* data, std::size_t size, const char* text) {
    return size >= std::strlen(text) && std::memcmp(data, text, std::strlen(text)) == 0;
}

}   // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    silenceStdout();
    input = makeMemoryFile("in.frame");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    setContents(input, data, size);
    FrameSourceInfo info;
    const bool probed = probeFrameSource(input.path.c_str(), info);
    check(closeStreamsLeftOpen() == 0, "the probe closes the file");
    if (probed) {
        check(info.width > 0 && info.height > 0 && info.width <= kMaxImageSide && info.height <= kMaxImageSide,
              "probed sides within the limits");
        check(info.frames >= 1, "a probed file holds a frame");
    }
    for (std::int64_t index = 0; index < 2; ++index) {
        Image im;
        DeepImage deep;
        int result = -1;
        try {
            result = loadFrame(input.path.c_str(), index, im, deep);
        } catch (const FatalStopReached&) {
            check(!startsWith(data, size, "LUCAM-RECORDER") && !startsWith(data, size, "SIMPLE  = "),
                  "the SER and FITS readers never reach the fatal stop");
            closeStreamsLeftOpen();
            return 0;
        }
        check(closeStreamsLeftOpen() == 0, "the loader closes the file");
        check(result == kFrameLoaded || result == kFrameUnusable, "a frame or a reported refusal");
        if (im.pixels != nullptr) releasePixels(im);   // a BMP-looking input
        if (result != kFrameLoaded || deep.channels == 0) continue;
        check(deep.channels == 1 || deep.channels == 3, "one or three channels");
        check(deep.width > 0 && deep.height > 0 && deep.width <= kMaxImageSide && deep.height <= kMaxImageSide &&
                  std::int64_t(deep.width) * deep.height <= kMaxImagePixels,
              "sides within the limits");
        check(deep.samples.size() == std::size_t(deep.width) * std::size_t(deep.height) * std::size_t(deep.channels),
              "exactly the samples of the frame");
        check(std::int64_t(deep.width) * deep.height <= std::int64_t(size), "no more pixels than bytes");
        for (const float v : deep.samples) check(std::isfinite(v), "finite samples");
        Image view = viewOf(deep, largestSample(deep));
        check(view.pixels != nullptr && view.width == deep.width, "a view of the frame");
        releasePixels(view);
    }
    return 0;
}
