// The straightforward registration and block stages and per-pixel loops, kept as the
// reference that the fast code of src/ must match byte for byte: the tests compare them on
// random cases, and the benchmark builds them into plain programs to measure the speed-up.
#pragma once

#include <cstdint>
#include <cstdio>

#include "blocks/block_stage.h"
#include "common/image.h"
#include "common/precision.h"
#include "registration/global_adjustment.h"

namespace plain {

// Writes the pixel of src at integer position (ix, iy) and fractions (fx, fy) to out:
// bilinear inside, a copy on the last column or row, four zero bytes elsewhere. A
// negative fraction extrapolates; the result keeps its low 8 bits.
inline void samplePixel(const std::uint8_t* src, std::int32_t width, std::int32_t height, std::int32_t ix,
                        std::int32_t iy, float fx, float fy, std::uint8_t* out) {
    if (ix >= 0 && ix < width - 1 && iy >= 0 && iy < height - 1) {
        const std::size_t stride = std::size_t(width) * kBytesPerPixel;
        const std::uint8_t* p00 = src + std::size_t(iy) * stride + std::size_t(ix) * kBytesPerPixel;
        const std::uint8_t* p10 = p00 + kBytesPerPixel;
        const std::uint8_t* p01 = p00 + stride;
        const std::uint8_t* p11 = p01 + kBytesPerPixel;
        const Inter gx = Inter(1) - fx, gy = Inter(1) - fy;
        for (int k = 0; k < kBytesPerPixel; ++k) {
            const Inter v =
                Inter(p00[k]) * gx * gy + Inter(p10[k]) * fx * gy + Inter(p01[k]) * gx * fy + Inter(p11[k]) * fx * fy;
            out[k] = std::uint8_t(std::int32_t(v));
        }
    } else if (ix >= 0 && ix < width && iy >= 0 && iy < height) {
        const std::uint8_t* p = src + (std::size_t(iy) * std::size_t(width) + std::size_t(ix)) * kBytesPerPixel;
        out[0] = p[0];
        out[1] = p[1];
        out[2] = p[2];
        out[3] = p[3];
    } else {
        out[0] = out[1] = out[2] = out[3] = 0;
    }
}

// samplePixel at a position given as one single-precision coordinate per axis.
inline void interpolateAt(const std::uint8_t* src, std::int32_t width, std::int32_t height, float sx, float sy,
                          std::uint8_t* out) {
    const std::int32_t ix = std::int32_t(sx), iy = std::int32_t(sy);
    samplePixel(src, width, height, ix, iy, sx - float(ix), sy - float(iy), out);
}

Image scaledCopy(const Image& source, float factor);
Image rotatedSample(const Image& source, std::int32_t width, std::int32_t height, float angle);
Image rotateAndShift(const std::uint8_t* pixels, std::int32_t width, std::int32_t height, std::int32_t x0,
                     std::int32_t y0, float angle, float shiftX, float shiftY);
void globalAdjustment(RigidGeometry* found = nullptr);
void coarseTranslationSearch(RigidGeometry* found = nullptr);
void makeFeatureImage(Image& image);
float findBlockOffsetInteger(float& outDx, float& outDy, std::int32_t bx, std::int32_t by);
float findBlockOffsetFractional(float& outDx, float& outDy, std::int32_t bx, std::int32_t by);
Image deformImage(const std::uint8_t* pixels, std::int32_t width, std::int32_t height, std::int32_t x0, std::int32_t y0,
                  const BlockGrid& grid, std::int32_t spacingX, std::int32_t spacingY);
void runBlockStage(BlockDeformation* found = nullptr);

// The per-pixel loops of the BMP and FITS files and of the composite.
bool readBmpRows(std::FILE* file, std::int64_t rowSize, std::int32_t width, std::int32_t height, bool topDown,
                 std::uint8_t* pixels);
bool writeBmpRows(std::FILE* file, const Image& image, std::int64_t rowSize);
void writeFitsRows(int channel, char* data);
void addToComposite(const Image& im);
void averageComposite(Image& out);

}   // namespace plain
