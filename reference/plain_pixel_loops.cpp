// The straightforward per-pixel loops of the FITS rows and the composite, as the
// program first had them: a row at a time, a byte at a time, on one thread.
#include <cstdio>
#include <string>
#include <vector>

#include "common/precision.h"
#include "driver/run_settings.h"
#include "reference/plain.h"

namespace plain {

void writeFitsRows(int channel, char* data) {
    const RunSettings& s = settings;
    const float fitsScale = s.imageCount <= 126 ? float(s.imageCount) : 127.0f;
    for (std::int32_t y = s.reference.height - 1; y >= 0; --y) {
        const CompositeCell* cell = s.compositeSums.data() + std::size_t(y) * std::size_t(s.reference.width);
        for (std::int32_t x = 0; x < s.reference.width; ++x, ++cell) {
            std::int32_t v = 0;
            if (s.imageCount != 0) v = std::int32_t(float(InterD(cell->sum[channel]) * fitsScale / s.imageCount));
            *data++ = char(std::uint8_t(v / 256));
            *data++ = char(std::uint8_t(v));
        }
    }
}

void addToComposite(const Image& im) {
    const Image& ref = settings.reference;
    for (std::int32_t y = 0; y < ref.height; ++y) {
        for (std::int32_t x = 0; x < ref.width; ++x) {
            const std::int32_t sx = x + im.x0 - ref.x0, sy = y + im.y0 - ref.y0;
            if (sx < 0 || sx >= im.width || sy < 0 || sy >= im.height) continue;
            const std::uint8_t* src = pixelAt(im, sx, sy);
            CompositeCell& cell = settings.compositeSums[std::size_t(y) * std::size_t(ref.width) + std::size_t(x)];
            const std::uint32_t a = src[3];
            for (int k = 0; k < 3; ++k) cell.sum[k] += src[k] * a / 255u;
        }
    }
}

void averageComposite(Image& out) {
    const RunSettings& s = settings;
    const float r = s.imageCount != 0 ? float(1.0 / double(s.imageCount)) : 0.0f;
    for (std::size_t i = 0; i < s.compositeSums.size(); ++i) {
        std::uint8_t* px = out.pixels + i * kBytesPerPixel;
        for (int k = 0; k < 3; ++k) px[k] = std::uint8_t(std::int32_t(float(s.compositeSums[i].sum[k]) * r));
        px[3] = 255;
    }
}

}   // namespace plain
