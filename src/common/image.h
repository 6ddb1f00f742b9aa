// The in-memory raster shared by every stage.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr int kBytesPerPixel = 4;   // channel 0, channel 1, channel 2, validity (0 = no data)

// Largest image accepted from a file: each side at most 65,535 pixels and at most 2^28
// pixels in all (a 1 GiB pixel buffer). Every size and index computation on images within
// these limits stays far from 32-bit overflow.
constexpr std::int32_t kMaxImageSide = 65535;
constexpr std::int64_t kMaxImagePixels = std::int64_t(1) << 28;

struct Image {
    std::uint8_t* pixels = nullptr;   // width*height*4 bytes, top row first; owner releases
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::int32_t x0 = 0;   // reference point
    std::int32_t y0 = 0;
};

inline std::size_t pixelBytes(std::int32_t width, std::int32_t height) {
    if (width <= 0 || height <= 0) return 0;
    return std::size_t(width) * std::size_t(height) * kBytesPerPixel;
}

inline std::uint8_t* pixelAt(const Image& im, std::int32_t x, std::int32_t y) {
    return im.pixels + (std::size_t(y) * std::size_t(im.width) + std::size_t(x)) * kBytesPerPixel;
}

// A new pixel buffer for width x height pixels (null for an empty size). Uninitialised
// unless zeroed is set. Allocation failure ends the process (std::bad_alloc).
std::uint8_t* allocatePixels(std::int32_t width, std::int32_t height, bool zeroed = false);

// Releases the buffer of an image that owns it and clears the field.
void releasePixels(Image& im);

// A copy of the record with its own copy of the pixel buffer.
Image copyImage(const Image& im);
