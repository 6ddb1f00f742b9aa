
#include <algorithm>
#include <cmath>
#include <cstring>
#include "reference/plain.h"

namespace plain {

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
            continue;
        }
        const std::int32_t v = j - out.y0;
        // Row terms: hoisted in single precision in the SSE program, exact in extended otherwise.
        const float rowX = -sinA * float(v) + float(source.x0);
        const float rowY = cosA * float(v) + float(source.y0);
        for (std::int32_t i = 0; i < width; ++i, px += kBytesPerPixel) {
            const std::int32_t u = i - out.x0;
            std::int32_t sx, sy;
            if constexpr (kSseBuild) {
                sx = std::int32_t(cosA * float(u) + rowX);
                sy = std::int32_t(sinA * float(u) + rowY);
            } else {
                sx = std::int32_t(Extended(cosA) * u - Extended(sinA) * v + source.x0);
                sy = std::int32_t(Extended(sinA) * u + Extended(cosA) * v + source.y0);
            }
            if (sx >= 0 && sx < source.width && sy >= 0 && sy < source.height) {
                std::memcpy(px, pixelAt(source, sx, sy), kBytesPerPixel);
            } else {
                std::memset(px, 0, kBytesPerPixel);
            }
        }
    }
    return out;
}

Image rotateAndShift(const std::uint8_t* pixels, std::int32_t width, std::int32_t height, std::int32_t x0,
                     std::int32_t y0, float angle, float shiftX, float shiftY) {
    const double cosA = std::cos(double(angle)), sinA = std::sin(double(angle));
    const Extended c = cosA, s = sinA;
    Image out = turnedFrame(width, height, x0, y0, angle, shiftX, shiftY);   // the program's own box
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

}   // namespace plain
