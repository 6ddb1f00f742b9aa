#include "common/image.h"

#include <cstring>

std::uint8_t* allocatePixels(std::int32_t width, std::int32_t height, bool zeroed) {
    const std::size_t bytes = pixelBytes(width, height);
    if (bytes == 0) return nullptr;
    return zeroed ? new std::uint8_t[bytes]() : new std::uint8_t[bytes];
}

void releasePixels(Image& im) {
    delete[] im.pixels;
    im.pixels = nullptr;
}

Image copyImage(const Image& im) {
    Image copy = im;
    copy.pixels = allocatePixels(im.width, im.height);
    if (copy.pixels != nullptr) std::memcpy(copy.pixels, im.pixels, pixelBytes(im.width, im.height));
    return copy;
}
