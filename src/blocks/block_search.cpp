#include "blocks/block_search.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include <emmintrin.h>
#include <vector>

#include "common/precision.h"
#include "driver/run_settings.h"
#include "registration/difference_kernel.h"
#include "registration/image_difference.h"
#include "registration/resampling.h"
#include "registration/shift_search.h"

namespace {

constexpr float kNoScore = 1e9f;

Image newBlock() {
    const std::int32_t side = 2 * settings.blockSearchWidth + 1;
    Image block;
    block.width = side;
    block.height = side;
    block.pixels = allocatePixels(side, side);
    return block;
}

// Candidate positions of one direction for the fractional search: from min while the exact
// sum with the step stays at most max, each rounded to single precision.
std::vector<float> fractionalSteps(std::int32_t min, std::int32_t max, float step) {
    std::vector<float> values;
    if (min > max) return values;
    for (float v = float(min);;) {
        values.push_back(v);
        const double next = double(v) + double(step);
        if (next > max) break;
        v = float(next);
    }
    return values;
}

// Where block column (or row) k samples the current image for offset d: source index
// base + trunc(k - d) and the fraction of k - d, on the grid of 2^-23 or not.
struct Tap {
    std::int32_t source;
    float fraction;
    std::int32_t units;
    bool onGrid;
};

std::vector<Tap> taps(std::int32_t size, std::int32_t base, float d) {
    std::vector<Tap> result(std::size_t(std::max(size, 0)));
    for (std::int32_t k = 0; k < size; ++k) {
        const float x = float(k) - d;
        const std::int32_t i = std::int32_t(x);
        Tap& t = result[std::size_t(k)];
        t.source = base + i;
        t.fraction = x - float(i);
        t.onGrid = onFractionGrid(t.fraction, t.units);
    }
    return result;
}

// One block row resampled from the current image, as findBlockOffsetFractional's plain
// loop fills it.
void resampleRow(const Image& cur, const std::vector<Tap>& columns, const Tap& row, std::uint8_t* out) {
    const std::int32_t sy = row.source;
    for (const Tap& col : columns) {
        const std::int32_t sx = col.source;
        if (sx >= 0 && sx < cur.width - 1 && sy >= 0 && sy < cur.height - 1 && col.onGrid && row.onGrid) {
            const std::uint8_t* p00 = pixelAt(cur, sx, sy);
            const std::uint8_t* p01 = p00 + std::size_t(cur.width) * kBytesPerPixel;
            bilinearFromGrid(p00, p00 + kBytesPerPixel, p01, p01 + kBytesPerPixel, col.units, row.units, col.fraction,
                             row.fraction, out);
        } else {
            samplePixel(cur.pixels, cur.width, cur.height, sx, sy, col.fraction, row.fraction, out);
        }
        out += kBytesPerPixel;
    }
}

// The fractional block candidates of one block, resampled quickly. The bilinear value of a
// byte is p00*gx*gy + p10*fx*gy + p01*gx*fy + p11*fx*fy; its horizontal products p*gx and
// p*fx do not depend on the vertical offset, so they are formed once per horizontal offset
// and source row. The SSE program rounds each product to single precision, exactly as the
// plain loop does. In the extended program the whole sum is exact when the fractions lie on
// a 2^-21 grid (then in units of 2^-42 every partial sum is a whole number below 2^52),
// which doubles hold exactly; other fractions take the plain route.
class FractionalSampler {
public:
    FractionalSampler(const Image& cur, const std::vector<std::vector<Tap>>& columnTaps,
                      const std::vector<std::vector<Tap>>& rowTaps)
        : cur_(cur), columnTaps_(columnTaps), rowTaps_(rowTaps) {
        rowMin_ = INT32_MAX;
        std::int32_t rowMax = INT32_MIN;
        bool grid21 = true;
        for (const auto* all : {&columnTaps, &rowTaps})
            for (const std::vector<Tap>& list : *all)
                for (const Tap& t : list) grid21 = grid21 && t.onGrid && t.units % 4 == 0;
        for (const std::vector<Tap>& list : rowTaps)
            for (const Tap& t : list) {
                rowMin_ = std::min(rowMin_, t.source);
                rowMax = std::max(rowMax, t.source + 1);
            }
        fast_ = kSseBuild || grid21;
        if (!fast_ || columnTaps.empty() || rowTaps.empty()) return;
        rowMin_ = std::max(rowMin_, 0);
        rowMax = std::min(rowMax, cur.height - 1);
        sourceRows_ = std::max(0, rowMax - rowMin_ + 1);
        columns_ = columnTaps.front().size();
        horizontal_.assign(columnTaps.size() * std::size_t(sourceRows_) * columns_, Horizontal{});
        for (std::size_t dx = 0; dx < columnTaps.size(); ++dx)
            for (std::int32_t y = 0; y < sourceRows_; ++y)
                for (std::size_t c = 0; c < columns_; ++c) {
                    const Tap& t = columnTaps[dx][c];
                    if (t.source < 0 || t.source >= cur.width - 1) continue;
                    const std::uint8_t* p = pixelAt(cur, t.source, rowMin_ + y);
                    Horizontal& h = horizontal_[(dx * std::size_t(sourceRows_) + std::size_t(y)) * columns_ + c];
                    for (int k = 0; k < kBytesPerPixel; ++k) {
                        if constexpr (kSseBuild) {
                            h.left[k] = float(p[k]) * (1.0f - t.fraction);
                            h.right[k] = float(p[k + kBytesPerPixel]) * t.fraction;
                        } else {
                            const double a = double(t.units / 4);
                            h.sum[k] = double(p[k]) * (0x1p21 - a) + double(p[k + kBytesPerPixel]) * a;
                        }
                    }
                }
    }

    // Block row `row` for candidate (dx, dy) (indices into the tap tables).
    void row(std::size_t dx, std::size_t dy, std::int32_t row, std::uint8_t* out) const {
        const Tap& rt = rowTaps_[dy][std::size_t(row)];
        if (!fast_) {
            resampleRow(cur_, columnTaps_[dx], rt, out);
            return;
        }
        const std::int32_t sy = rt.source;
        const bool rowInside = sy >= 0 && sy < cur_.height - 1;
        const Horizontal* top =
            rowInside ? &horizontal_[(dx * std::size_t(sourceRows_) + std::size_t(sy - rowMin_)) * columns_] : nullptr;
        const Horizontal* bottom = rowInside ? top + columns_ : nullptr;
        const std::vector<Tap>& columns = columnTaps_[dx];
        for (std::size_t c = 0; c < columns_; ++c, out += kBytesPerPixel) {
            const Tap& ct = columns[c];
            if (!rowInside || ct.source < 0 || ct.source >= cur_.width - 1) {
                samplePixel(cur_.pixels, cur_.width, cur_.height, ct.source, sy, ct.fraction, rt.fraction, out);
                continue;
            }
            const Horizontal& t = top[c];
            const Horizontal& b = bottom[c];
            __m128i v;
            if constexpr (kSseBuild) {
                const __m128 gy = _mm_set1_ps(1.0f - rt.fraction), fy = _mm_set1_ps(rt.fraction);
                const __m128 sum = _mm_add_ps(
                    _mm_add_ps(_mm_add_ps(_mm_mul_ps(_mm_loadu_ps(t.left), gy), _mm_mul_ps(_mm_loadu_ps(t.right), gy)),
                               _mm_mul_ps(_mm_loadu_ps(b.left), fy)),
                    _mm_mul_ps(_mm_loadu_ps(b.right), fy));
                v = _mm_cvttps_epi32(sum);
            } else {
                const double by = double(rt.units / 4);
                const __m128d gy = _mm_set1_pd(0x1p21 - by), fy = _mm_set1_pd(by), scale = _mm_set1_pd(0x1p-42);
                const __m128d low = _mm_mul_pd(
                    _mm_add_pd(_mm_mul_pd(_mm_loadu_pd(t.sum), gy), _mm_mul_pd(_mm_loadu_pd(b.sum), fy)), scale);
                const __m128d high = _mm_mul_pd(
                    _mm_add_pd(_mm_mul_pd(_mm_loadu_pd(t.sum + 2), gy), _mm_mul_pd(_mm_loadu_pd(b.sum + 2), fy)),
                    scale);
                v = _mm_unpacklo_epi64(_mm_cvttpd_epi32(low), _mm_cvttpd_epi32(high));
            }
            // Low 8 bits of each of the four truncated values.
            v = _mm_and_si128(v, _mm_set1_epi32(0xFF));
            v = _mm_packus_epi16(_mm_packs_epi32(v, v), v);
            const std::int32_t packed = _mm_cvtsi128_si32(v);
            std::memcpy(out, &packed, kBytesPerPixel);
        }
    }

private:
    struct Horizontal {
        float left[kBytesPerPixel];    // SSE: p00 * gx, rounded
        float right[kBytesPerPixel];   // SSE: p10 * fx, rounded
        double sum[kBytesPerPixel];    // extended: p00 * (2^21 - a) + p10 * a, exact
    };
    const Image& cur_;
    const std::vector<std::vector<Tap>>& columnTaps_;
    const std::vector<std::vector<Tap>>& rowTaps_;
    bool fast_ = false;
    std::int32_t rowMin_ = 0, sourceRows_ = 0;
    std::size_t columns_ = 0;
    std::vector<Horizontal> horizontal_;
};

}   // namespace

float findBlockOffsetInteger(float& outDx, float& outDy, std::int32_t bx, std::int32_t by, bool referenceWhole) {
    const RunSettings& s = settings;
    const Image& cur = s.current;
    const std::int32_t half = s.blockSearchWidth;
    outDx = 0;
    outDy = 0;
    Image block = newBlock();
    // The part of each block row inside the current image is copied; the rest is zeros.
    const std::int32_t left = bx - half;
    const std::int32_t colBegin = std::clamp(-left, 0, block.width);
    const std::int32_t colEnd = std::clamp(cur.width - left, colBegin, block.width);
    for (std::int32_t row = 0; row < block.height; ++row) {
        const std::int32_t y = by + row - half;
        std::uint8_t* out = pixelAt(block, 0, row);
        if (y < 0 || y >= cur.height || colBegin == colEnd) {
            std::memset(out, 0, std::size_t(block.width) * kBytesPerPixel);
            continue;
        }
        std::memset(out, 0, std::size_t(colBegin) * kBytesPerPixel);
        std::memcpy(out + std::size_t(colBegin) * kBytesPerPixel, pixelAt(cur, left + colBegin, y),
                    std::size_t(colEnd - colBegin) * kBytesPerPixel);
        std::memset(out + std::size_t(colEnd) * kBytesPerPixel, 0, std::size_t(block.width - colEnd) * kBytesPerPixel);
    }
    // Candidate (dx, dy) moves the block's reference point to (base - dx, base - dy): a grid of
    // shifts -dx, read in the order of ascending dx. The step is a whole number here.
    const std::int64_t step = std::int64_t(s.blockShiftStep);
    ShiftGrid grid;
    grid.xMin = -std::int64_t(s.blockShiftXMin);
    grid.yMin = -std::int64_t(s.blockShiftYMin);
    grid.step = -step;
    grid.columns =
        s.blockShiftXMin <= s.blockShiftXMax ? (std::int64_t(s.blockShiftXMax) - s.blockShiftXMin) / step + 1 : 0;
    grid.rows =
        s.blockShiftYMin <= s.blockShiftYMax ? (std::int64_t(s.blockShiftYMax) - s.blockShiftYMin) / step + 1 : 0;
    block.x0 = cur.x0 - bx + half;
    block.y0 = cur.y0 - by + half;
    // The shift search keeps the plain loop's choice under any penalty.
    float best = kNoScore;
    const SearchOutcome outcome = searchShifts(block, nullptr, s.reference, grid, kNoScore, nullptr, referenceWhole);
    if (outcome.winner >= 0) {
        best = outcome.best;
        outDx = -float(grid.shiftX(outcome.winner));
        outDy = -float(grid.shiftY(outcome.winner));
    }
    releasePixels(block);
    return best;
}

float findBlockOffsetFractional(float& outDx, float& outDy, std::int32_t bx, std::int32_t by) {
    const RunSettings& s = settings;
    const Image& cur = s.current;
    outDx = 0;
    outDy = 0;
    Image block = newBlock();
    block.x0 = cur.x0 - bx;
    block.y0 = cur.y0 - by;
    const std::vector<float> xs = fractionalSteps(s.blockShiftXMin, s.blockShiftXMax, s.blockShiftStep);
    const std::vector<float> ys = fractionalSteps(s.blockShiftYMin, s.blockShiftYMax, s.blockShiftStep);
    const std::int64_t count = std::int64_t(xs.size()) * std::int64_t(ys.size());
    // The block keeps its place against the reference: one overlap for every candidate. Its
    // sums prune; a candidate that passes them all is summed again exactly (exact).
    const DifferenceScan scan(s.reference, block, {.boundsOnly = true});
    const DifferenceScan exact(s.reference, block);
    float best = kNoScore;
    std::int64_t winner = -1;
    if (scan.empty()) {
        if (count > 0 && Extended(kEmptyOverlapScore) < best) {
            best = kEmptyOverlapScore;
            winner = 0;
        }
    } else {
        std::vector<std::vector<Tap>> columnTaps, rowTaps;
        for (const float dx : xs) columnTaps.push_back(taps(block.width, bx, dx));
        for (const float dy : ys) rowTaps.push_back(taps(block.height, by, dy));
        const std::size_t ny = ys.size();
        const FractionalSampler sampler(cur, columnTaps, rowTaps);
        // Resamples the block rows of overlap rows [from, to) for candidate k and adds them;
        // false once the sum reaches threshold.
        auto addRows = [&](std::int64_t k, std::int64_t from, std::int64_t to, DifferenceUnits& total,
                           DifferenceUnits threshold, const DifferenceScan& sums) {
            for (std::int64_t r = from; r < to; ++r) {
                const std::int32_t row = std::int32_t(scan.bFirstRow() + r);
                sampler.row(std::size_t(k) / ny, std::size_t(k) % ny, row, pixelAt(block, 0, row));
                if (!sums.addRow(r, total, threshold)) return false;
            }
            return true;
        };
        // Every candidate on its first row, then the most promising finished first, on this
        // thread: the candidates share the block's buffer. A penalty that is no whole number of
        // units leaves only the sequential measure: every candidate passes the first pass,
        // unranked, and the finish measures the whole block.
        const bool units = exactUnitsAvailable();
        const SearchOutcome outcome = rankedSearch(
            count, kNoScore, false,
            [&](std::int64_t begin, std::int64_t end, float first, RankedLedger& ledger) {
                const DifferenceUnits threshold = scan.threshold(first);
                for (std::int64_t k = begin; k < end; ++k) {
                    DifferenceUnits sum = 0;
                    if (!units)
                        ledger.survives(k, 0, 0);
                    else if (addRows(k, 0, 1, sum, threshold, scan))
                        ledger.survives(k, sum, float(double(sum) / double(scan.pairs())));
                }
            },
            [&](std::int64_t k, DifferenceUnits total, float bound) {
                if (!units) {
                    for (std::int64_t r = 0; r < scan.rows(); ++r) {
                        const std::int32_t row = std::int32_t(scan.bFirstRow() + r);
                        sampler.row(std::size_t(k) / ny, std::size_t(k) % ny, row, pixelAt(block, 0, row));
                    }
                    return BoundedDifference{false, imageDifference(s.reference, block)};
                }
                const DifferenceUnits threshold = scan.threshold(bound);
                if (total >= threshold || !addRows(k, 1, scan.rows(), total, threshold, scan))
                    return BoundedDifference{true, 0};
                if (kBoundsOnlyDiffer) {
                    total = 0;
                    addRows(k, 0, scan.rows(), total, ~DifferenceUnits(0), exact);
                } else {
                    // The block's first row still holds another candidate's: this one's goes
                    // back, for a value that must read the block again.
                    const std::int32_t row = std::int32_t(scan.bFirstRow());
                    sampler.row(std::size_t(k) / ny, std::size_t(k) % ny, row, pixelAt(block, 0, row));
                }
                return BoundedDifference{false, exact.value(total, s.reference, block)};
            });
        best = outcome.best;
        winner = outcome.winner;
    }
    if (winner >= 0) {
        outDx = xs[std::size_t(winner) / ys.size()];
        outDy = ys[std::size_t(winner) % ys.size()];
    }
    releasePixels(block);
    return best;
}
