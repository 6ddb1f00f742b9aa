// The shared body of the SER and FITS fuzz targets: a file of arbitrary bytes is probed,
// then frames 0 and 1 are loaded through the frame-source layer. Each load must give a frame
// or a reported refusal (never the fatal stop: these readers have none), close what it
// opened (a file that is neither goes to the BMP reader, which may reach its fatal stop), and
// a frame must honour the size limits, hold exactly its samples, all finite,
// and make an 8-bit view.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/image.h"
#include "fatal_stop_throw.h"
#include "fuzz_support.h"
#include "imageio/frame_source.h"

inline void cameraCheck(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "camera fuzzer: broken invariant: %s\n", what);
        std::abort();
    }
}

inline void fuzzCameraFile(MemoryFile& input, const std::uint8_t* data, std::size_t size) {
    setContents(input, data, size);
    FrameSourceInfo info;
    const bool probed = probeFrameSource(input.path.c_str(), info);
    cameraCheck(closeStreamsLeftOpen() == 0, "the probe closes the file");
    if (probed) {
        cameraCheck(info.width > 0 && info.height > 0 && info.width <= kMaxImageSide && info.height <= kMaxImageSide,
                    "probed sides within the limits");
        cameraCheck(info.frames >= 1, "a probed file holds a frame");
    }
    for (std::int64_t index = 0; index < 2; ++index) {
        Image im;
        DeepImage deep;
        int result = -1;
        try {
            result = loadFrame(input.path.c_str(), index, im, deep);
        } catch (const FatalStopReached&) {
            const bool camera = (size >= 14 && std::memcmp(data, "LUCAM-RECORDER", 14) == 0) ||
                                (size >= 10 && std::memcmp(data, "SIMPLE  = ", 10) == 0);
            cameraCheck(!camera, "the SER and FITS readers never reach the fatal stop");
            closeStreamsLeftOpen();
            return;
        }
        cameraCheck(closeStreamsLeftOpen() == 0, "the loader closes the file");
        cameraCheck(result == kFrameLoaded || result == kFrameUnusable, "a frame or a reported refusal");
        if (im.pixels != nullptr) releasePixels(im);   // a BMP-looking input
        if (result != kFrameLoaded || deep.channels == 0) continue;
        cameraCheck(deep.channels == 1 || deep.channels == 3, "one or three channels");
        cameraCheck(deep.width > 0 && deep.height > 0 && deep.width <= kMaxImageSide && deep.height <= kMaxImageSide &&
                        std::int64_t(deep.width) * deep.height <= kMaxImagePixels,
                    "sides within the limits");
        cameraCheck(deep.samples.size() == std::size_t(deep.width) * std::size_t(deep.height) * std::size_t(deep.channels),
                    "exactly the samples of the frame");
        cameraCheck(std::int64_t(deep.width) * deep.height <= std::int64_t(size), "no more pixels than bytes");
        for (const float v : deep.samples) cameraCheck(std::isfinite(v), "finite samples");
        Image view = viewOf(deep, largestSample(deep));
        cameraCheck(view.pixels != nullptr && view.width == deep.width, "a view of the frame");
        releasePixels(view);
    }
}
