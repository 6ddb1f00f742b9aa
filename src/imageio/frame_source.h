// Frames of camera files: one entry point that loads frame k of a named file, the format
// told by the file's first bytes (the SER identifier "LUCAM-RECORDER", the FITS card
// "SIMPLE  =", anything else goes to the BMP reader, unchanged). SER and FITS frames come
// at full depth (DeepImage); registration works on an 8-bit view of them (viewOf).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/image.h"

// Results of loadFrame: the values of loadBmp's results.
constexpr int kFrameLoaded = 0;      // image or deep set
constexpr int kFrameNotOpened = 1;   // the file does not open
constexpr int kFrameUnusable = 2;    // reported: header or samples unusable

enum class FrameFormat { bmp, ser, fits };

// Samples at full depth, top row first: channels values per pixel (1: grey; 3: red, green,
// blue), in the units of the file (0..range). weight is empty for a frame whose every pixel
// holds data, otherwise one value per pixel in 0..1; a sample at a pixel of weight w has
// already been multiplied by w (resampling mixes in the zeros outside the frame).
struct DeepImage {
    std::vector<float> samples;
    std::vector<float> weight;
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::int32_t channels = 0;   // 0: no deep frame
    std::int32_t depth = 8;      // bits per sample in the file (8 or 16; 32 and -32/-64 for FITS)
    float range = 255;           // largest value the file's depth can hold: 255 or 65535
};

// What a file holds, read from its header alone.
struct FrameSourceInfo {
    FrameFormat format = FrameFormat::bmp;
    long long fileSize = 0;
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::int32_t depth = 8;       // SER: PixelDepthPerPlane; FITS: BITPIX
    std::int64_t frames = 1;      // whole frames present in the file
    std::int64_t announced = 1;   // frames the header announces (more than frames: truncated)
    std::string colour;           // "mono", "RGGB" ..., "RGB", "BGR"
};

// Reads the header of a SER or FITS file; false (reported) for a file that does not open,
// that is neither, or whose header is unusable. A truncated video is not reported here: its
// whole frames are counted in frames.
bool probeFrameSource(const char* path, FrameSourceInfo& info);

// Loads frame index (0 first) of the file. A BMP file (anything that is not SER or FITS)
// is read by loadBmp into image, with its messages and outcomes, and deep is left empty;
// a SER or FITS frame goes to deep (Bayer frames demosaiced) and image is not touched.
// Starts with "Chargement du fichier <name>" like loadBmp; errors continue that line.
int loadFrame(const char* path, std::int64_t index, Image& image, DeepImage& deep);

// The 8-bit view registration works on: each sample v clipped to 0..maximum becomes
// trunc(v * 255 / maximum) (grey samples on the three channels), validity 255 where the
// weight is 1 (trunc(255 * weight) elsewhere). maximum > 0.
Image viewOf(const DeepImage& deep, float maximum);

// The largest sample of the frame (at least 1): the scale of the views of a run.
float largestSample(const DeepImage& deep);

// A deep copy of an 8-bit image: red, green, blue from channels 2, 1, 0, weight from the
// validity byte.
DeepImage deepOf(const Image& image);

// Bilinear demosaic of a colour-filter mosaic (one sample a pixel, top row first): pattern
// names the colours of the 2x2 cell at (0, 0), e.g. "RGGB". Missing colours are the mean
// of the nearest samples of that colour (two or four neighbours; at the border, those that
// exist). Returns the three planes interleaved (red, green, blue).
std::vector<float> demosaicBilinear(const std::vector<float>& mosaic, std::int32_t width, std::int32_t height,
                                    const char* pattern);
