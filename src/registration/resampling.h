#pragma once

#include <cstdint>

#include "common/image.h"
#include "common/precision.h"

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

// Copy scaled by factor, bilinear.
Image scaledCopy(const Image& source, float factor);

// Nearest-neighbour window of width x height around the source's reference point,
// turned by angle; odd rows are invalid. Without clearOddRows their bytes are left unset,
// for callers that never read them (measures told so through InvalidRows).
Image rotatedSample(const Image& source, std::int32_t width, std::int32_t height, float angle,
                    bool clearOddRows = true);

// The sine and cosine a sample turned by angle uses, and one even row of that sample
// (width pixels to px), as rotatedSample writes it.
struct SampleTurn {
    float cosA = 1;
    float sinA = 0;
};
SampleTurn sampleTurn(float angle);
void rotatedSampleRow(const Image& source, std::int32_t width, std::int32_t height, SampleTurn turn, std::int32_t j,
                      std::uint8_t* px);

// The frame rotateAndShift fills: the bounding box of the source (width x height, reference
// point (x0, y0)) turned by angle and moved by minus the shift, with its reference point; no
// pixels.
Image turnedFrame(std::int32_t width, std::int32_t height, std::int32_t x0, std::int32_t y0, float angle, float shiftX,
                  float shiftY);

// The whole source turned by angle about (x0, y0) and moved by minus the shift, bilinear,
// in the bounding box of the turned source. A box beyond the image size limits of
// common/image.h gets no pixels (its width and height are still set).
Image rotateAndShift(const std::uint8_t* pixels, std::int32_t width, std::int32_t height, std::int32_t x0,
                     std::int32_t y0, float angle, float shiftX, float shiftY);

// The bilinear value of each of the four bytes, exactly as samplePixel's bilinear branch
// computes it, for fractions fx = a * 2^-23 and fy = b * 2^-23 (|a|, |b| < 2^23). In the
// extended program every product and sum of that branch is then exact (below 2^58 units
// of 2^-46), so integers give the same bytes; the SSE program rounds each operation to
// single precision, which the float code repeats operation for operation.
inline void bilinearFromGrid(const std::uint8_t* p00, const std::uint8_t* p10, const std::uint8_t* p01,
                             const std::uint8_t* p11, std::int32_t a, std::int32_t b, float fx, float fy,
                             std::uint8_t* out) {
    if constexpr (kSseBuild) {
        const float gx = 1.0f - fx, gy = 1.0f - fy;
        for (int k = 0; k < kBytesPerPixel; ++k) {
            const float v =
                float(p00[k]) * gx * gy + float(p10[k]) * fx * gy + float(p01[k]) * gx * fy + float(p11[k]) * fx * fy;
            out[k] = std::uint8_t(std::int32_t(v));
        }
    } else {
        constexpr std::int64_t kOne = std::int64_t(1) << 23;
        for (int k = 0; k < kBytesPerPixel; ++k) {
            const std::int64_t top = p00[k] * (kOne - a) + p10[k] * std::int64_t(a);
            const std::int64_t bottom = p01[k] * (kOne - a) + p11[k] * std::int64_t(a);
            const std::int64_t v = top * (kOne - b) + bottom * b;
            out[k] = std::uint8_t(v >= 0 ? v >> 46 : -((-v) >> 46));
        }
    }
}

// a with fraction = a * 2^-23 exactly, or false when the fraction is finer than that.
inline bool onFractionGrid(float fraction, std::int32_t& a) {
    const float scaled = fraction * 0x1p23f;   // exact: a power-of-two scaling
    a = std::int32_t(scaled);
    return float(a) == scaled;
}

// The interpolation rule at (sx, sy), as interpolateAt gives it, by the fastest exact route:
// in the extended program, fractions on a 2^-21 grid make every product and sum of the
// bilinear branch a whole number of 2^-42 below 2^53, which doubles hold exactly (this covers
// every position at least 4 from the origin); the SSE program repeats the single-precision
// operations four bytes at a time.
void interpolateFast(const std::uint8_t* src, std::int32_t width, std::int32_t height, float sx, float sy,
                     std::uint8_t* out);

// interpolateFast for count pixels at (sx[i], sy[i]), written to out one after the other.
void interpolateRow(const std::uint8_t* src, std::int32_t width, std::int32_t height, const float* sx, const float* sy,
                    std::int32_t count, std::uint8_t* out);
