// Small images and files for tests.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "common/image.h"

// An owning image for tests: released when it goes out of scope.
struct OwnedImage {
    Image im;
    OwnedImage() = default;
    explicit OwnedImage(const Image& from) : im(from) {}
    OwnedImage(const OwnedImage&) = delete;
    OwnedImage& operator=(const OwnedImage&) = delete;
    ~OwnedImage() { releasePixels(im); }
};

// width x height pixels all equal to pixel, reference point (x0, y0).
Image makeImage(std::int32_t width, std::int32_t height, std::array<std::uint8_t, 4> pixel, std::int32_t x0 = 0,
                std::int32_t y0 = 0);

// Pixels from a function of (x, y) returning the four bytes.
template <typename F>
Image makeImageFrom(std::int32_t width, std::int32_t height, F f) {
    Image im = makeImage(width, height, {0, 0, 0, 0});
    for (std::int32_t y = 0; y < height; ++y)
        for (std::int32_t x = 0; x < width; ++x) {
            const std::array<std::uint8_t, 4> p = f(x, y);
            std::uint8_t* out = pixelAt(im, x, y);
            for (int k = 0; k < 4; ++k) out[k] = p[k];
        }
    return im;
}

std::array<std::uint8_t, 4> pixelOf(const Image& im, std::int32_t x, std::int32_t y);

// A smooth colour scene with blobs and ridges, viewed as a frame of width x height:
// pixel q shows scene point centre + R(-angle) (q - (width/2 + shiftX, height/2 + shiftY)).
// A run of the program on such frames reports the shift (shiftX, shiftY).
Image syntheticFrame(std::int32_t width, std::int32_t height, double angleDegrees, double shiftX, double shiftY,
                     std::uint32_t seed = 1);

// The synthetic scene (unturned, unshifted) with a grid of sharp-edged squares over it,
// smoothed by `passes` passes of the [1 2 1] / 4 kernel along both axes (edges repeated),
// then given uniform noise of at most `noise` grey levels (seeded): frames of known,
// ordered blur for the frame quality.
Image blurredFrame(std::int32_t width, std::int32_t height, int passes, int noise, std::uint32_t seed = 1);

// Bytes of a 24-bit BMP with the given header fields and pixel rows as stored.
std::vector<std::uint8_t> bmpBytes(std::int32_t width, std::int32_t height, std::uint16_t bitsPerPixel,
                                   std::uint32_t compression, std::uint32_t dataOffset,
                                   const std::vector<std::uint8_t>& rows);

std::vector<std::uint8_t> readFile(const std::filesystem::path& path);
void writeFile(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes);
void writeText(const std::filesystem::path& path, const std::string& text);
std::string readText(const std::filesystem::path& path);

// A fresh empty folder under the system's temporary folder, removed by the destructor.
struct TempDir {
    std::filesystem::path path;
    TempDir();
    ~TempDir();
    std::filesystem::path operator/(const std::string& name) const { return path / name; }
};

// Runs f with standard output redirected to a file and returns what it printed.
std::string captureStdoutOf(void (*f)(void*), void* arg);
template <typename F>
std::string captureStdout(F f) {
    return captureStdoutOf([](void* p) { (*static_cast<F*>(p))(); }, &f);
}

// The image as a 24-bit bottom-up BMP file (an independent encoder for test inputs).
std::vector<std::uint8_t> encodeBmp24(const Image& im);
void writeBmp(const std::filesystem::path& path, const Image& im);
