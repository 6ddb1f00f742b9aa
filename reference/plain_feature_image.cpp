
#include <cstdint>
#include "reference/plain.h"

namespace plain {

void makeFeatureImage(Image& image) {
    const std::size_t count = pixelBytes(image.width, image.height) / kBytesPerPixel;
    std::uint8_t* px = image.pixels;
    for (std::size_t i = 0; i < count; ++i, px += kBytesPerPixel) {
        px[0] = std::uint8_t((unsigned(px[0]) + px[1] + px[2]) / 3);
    }
    const std::size_t stride = std::size_t(image.width) * kBytesPerPixel;
    for (std::int32_t y = 1; y < image.height - 1; ++y) {
        std::uint8_t* p = pixelAt(image, 1, y);
        for (std::int32_t x = 1; x < image.width - 1; ++x, p += kBytesPerPixel) {
            const int left = p[-kBytesPerPixel], right = p[kBytesPerPixel];
            const int above = p[-std::ptrdiff_t(stride)], below = p[stride];
            p[1] = std::uint8_t((left - right) / 2 + 128);
            p[2] = std::uint8_t((above - below) / 2 + 128);
        }
    }
}

}   // namespace plain
