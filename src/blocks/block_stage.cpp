#include "blocks/block_stage.h"

#include <immintrin.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

#include "blocks/block_refinement.h"
#include "blocks/block_search.h"
#include "blocks/feature_image.h"
#include "common/cpu.h"
#include "common/parallel.h"
#include "common/precision.h"
#include "driver/run_settings.h"
#include "registration/difference_kernel.h"
#include "registration/resampling.h"

std::int32_t gridCount(std::int32_t first, std::int32_t limit, std::int32_t spacing) {
    if (first >= limit) return 0;
    return std::int32_t((std::int64_t(limit) - 1 - first) / spacing + 1);
}

namespace {

// The offsets and weights as integers over powers of two, when the extended program's
// four-product sum of them is exact: every product and partial sum then holds below 2^63
// units, and integers give its value.
struct ExactOffsets {
    bool usable = false;
    int offsetBits = 0, weightBits = 0;
    std::vector<std::int64_t> x, y;   // offsets * 2^offsetBits
};

ExactOffsets exactOffsets(const BlockGrid& grid, const std::vector<NodeWeight>& wx, const std::vector<NodeWeight>& wy) {
    ExactOffsets e;
    const std::size_t n = std::size_t(grid.columns) * std::size_t(grid.rows);
    float largest = 0;
    for (std::size_t k = 0; k < n; ++k) {
        e.offsetBits = std::max({e.offsetBits, fractionBits(grid.offsetX[k]), fractionBits(grid.offsetY[k])});
        largest = std::max({largest, std::fabs(grid.offsetX[k]), std::fabs(grid.offsetY[k])});
    }
    for (const auto* weights : {&wx, &wy})
        for (const NodeWeight& w : *weights)
            e.weightBits = std::max(e.weightBits, fractionBits(w.weight));   // 1 - w has as many
    // |weight| < 2, |offset| <= largest: four products below 4 * largest * 2^(o + 2w + 2).
    if (!(largest < 65536.0f) || e.offsetBits + 2 * e.weightBits + 17 + 2 + 2 > 62) return e;
    e.usable = true;
    e.x.resize(n);
    e.y.resize(n);
    for (std::size_t k = 0; k < n; ++k) {
        e.x[k] = std::int64_t(std::ldexp(double(grid.offsetX[k]), e.offsetBits));
        e.y[k] = std::int64_t(std::ldexp(double(grid.offsetY[k]), e.offsetBits));
    }
    return e;
}

// position - float(a + f[x] * b) * scale for x in [begin, end), four at a time while whole
// groups remain; returns where it stopped. The caller guarantees 0 <= f < 2^31, |b| < 2^31
// and |a + f b| < 2^51: the products are then exact 32-bit ones, and each sum converts to
// double exactly, so its one rounding to float is the one float(int64) makes.
__attribute__((target("avx2"))) std::int32_t exactRun(float* out, std::int32_t begin, std::int32_t end,
                                                      const std::int64_t* f, std::int64_t a, std::int64_t b,
                                                      float scale, bool columnPosition, float rowPosition) {
    const __m256i va = _mm256_set1_epi64x(a), vb = _mm256_set1_epi64x(b);
    const __m256i magic = _mm256_set1_epi64x(0x4338000000000000);   // 1.5 * 2^52
    const __m256d magicValue = _mm256_set1_pd(0x1.8p52);
    const __m128 vscale = _mm_set1_ps(scale);
    std::int32_t x = begin;
    for (; x + 4 <= end; x += 4) {
        const __m256i sum =
            _mm256_add_epi64(va, _mm256_mul_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(f + x)), vb));
        const __m256d value = _mm256_sub_pd(_mm256_castsi256_pd(_mm256_add_epi64(sum, magic)), magicValue);
        const __m128 position = columnPosition
                                    ? _mm_cvtepi32_ps(_mm_add_epi32(_mm_set1_epi32(x), _mm_setr_epi32(0, 1, 2, 3)))
                                    : _mm_set1_ps(rowPosition);
        _mm_storeu_ps(out + x, _mm_sub_ps(position, _mm_mul_ps(_mm256_cvtpd_ps(value), vscale)));
    }
    return x;
}

// The SSE program's position - interpolated offset for x in [begin, end), eight at a time
// while whole groups remain, with its single-precision operations in their order; returns
// where it stopped.
__attribute__((target("avx2"))) std::int32_t floatRun(float* out, std::int32_t begin, std::int32_t end, const float* fx,
                                                      const float* o, float fy, bool columnPosition,
                                                      float rowPosition) {
    const __m256 one = _mm256_set1_ps(1.0f);
    const __m256 o00 = _mm256_set1_ps(o[0]), o10 = _mm256_set1_ps(o[1]), o01 = _mm256_set1_ps(o[2]),
                 o11 = _mm256_set1_ps(o[3]);
    const __m256 vfy = _mm256_set1_ps(fy), gy = _mm256_sub_ps(one, vfy);
    std::int32_t x = begin;
    for (; x + 8 <= end; x += 8) {
        const __m256 f = _mm256_loadu_ps(fx + x), gx = _mm256_sub_ps(one, f);
        const __m256 offset = _mm256_add_ps(_mm256_add_ps(_mm256_add_ps(_mm256_mul_ps(_mm256_mul_ps(o00, gx), gy),
                                                                        _mm256_mul_ps(_mm256_mul_ps(o10, f), gy)),
                                                          _mm256_mul_ps(_mm256_mul_ps(o01, gx), vfy)),
                                            _mm256_mul_ps(_mm256_mul_ps(o11, f), vfy));
        const __m256 position =
            columnPosition
                ? _mm256_cvtepi32_ps(_mm256_add_epi32(_mm256_set1_epi32(x), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7)))
                : _mm256_set1_ps(rowPosition);
        _mm256_storeu_ps(out + x, _mm256_sub_ps(position, offset));
    }
    return x;
}

void deformRow(const std::uint8_t* pixels, std::int32_t width, std::int32_t height, std::int32_t y,
               const BlockGrid& grid, const std::vector<NodeWeight>& wx, const std::vector<std::int64_t>& fxUnits,
               const std::vector<float>& fxWeights, const std::vector<std::int32_t>& runStarts, const NodeWeight& wy,
               const ExactOffsets& exact, std::uint8_t* px) {
    const std::int32_t nx = grid.columns;
    const std::int64_t one = std::int64_t(1) << exact.weightBits;
    const std::int64_t fyUnits = std::int64_t(std::ldexp(double(wy.weight), exact.weightBits));
    const std::int64_t gyUnits = one - fyUnits;
    const float scale = std::ldexp(1.0f, -(exact.offsetBits + 2 * exact.weightBits));
    thread_local std::vector<float> sx, sy;   // scratch rows, kept by each thread
    sx.resize(std::size_t(std::max(width, 0)));
    sy.resize(sx.size());
    // Runs of columns that interpolate between the same two block columns.
    for (std::size_t run = 0; run + 1 < runStarts.size(); ++run) {
        const std::int32_t begin = runStarts[run], end = runStarts[run + 1];
        const NodeWeight& w = wx[std::size_t(begin)];
        const std::size_t k00 = std::size_t(wy.index) * nx + w.index, k10 = std::size_t(wy.index) * nx + w.next;
        const std::size_t k01 = std::size_t(wy.next) * nx + w.index, k11 = std::size_t(wy.next) * nx + w.next;
        if (kSseBuild || !exact.usable) {
            std::int32_t x = begin;
            if (kSseBuild && useAvx2()) {
                const float* ox = grid.offsetX.data();
                const float* oy = grid.offsetY.data();
                const float cornersX[4] = {ox[k00], ox[k10], ox[k01], ox[k11]};
                const float cornersY[4] = {oy[k00], oy[k10], oy[k01], oy[k11]};
                floatRun(sx.data(), begin, end, fxWeights.data(), cornersX, wy.weight, true, 0);
                x = floatRun(sy.data(), begin, end, fxWeights.data(), cornersY, wy.weight, false, float(y));
            }
            for (; x < end; ++x) {
                const float fx = wx[std::size_t(x)].weight;
                sx[std::size_t(x)] = float(x) - interpolated(grid.offsetX.data(), k00, k10, k01, k11, fx, wy.weight);
                sy[std::size_t(x)] = float(y) - interpolated(grid.offsetY.data(), k00, k10, k01, k11, fx, wy.weight);
            }
            continue;
        }
        // The exact sum (o00 gx + o10 fx) gy + (o01 gx + o11 fx) fy with gx = 1 - fx is
        // A + fx B in integers; rounded once to single precision (int64 to float rounds
        // correctly, the power-of-two scale is exact).
        const std::int64_t* ox = exact.x.data();
        const std::int64_t* oy = exact.y.data();
        const std::int64_t ax = one * (ox[k00] * gyUnits + ox[k01] * fyUnits);
        const std::int64_t bx = (ox[k10] - ox[k00]) * gyUnits + (ox[k11] - ox[k01]) * fyUnits;
        const std::int64_t ay = one * (oy[k00] * gyUnits + oy[k01] * fyUnits);
        const std::int64_t by = (oy[k10] - oy[k00]) * gyUnits + (oy[k11] - oy[k01]) * fyUnits;
        std::int32_t x = begin;
        const std::int64_t limit = std::int64_t(1) << 31;
        auto reachable = [&](std::int64_t a, std::int64_t b) {   // |a| + one |b| < 2^51
            return std::abs(b) < limit && double(std::abs(a)) + double(one) * double(std::abs(b)) < 0x1p50;
        };
        if (useAvx2() && one <= limit && reachable(ax, bx) && reachable(ay, by)) {
            exactRun(sx.data(), begin, end, fxUnits.data(), ax, bx, scale, true, 0);
            x = exactRun(sy.data(), begin, end, fxUnits.data(), ay, by, scale, false, float(y));
        }
        for (; x < end; ++x) {
            const std::int64_t f = fxUnits[std::size_t(x)];
            sx[std::size_t(x)] = float(x) - float(ax + f * bx) * scale;
            sy[std::size_t(x)] = float(y) - float(ay + f * by) * scale;
        }
    }
    interpolateRow(pixels, width, height, sx.data(), sy.data(), width, px);
}

}   // namespace

Image deformImage(const std::uint8_t* pixels, std::int32_t width, std::int32_t height, std::int32_t x0, std::int32_t y0,
                  const BlockGrid& grid, std::int32_t spacingX, std::int32_t spacingY) {
    Image out;
    out.width = width;
    out.height = height;
    out.x0 = x0;
    out.y0 = y0;
    out.pixels = allocatePixels(width, height);   // every byte of every pixel is written below
    std::vector<NodeWeight> wx(std::size_t(std::max(width, 0))), wy(std::size_t(std::max(height, 0)));
    for (std::int32_t x = 0; x < width; ++x) wx[std::size_t(x)] = nodeWeight(x, spacingX, grid.columns);
    for (std::int32_t y = 0; y < height; ++y) wy[std::size_t(y)] = nodeWeight(y, spacingY, grid.rows);
    const ExactOffsets exact = exactOffsets(grid, wx, wy);
    std::vector<std::int64_t> fxUnits(wx.size());
    // Where each run of columns between the same two block columns starts, and the width.
    std::vector<std::int32_t> runStarts;
    for (std::int32_t x = 0; x < width; ++x) {
        if (x == 0 || wx[std::size_t(x)].index != wx[std::size_t(x - 1)].index ||
            wx[std::size_t(x)].next != wx[std::size_t(x - 1)].next) {
            runStarts.push_back(x);
        }
    }
    runStarts.push_back(std::max(width, 0));
    std::vector<float> fxWeights(wx.size());
    for (std::size_t x = 0; x < wx.size(); ++x) {
        fxUnits[x] = std::int64_t(std::ldexp(double(wx[x].weight), exact.weightBits));
        fxWeights[x] = wx[x].weight;
    }
    parallelFor(height, [&](std::int64_t y) {
        deformRow(pixels, width, height, std::int32_t(y), grid, wx, fxUnits, fxWeights, runStarts, wy[std::size_t(y)],
                  exact, pixelAt(out, 0, std::int32_t(y)));
    });
    return out;
}

namespace {

// Positions first, first + spacing, ... (count of them), each widened by half on both sides,
// within [0, limit): merged spans.
std::vector<std::pair<std::int32_t, std::int32_t>> blockSpans(std::int32_t first, std::int32_t count,
                                                              std::int32_t spacing, std::int32_t half,
                                                              std::int32_t limit) {
    std::vector<std::pair<std::int32_t, std::int32_t>> spans;
    for (std::int32_t k = 0; k < count; ++k) {
        const std::int64_t centre = std::int64_t(first) + std::int64_t(k) * spacing;
        const std::int32_t begin = std::int32_t(std::clamp<std::int64_t>(centre - half, 0, limit));
        const std::int32_t end = std::int32_t(std::clamp<std::int64_t>(centre + half + 1, 0, limit));
        if (begin >= end) continue;
        if (!spans.empty() && begin <= spans.back().second)
            spans.back().second = std::max(spans.back().second, end);
        else
            spans.push_back({begin, end});
    }
    return spans;
}

// The pixels of the image that the blocks of the grid cover.
FeatureRegion blockRegion(const Image& image, const BlockGrid& grid, std::int32_t firstX, std::int32_t firstY,
                          std::int32_t spacing, std::int32_t half) {
    FeatureRegion region;
    region.columns = blockSpans(firstX, grid.columns, spacing, half, image.width);
    region.rows.assign(std::size_t(std::max(image.height, 0)), 0);
    for (const auto& [begin, end] : blockSpans(firstY, grid.rows, spacing, half, image.height))
        std::fill(region.rows.begin() + begin, region.rows.begin() + end, std::uint8_t(1));
    // No block at all: an empty span list would mean every column.
    if (region.columns.empty()) region.rows.assign(region.rows.size(), 0);
    return region;
}

}   // namespace

BlockReference makeBlockReference(const Image& reference) {
    BlockReference r;
    r.features = featureImage(reference);
    r.whole = wholeRows(r.features, 0, r.features.height);
    return r;
}

void runBlockStage(BlockDeformation* found, const BlockReference* prepared) {
    RunSettings& s = settings;
    // The searches read current and reference as feature images; the originals come back after.
    const Image original = s.current;
    const Image originalReference = s.reference;
    const std::int32_t spacing = s.blockGridWidth, half = s.blockSearchWidth;
    BlockGrid grid;
    const std::int32_t firstX = half - s.blockShiftXMin + 1, firstY = half - s.blockShiftYMin + 1;
    grid.columns = gridCount(firstX, original.width - half - s.blockShiftXMax - 1, spacing);
    grid.rows = gridCount(firstY, original.height - half - s.blockShiftYMax - 1, spacing);
    const bool integerStep = s.blockShiftStep == float(std::int32_t(s.blockShiftStep));
    // Whole offsets move only the reference: the image is read within its blocks alone.
    Image features = featureImage(
        original, integerStep ? blockRegion(original, grid, firstX, firstY, spacing, half) : FeatureRegion{});
    BlockReference own;
    if (prepared == nullptr) {
        own = makeBlockReference(originalReference);
        prepared = &own;
    }
    Image referenceView = prepared->features;   // a view: the pixels stay the prepared record's
    referenceView.x0 = originalReference.x0;
    referenceView.y0 = originalReference.y0;
    s.current = features;
    s.reference = referenceView;

    std::printf("Ajustage par blocs\n");
    std::printf("Calcul du meilleur ajustage");
    const std::size_t entries = std::size_t(grid.columns + 1) * std::size_t(grid.rows + 1);
    grid.offsetX.assign(entries, 0);
    grid.offsetY.assign(entries, 0);
    grid.score.assign(entries, 0);
    std::printf(" (%i blocs en largeur %i blocs en hauteur)\n", grid.columns, grid.rows);
    std::printf("--------------------------------------------------\n");
    std::fflush(stdout);

    parallelFor(std::int64_t(grid.columns) * grid.rows, [&](std::int64_t k) {
        const std::int32_t i = std::int32_t(k / grid.rows), j = std::int32_t(k % grid.rows);
        const std::int32_t bx = firstX + i * spacing, by = firstY + j * spacing;
        const std::size_t e = std::size_t(j) * grid.columns + i;
        const std::int32_t left = bx - half + s.blockShiftXMin - s.current.x0 + s.reference.x0;
        const std::int32_t right = bx + half + s.blockShiftXMax - s.current.x0 + s.reference.x0;
        const std::int32_t top = by - half + s.blockShiftYMin - s.current.y0 + s.reference.y0;
        const std::int32_t bottom = by + half + s.blockShiftYMax - s.current.y0 + s.reference.y0;
        if (left < 0 || right > s.reference.width || top < 0 || bottom > s.reference.height) {
            grid.score[e] = kRejectedBlock;
        } else if (integerStep) {
            grid.score[e] = findBlockOffsetInteger(grid.offsetX[e], grid.offsetY[e], bx, by, prepared->whole);
            if (s.subpixelRefinement != 0) refineBlockOffset(grid.offsetX[e], grid.offsetY[e], bx, by);
        } else {
            grid.score[e] = findBlockOffsetFractional(grid.offsetX[e], grid.offsetY[e], bx, by);
        }
    });
    std::int32_t starsPrinted = 0;
    for (std::int32_t i = 0; i < grid.columns; ++i) {
        for (const std::int32_t stars = 50 * i / grid.columns + 1; starsPrinted < stars; ++starsPrinted) {
            std::putchar('*');
        }
    }
    std::printf("\n");
    std::printf("Deformation de l'image\n");

    s.current = original;
    s.reference = originalReference;
    releasePixels(features);
    releasePixels(own.features);
    if (found != nullptr) *found = BlockDeformation{grid, spacing};
    if (grid.columns > 0 && grid.rows > 0) {
        Image deformed = deformImage(s.current.pixels, s.current.width, s.current.height, s.current.x0, s.current.y0,
                                     grid, spacing, spacing);
        releasePixels(s.current);
        s.current = deformed;
    }
}
