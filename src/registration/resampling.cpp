#include "registration/resampling.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <cstdlib>

#include <emmintrin.h>

Image scaledCopy(const Image& source, float factor) {
    Image out;
    out.width = std::int32_t(Inter(source.width) * factor);
    out.height = std::int32_t(Inter(source.height) * factor);
    out.x0 = std::int32_t(Inter(source.x0) * factor);
    out.y0 = std::int32_t(Inter(source.y0) * factor);
    out.pixels = allocatePixels(out.width, out.height);
    const Inter inverse = Inter(1) / factor;
    for (std::int32_t x = 0; x < out.width; ++x) {
        for (std::int32_t y = 0; y < out.height; ++y) {
            const float sx = float(Inter(x) * inverse), sy = float(Inter(y) * inverse);
            interpolateAt(source.pixels, source.width, source.height, sx, sy, pixelAt(out, x, y));
        }
    }
    return out;
}

namespace {

// Nearest-neighbour copy of source pixel (x, y), or an invalid pixel outside the source.
inline void copyNearest(const Image& source, std::int32_t x, std::int32_t y, std::uint8_t* px) {
    if (std::uint32_t(x) < std::uint32_t(source.width) && std::uint32_t(y) < std::uint32_t(source.height)) {
        std::memcpy(px, pixelAt(source, x, y), kBytesPerPixel);
    } else {
        std::memset(px, 0, kBytesPerPixel);
    }
}

// Truncation toward zero of value * 2^-shift.
inline std::int32_t truncateScaled(std::int64_t value, int shift) {
    return value >= 0 ? std::int32_t(value >> shift) : -std::int32_t((-value) >> shift);
}

// Fractional bits of a float (0 for whole numbers).
int fractionBits(float f) {
    if (f == 0) return 0;
    int exponent;
    std::frexp(f, &exponent);   // f = m * 2^exponent, 0.5 <= |m| < 1
    return std::max(0, 24 - exponent);
}

// Extended program, even row j of a sample: X = trunc((cosA*u - sinA*v) + x0) and likewise Y,
// evaluated in 80-bit arithmetic. When every intermediate value is a multiple of 2^-k below
// 2^63 * 2^-k, that arithmetic is exact, and the positions follow from integer steps.
void sampleRowExtended(const Image& source, std::int32_t width, std::int32_t x0, std::int32_t v, float cosA,
                       float sinA, std::uint8_t* px) {
    const int k = std::max(fractionBits(cosA), fractionBits(sinA));
    if (k <= 40) {
        const std::int64_t c = std::int64_t(std::ldexp(double(cosA), k));
        const std::int64_t s = std::int64_t(std::ldexp(double(sinA), k));
        const __int128 reach = (__int128(std::abs(c)) + std::abs(s)) * (std::int64_t(width) + std::abs(v) + 2) +
                               (__int128(std::max(std::abs(std::int64_t(source.x0)), std::abs(std::int64_t(source.y0))))
                                << k);
        if (reach < (__int128(1) << 62)) {
            const std::int64_t u0 = -std::int64_t(x0);
            std::int64_t sx = c * u0 - s * v + (std::int64_t(source.x0) << k);
            std::int64_t sy = s * u0 + c * v + (std::int64_t(source.y0) << k);
            for (std::int32_t i = 0; i < width; ++i, px += kBytesPerPixel, sx += c, sy += s)
                copyNearest(source, truncateScaled(sx, k), truncateScaled(sy, k), px);
            return;
        }
    }
    for (std::int32_t i = 0; i < width; ++i, px += kBytesPerPixel) {
        const std::int32_t u = i - x0;
        copyNearest(source, std::int32_t(Extended(cosA) * u - Extended(sinA) * v + source.x0),
                    std::int32_t(Extended(sinA) * u + Extended(cosA) * v + source.y0), px);
    }
}

// SSE program, even row j: the row terms are formed once in single precision.
void sampleRowSingle(const Image& source, std::int32_t width, std::int32_t x0, std::int32_t v, float cosA,
                     float sinA, std::uint8_t* px) {
    const float rowX = -sinA * float(v) + float(source.x0);
    const float rowY = cosA * float(v) + float(source.y0);
    std::int32_t i = 0;
    alignas(16) std::int32_t xs[4], ys[4];
    const __m128 c = _mm_set1_ps(cosA), s = _mm_set1_ps(sinA);
    const __m128 rx = _mm_set1_ps(rowX), ry = _mm_set1_ps(rowY);
    for (; i + 4 <= width; i += 4) {
        const __m128 u = _mm_cvtepi32_ps(_mm_add_epi32(_mm_set1_epi32(i - x0), _mm_setr_epi32(0, 1, 2, 3)));
        _mm_store_si128(reinterpret_cast<__m128i*>(xs), _mm_cvttps_epi32(_mm_add_ps(_mm_mul_ps(c, u), rx)));
        _mm_store_si128(reinterpret_cast<__m128i*>(ys), _mm_cvttps_epi32(_mm_add_ps(_mm_mul_ps(s, u), ry)));
        for (int k = 0; k < 4; ++k, px += kBytesPerPixel) copyNearest(source, xs[k], ys[k], px);
    }
    for (; i < width; ++i, px += kBytesPerPixel) {
        const float u = float(i - x0);
        copyNearest(source, std::int32_t(cosA * u + rowX), std::int32_t(sinA * u + rowY), px);
    }
}

}  // namespace

Image rotatedSample(const Image& source, std::int32_t width, std::int32_t height, float angle) {
    const float cosA = float(std::cos(double(angle))), sinA = float(std::sin(double(angle)));
    Image out;
    out.width = width;
    out.height = height;
    out.x0 = width / 2;
    out.y0 = height / 2;
    out.pixels = allocatePixels(width, height);
    if (out.pixels == nullptr) return out;
    const std::size_t rowBytes = std::size_t(width) * kBytesPerPixel;
    for (std::int32_t j = 0; j < height; ++j) {
        std::uint8_t* px = out.pixels + std::size_t(j) * rowBytes;
        if (j % 2 != 0) {
            std::memset(px, 0, rowBytes);
        } else if constexpr (kSseBuild) {
            sampleRowSingle(source, width, out.x0, j - out.y0, cosA, sinA, px);
        } else {
            sampleRowExtended(source, width, out.x0, j - out.y0, cosA, sinA, px);
        }
    }
    return out;
}

Image rotateAndShift(const std::uint8_t* pixels, std::int32_t width, std::int32_t height, std::int32_t x0,
                     std::int32_t y0, float angle, float shiftX, float shiftY) {
    const double cosA = std::cos(double(angle)), sinA = std::sin(double(angle));
    const Extended c = cosA, s = sinA;

    // Bounding box of the turned source rectangle.
    const std::int32_t cornerU[4] = {0, width, 0, width};
    const std::int32_t cornerV[4] = {0, 0, height, height};
    float minX = 0, maxX = 0, minY = 0, maxY = 0;
    for (int k = 0; k < 4; ++k) {
        const std::int64_t du = std::int64_t(cornerU[k]) - x0, dv = std::int64_t(cornerV[k]) - y0;
        const float x = float(c * du + s * dv - shiftX);
        const float y = float(-s * du + c * dv - shiftY);
        if (k == 0 || x < minX) minX = x;
        if (k == 0 || x > maxX) maxX = x;
        if (k == 0 || y < minY) minY = y;
        if (k == 0 || y > maxY) maxY = y;
    }
    Image out;
    out.width = std::int32_t(float(maxX - minX));
    out.height = std::int32_t(float(maxY - minY));
    if (angle > 0) {
        out.x0 = std::int32_t(c * x0 + s * y0);
        out.y0 = std::int32_t(Extended(float(Extended(width) * s)) - s * x0 + c * y0);
    } else {
        out.x0 = std::int32_t(Extended(float(-Extended(height) * s)) + c * x0 + s * y0);
        out.y0 = std::int32_t(-s * x0 + c * y0);
    }
    out.pixels = allocatePixels(out.width, out.height);
    for (std::int32_t row = 0; row < out.height; ++row) {
        std::uint8_t* px = pixelAt(out, 0, row);
        const std::int32_t v = row - out.y0;
        for (std::int32_t col = 0; col < out.width; ++col, px += kBytesPerPixel) {
            const std::int32_t u = col - out.x0;
            const float sx = float(c * u - s * v + x0 + shiftX);
            const float sy = float(s * u + c * v + y0 + shiftY);
            interpolateAt(pixels, width, height, sx, sy, px);
        }
    }
    return out;
}
