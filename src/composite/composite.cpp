#include "composite/composite.h"

#include <algorithm>
#include <cstdio>
#include <string>

#include "common/parallel.h"
#include "driver/run_settings.h"
#include "imageio/bmp_writer.h"
#include "imageio/fits_writer.h"

void startComposite() {
    const Image& ref = settings.reference;
    settings.compositeSums.assign(pixelBytes(ref.width, ref.height) / kBytesPerPixel, CompositeCell{{0, 0, 0}});
}

void addToComposite(const Image& im) {
    const Image& ref = settings.reference;
    const std::int32_t dx = im.x0 - ref.x0, dy = im.y0 - ref.y0;
    // Cells whose source pixel (x + dx, y + dy) lies inside the image, found once.
    const std::int32_t xBegin = std::max(0, -dx), xEnd = std::min(ref.width, im.width - dx);
    const std::int32_t yBegin = std::max(0, -dy), yEnd = std::min(ref.height, im.height - dy);
    if (xBegin >= xEnd) return;
    parallelFor(std::max(0, yEnd - yBegin), [&](std::int64_t row) {
        const std::int32_t y = yBegin + std::int32_t(row);
        const std::uint8_t* src = pixelAt(im, xBegin + dx, y + dy);
        CompositeCell* cell = settings.compositeSums.data() + std::size_t(y) * std::size_t(ref.width) + xBegin;
        for (std::int32_t x = xBegin; x < xEnd; ++x, src += kBytesPerPixel, ++cell) {
            const std::uint32_t a = src[3];
            if (a == 255) {   // b * 255 / 255 = b
                cell->sum[0] += src[0];
                cell->sum[1] += src[1];
                cell->sum[2] += src[2];
            } else {
                cell->sum[0] += src[0] * a / 255u;
                cell->sum[1] += src[1] * a / 255u;
                cell->sum[2] += src[2] * a / 255u;
            }
        }
    });
}

void finishComposite() {
    RunSettings& s = settings;
    std::printf("Sauvegarde de l'image compositee : %s\n", s.compositeName.c_str());
    const std::string base = s.compositeName.substr(0, s.compositeName.find('.'));
    writeFitsChannel((base + "R.fit").c_str(), 2);
    writeFitsChannel((base + "V.fit").c_str(), 1);
    writeFitsChannel((base + "B.fit").c_str(), 0);

    Image& out = s.composite;
    out.width = s.reference.width;
    out.height = s.reference.height;
    out.x0 = s.reference.x0;
    out.y0 = s.reference.y0;
    out.pixels = allocatePixels(out.width, out.height);
    const float r = s.imageCount != 0 ? float(1.0 / double(s.imageCount)) : 0.0f;
    parallelFor(out.height, [&](std::int64_t y) {
        const std::size_t first = std::size_t(y) * std::size_t(out.width);
        for (std::size_t i = first; i < first + std::size_t(out.width); ++i) {
            std::uint8_t* px = out.pixels + i * kBytesPerPixel;
            for (int k = 0; k < 3; ++k) px[k] = std::uint8_t(std::int32_t(float(s.compositeSums[i].sum[k]) * r));
            px[3] = 255;
        }
    });
    std::vector<CompositeCell>().swap(s.compositeSums);
    saveBmp(out, (base + ".bmp").c_str());
    releasePixels(out);
}
