#include "registration/frame_quality.h"

#include <algorithm>
#include <cstdint>
#include <vector>

#include "common/cpu.h"
#include "common/parallel.h"
#include "common/precision.h"

namespace {

constexpr std::int32_t kBandRows = 32;                       // output rows of one parallel task
constexpr double kNoiseGain = 2.0 * 84.0 * 70.0 / 65536.0;   // white noise passed into E
constexpr double kMeanAbsToSigma = 1.2533141373155003;       // sqrt(pi / 2)

struct RowSums {
    std::int64_t energy = 0;   // sum of gx^2 + gy^2, the smoothed view scaled by 256
    std::int64_t noise = 0;    // sum of |mask response|
    std::int64_t level = 0;    // sum of the view
};

// Rows y0 .. y1 - 1 of the area, columns xBegin .. xBegin + width - 1, into out[0 ..]. Plain
// integer loops, each one pass over a row (they vectorise); every sum is exact.
inline __attribute__((always_inline)) void bandSums(const Image& frame, std::int32_t xBegin, std::int32_t width,
                                                    std::int32_t y0, std::int32_t y1, RowSums* out) {
    const std::int32_t smoothCols = width + 2;   // columns xBegin - 1 .. xBegin + width
    const std::int32_t viewCols = width + 6;     // columns xBegin - 3 .. xBegin + width + 2
    const std::int32_t viewRows = y1 - y0 + 6;   // rows y0 - 3 .. y1 + 2
    const std::size_t vc = std::size_t(viewCols), sc = std::size_t(smoothCols);
    std::vector<std::int32_t> view(std::size_t(viewRows) * vc);
    std::vector<std::int32_t> across(std::size_t(viewRows) * sc);
    std::vector<std::int32_t> curve(std::size_t(viewRows) * std::size_t(width));   // [1 -2 1] across
    std::vector<std::int32_t> smooth(std::size_t(y1 - y0 + 2) * sc);               // rows y0 - 1 .. y1
    for (std::int32_t r = 0; r < viewRows; ++r) {
        const std::uint8_t* p = pixelAt(frame, xBegin - 3, y0 - 3 + r);
        std::int32_t* v = &view[std::size_t(r) * vc];
        for (std::int32_t c = 0; c < viewCols; ++c) {
            const std::uint32_t a = p[4 * c + 3];
            v[c] = std::int32_t(p[4 * c] * a / 255u + p[4 * c + 1] * a / 255u + p[4 * c + 2] * a / 255u);
        }
        std::int32_t* h = &across[std::size_t(r) * sc];
        for (std::int32_t c = 0; c < smoothCols; ++c)
            h[c] = v[c] + 4 * v[c + 1] + 6 * v[c + 2] + 4 * v[c + 3] + v[c + 4];
        std::int32_t* d = &curve[std::size_t(r) * std::size_t(width)];
        for (std::int32_t c = 0; c < width; ++c) d[c] = v[c + 2] - 2 * v[c + 3] + v[c + 4];
    }
    for (std::int32_t t = 0; t < y1 - y0 + 2; ++t) {
        const std::int32_t* h = &across[std::size_t(t) * sc];
        std::int32_t* s = &smooth[std::size_t(t) * sc];
        for (std::int32_t c = 0; c < smoothCols; ++c) {
            s[c] = h[c] + 4 * h[c + sc] + 6 * h[c + 2 * sc] + 4 * h[c + 3 * sc] + h[c + 4 * sc];
        }
    }
    for (std::int32_t y = y0; y < y1; ++y) {
        const std::int32_t* s = &smooth[std::size_t(y - y0 + 1) * sc];
        const std::int32_t* above = s - sc;
        const std::int32_t* below = s + sc;
        std::int64_t energy = 0;
        for (std::int32_t c = 1; c <= width; ++c) {
            const std::int32_t gx = s[c + 1] - s[c - 1], gy = below[c] - above[c];
            energy += std::int64_t(gx) * gx + std::int64_t(gy) * gy;
        }
        // Mask and level sums stay below 2^31 in a row of at most 65,535 pixels.
        const std::int32_t* d = &curve[std::size_t(y - y0 + 3) * std::size_t(width)];
        const std::int32_t* dAbove = d - width;
        const std::int32_t* dBelow = d + width;
        const std::int32_t* v = &view[std::size_t(y - y0 + 3) * vc + 3];
        std::int32_t noise = 0, level = 0;
        for (std::int32_t c = 0; c < width; ++c) {
            const std::int32_t m = dAbove[c] - 2 * d[c] + dBelow[c];
            noise += m < 0 ? -m : m;
            level += v[c];
        }
        out[y - y0] = RowSums{energy, noise, level};
    }
}

__attribute__((target("avx2"))) void bandSumsAvx2(const Image& frame, std::int32_t xBegin, std::int32_t width,
                                                  std::int32_t y0, std::int32_t y1, RowSums* out) {
    bandSums(frame, xBegin, width, y0, y1, out);
}

void bandSumsSse2(const Image& frame, std::int32_t xBegin, std::int32_t width, std::int32_t y0, std::int32_t y1,
                  RowSums* out) {
    bandSums(frame, xBegin, width, y0, y1, out);
}

}   // namespace

double frameQuality(const Image& frame) {
    if (frame.pixels == nullptr) return 0;
    const std::int32_t marginX = std::max(3, frame.width / 8), marginY = std::max(3, frame.height / 8);
    const std::int32_t xBegin = marginX, xEnd = frame.width - marginX;
    const std::int32_t yBegin = marginY, yEnd = frame.height - marginY;
    if (xBegin >= xEnd || yBegin >= yEnd) return 0;
    const std::int32_t width = xEnd - xBegin;
    std::vector<RowSums> rows(std::size_t(yEnd - yBegin));
    const std::int64_t bands = (std::int64_t(yEnd - yBegin) + kBandRows - 1) / kBandRows;
    const bool avx2 = useAvx2();
    parallelFor(bands, [&](std::int64_t b) {
        const std::int32_t y0 = yBegin + std::int32_t(b) * kBandRows, y1 = std::min(yEnd, y0 + kBandRows);
        RowSums* out = &rows[std::size_t(y0 - yBegin)];
        if (avx2) {
            bandSumsAvx2(frame, xBegin, width, y0, y1, out);
        } else {
            bandSumsSse2(frame, xBegin, width, y0, y1, out);
        }
    });
    Extended energy = 0, noise = 0, level = 0;
    for (const RowSums& r : rows) {
        energy += Extended(r.energy);
        noise += Extended(r.noise);
        level += Extended(r.level);
    }
    const double count = double(yEnd - yBegin) * double(width);
    const double mean = double(level) / count;
    if (!(mean > 0)) return 0;
    const double e = double(energy) / (65536.0 * count);
    const double sigma = kMeanAbsToSigma * double(noise) / (6.0 * count);
    const double band = e - kNoiseGain * sigma * sigma;
    return band > 0 ? 1000.0 * band / (mean * mean) : 0.0;
}
