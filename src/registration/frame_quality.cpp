#include "registration/frame_quality.h"

#include <algorithm>
#include <cstdint>
#include <vector>

#include "common/parallel.h"
#include "common/precision.h"

namespace {

constexpr std::int32_t kBandRows = 16;                        // output rows of one parallel task
constexpr double kNoiseGain = 2.0 * 84.0 * 70.0 / 65536.0;     // white noise passed into E
constexpr double kMeanAbsToSigma = 1.2533141373155003;         // sqrt(pi / 2)

struct RowSums {
    std::int64_t energy = 0;   // sum of gx^2 + gy^2, the smoothed view scaled by 256
    std::int64_t noise = 0;    // sum of |mask response|
    std::int64_t level = 0;    // sum of the view
};

inline std::int32_t viewOf(const std::uint8_t* p) {
    const std::uint32_t a = p[3];
    if (a == 255) return std::int32_t(p[0]) + p[1] + p[2];
    return std::int32_t(p[0] * a / 255u + p[1] * a / 255u + p[2] * a / 255u);
}

}  // namespace

double frameQuality(const Image& frame) {
    if (frame.pixels == nullptr) return 0;
    const std::int32_t marginX = std::max(3, frame.width / 8), marginY = std::max(3, frame.height / 8);
    const std::int32_t xBegin = marginX, xEnd = frame.width - marginX;
    const std::int32_t yBegin = marginY, yEnd = frame.height - marginY;
    if (xBegin >= xEnd || yBegin >= yEnd) return 0;
    const std::int32_t width = xEnd - xBegin;
    const std::int32_t smoothCols = width + 2;   // columns xBegin - 1 .. xEnd
    const std::int32_t viewCols = width + 6;     // columns xBegin - 3 .. xEnd + 2
    std::vector<RowSums> rows(std::size_t(yEnd - yBegin));
    const std::int64_t bands = (std::int64_t(yEnd - yBegin) + kBandRows - 1) / kBandRows;
    parallelFor(bands, [&](std::int64_t b) {
        const std::int32_t y0 = yBegin + std::int32_t(b) * kBandRows, y1 = std::min(yEnd, y0 + kBandRows);
        const std::int32_t viewRows = y1 - y0 + 6;   // rows y0 - 3 .. y1 + 2
        std::vector<std::int32_t> view(std::size_t(viewRows) * std::size_t(viewCols));
        std::vector<std::int32_t> across(std::size_t(viewRows) * std::size_t(smoothCols));
        std::vector<std::int32_t> smooth(std::size_t(y1 - y0 + 2) * std::size_t(smoothCols));   // rows y0 - 1 .. y1
        for (std::int32_t r = 0; r < viewRows; ++r) {
            const std::uint8_t* p = pixelAt(frame, xBegin - 3, y0 - 3 + r);
            std::int32_t* v = &view[std::size_t(r) * std::size_t(viewCols)];
            for (std::int32_t c = 0; c < viewCols; ++c, p += kBytesPerPixel) v[c] = viewOf(p);
            std::int32_t* h = &across[std::size_t(r) * std::size_t(smoothCols)];
            for (std::int32_t c = 0; c < smoothCols; ++c) h[c] = v[c] + 4 * v[c + 1] + 6 * v[c + 2] + 4 * v[c + 3] + v[c + 4];
        }
        for (std::int32_t t = 0; t < y1 - y0 + 2; ++t) {
            const std::int32_t* h = &across[std::size_t(t) * std::size_t(smoothCols)];
            const std::size_t n = std::size_t(smoothCols);
            std::int32_t* s = &smooth[std::size_t(t) * n];
            for (std::int32_t c = 0; c < smoothCols; ++c) {
                s[c] = h[c] + 4 * h[c + n] + 6 * h[c + 2 * n] + 4 * h[c + 3 * n] + h[c + 4 * n];
            }
        }
        for (std::int32_t y = y0; y < y1; ++y) {
            RowSums& sums = rows[std::size_t(y - yBegin)];
            const std::int32_t* s = &smooth[std::size_t(y - y0 + 1) * std::size_t(smoothCols)];
            const std::int32_t* above = s - smoothCols;
            const std::int32_t* below = s + smoothCols;
            const std::int32_t* v = &view[std::size_t(y - y0 + 3) * std::size_t(viewCols)];
            const std::int32_t* vAbove = v - viewCols;
            const std::int32_t* vBelow = v + viewCols;
            for (std::int32_t c = 1; c <= width; ++c) {
                const std::int64_t gx = s[c + 1] - s[c - 1];
                const std::int64_t gy = below[c] - above[c];
                sums.energy += gx * gx + gy * gy;
                const std::int32_t k = c + 2;   // the same pixel in the view
                const std::int32_t m = (vAbove[k - 1] - 2 * vAbove[k] + vAbove[k + 1]) -
                                       2 * (v[k - 1] - 2 * v[k] + v[k + 1]) +
                                       (vBelow[k - 1] - 2 * vBelow[k] + vBelow[k + 1]);
                sums.noise += m < 0 ? -m : m;
                sums.level += v[k];
            }
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
