#include "registration/shift_search.h"

#include <emmintrin.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "common/parallel.h"
#include "registration/image_difference.h"

namespace {

// Above this many candidates the search keeps no state per candidate.
constexpr std::int64_t kRankedLimit = std::int64_t(1) << 20;
// Up to this many candidates the search stays on the calling thread.
constexpr std::int64_t kSmallSearch = 128;
// Windows of the reference summed together on a sample's first rows.
constexpr int kBatch = 8;

// How a sample's candidates that lay it wholly on the reference take their first rows:
// together, a batch of windows of the reference at a time (the same rows, pairs and threshold
// for all of them). Other candidates, and every candidate of a sample in scan mode, take the
// phases of a DifferenceScan.
struct FirstRows {
    enum Mode { scan, evenRows, orderedRows } mode = scan;
    // evenRows (no row order, no rows flagged invalid): the even rows first, the odd rows to
    // finish, a few at a time. orderedRows: the rows of the scan's phase 0 in the sample's
    // order (none flagged invalid), the scan's later phases to finish.
    bool whole = false;                       // those rows, and the reference, hold valid pixels only
    std::vector<const std::uint8_t*> aRows;   // orderedRows: the first rows
    std::vector<std::size_t> bOffsets;        // each row's offset in a window of the reference
    std::int64_t pairs = 0;
};

// The candidates of a search: candidate i is sample i / grid.count() with its reference point
// moved by shift i % grid.count().
class SampleCandidates {
public:
    SampleCandidates(const std::vector<SearchSample>& samples, const Image& reference, const ShiftGrid& grid,
                     bool referenceWhole)
        : samples_(samples),
          reference_(reference),
          grid_(grid),
          referenceWhole_(referenceWhole),
          rows_(samples.size()) {
        for (std::size_t k = 0; k < samples.size(); ++k) rows_[k] = firstRowsOf(samples[k]);
    }

    Image placed(std::int64_t i) const {
        const Image& im = *sampleOf(i).image;
        Image candidate = im;
        candidate.x0 = im.x0 + grid_.shiftX(i % grid_.count());
        candidate.y0 = im.y0 + grid_.shiftY(i % grid_.count());
        return candidate;
    }

    // The measure of candidate i on its own (the sequential one), pruned at bound.
    BoundedDifference measure(std::int64_t i, float bound) const {
        return boundedImageDifference(placed(i), reference_, bound, sampleOf(i).invalid);
    }

    // The first pass of the ranked search over candidates [begin, end).
    void firstPass(std::int64_t begin, std::int64_t end, float best, RankedLedger& ledger) const {
        const std::uint8_t* windows[kBatch];
        std::int64_t indices[kBatch];
        DifferenceUnits sums[kBatch];
        int batched = 0;
        std::size_t batchSample = 0;
        auto flush = [&] {
            if (batched == 0) return;
            const FirstRows& f = rows_[batchSample];
            const Image& im = *samples_[batchSample].image;
            if (f.mode == FirstRows::evenRows) {
                windowUnits(im.pixels, 2 * std::size_t(im.width) * kBytesPerPixel, windows,
                            2 * std::size_t(reference_.width) * kBytesPerPixel, im.width, (im.height + 1) / 2, batched,
                            f.whole, true, sums);
            } else {
                windowListUnits(f.aRows.data(), f.bOffsets.data(), int(f.aRows.size()), windows, im.width, batched,
                                f.whole, true, sums);
            }
            const DifferenceUnits threshold = unitsThreshold(best, f.pairs);
            for (int k = 0; k < batched; ++k)
                if (sums[k] < threshold) ledger.survives(indices[k], sums[k], float(double(sums[k]) / double(f.pairs)));
            batched = 0;
        };
        for (std::int64_t i = begin; i < end; ++i) {
            const std::size_t k = std::size_t(i / grid_.count());
            if (const std::uint8_t* w = window(i)) {
                if (batched == kBatch || (batched > 0 && batchSample != k)) flush();
                batchSample = k;
                windows[batched] = w;
                indices[batched++] = i;
                continue;
            }
            const Image candidate = placed(i);
            const DifferenceScan scan(candidate, reference_, options(samples_[k], true));
            if (scan.empty()) {
                if (Extended(kEmptyOverlapScore) < best) ledger.measured(i, Extended(kEmptyOverlapScore));
                continue;
            }
            DifferenceUnits sum = 0;
            if (scan.addPhase(0, sum, scan.threshold(best)))
                ledger.survives(i, sum, float(double(sum) / double(scan.pairs())));
        }
        flush();
    }

    // The rest of candidate i's sum from its first rows' partial, pruned at bound.
    BoundedDifference finish(std::int64_t i, DifferenceUnits sum, float bound) const {
        const SearchSample& s = sampleOf(i);
        const FirstRows& f = rows_[std::size_t(i / grid_.count())];
        const Image candidate = placed(i);
        const std::uint8_t* b = window(i);
        if (b != nullptr && f.mode == FirstRows::evenRows) {
            const Image& im = *s.image;
            const std::size_t aStride = std::size_t(im.width) * kBytesPerPixel;
            const std::size_t bStride = std::size_t(reference_.width) * kBytesPerPixel;
            const std::int64_t oddRows = im.height / 2, group = std::max<std::int64_t>(1, 64 / im.width);
            const DifferenceUnits threshold = unitsThreshold(bound, f.pairs);
            for (std::int64_t r = 0; r < oddRows; r += group) {
                if (sum >= threshold) return {true, 0};
                sum += rowsUnits(im.pixels + (2 * r + 1) * aStride, 2 * aStride, b + (2 * r + 1) * bStride, 2 * bStride,
                                 im.width, std::min(group, oddRows - r), f.whole, true);
            }
            if (sum >= threshold) return {true, 0};
            // The sums above may be lower bounds: the exact one of a candidate that passed them.
            if (kBoundsOnlyDiffer) sum = rowsUnits(im.pixels, aStride, b, bStride, im.width, im.height, f.whole);
            return {false, DifferenceScan(candidate, reference_).value(sum, candidate, reference_)};
        }
        const DifferenceScan scan(candidate, reference_, options(s, true));
        const DifferenceUnits threshold = scan.threshold(bound);
        if (sum >= threshold || !scan.addPhasesFrom(1, sum, threshold)) return {true, 0};
        if (kBoundsOnlyDiffer) {   // the sums above are lower bounds: the exact one
            sum = 0;
            DifferenceScan(candidate, reference_, options(s, false)).addPhasesFrom(0, sum, ~DifferenceUnits(0));
        }
        return {false, scan.value(sum, candidate, reference_)};
    }

private:
    const std::vector<SearchSample>& samples_;
    const Image& reference_;
    const ShiftGrid& grid_;
    bool referenceWhole_;
    std::vector<FirstRows> rows_;

    const SearchSample& sampleOf(std::int64_t i) const { return samples_[std::size_t(i / grid_.count())]; }

    ScanOptions options(const SearchSample& s, bool boundsOnly) const {
        return ScanOptions{s.invalid, s.rowOrder, s.wholeRows, referenceWhole_, boundsOnly};
    }

    // The reference pixel under sample pixel (0, 0) at candidate i when the candidate lays the
    // whole sample on the reference and its sample takes first rows together; else null.
    const std::uint8_t* window(std::int64_t i) const {
        const SearchSample& s = sampleOf(i);
        if (rows_[std::size_t(i / grid_.count())].mode == FirstRows::scan) return nullptr;
        const Image& im = *s.image;
        const std::int64_t bCol = std::int64_t(reference_.x0) - im.x0 - grid_.shiftX(i % grid_.count());
        const std::int64_t bRow = std::int64_t(reference_.y0) - im.y0 - grid_.shiftY(i % grid_.count());
        if (bCol < 0 || bRow < 0 || reference_.width - bCol < im.width || reference_.height - bRow < im.height)
            return nullptr;
        return pixelAt(reference_, std::int32_t(bCol), std::int32_t(bRow));
    }

    FirstRows firstRowsOf(const SearchSample& s) const {
        FirstRows f;
        const Image& im = *s.image;
        if (im.pixels == nullptr || im.width <= 0 || im.height <= 0) return f;
        const std::size_t bStride = std::size_t(reference_.width) * kBytesPerPixel;
        auto add = [&](std::int32_t r) {
            f.aRows.push_back(pixelAt(im, 0, r));
            f.bOffsets.push_back(std::size_t(r) * bStride);
        };
        if (s.rowOrder == nullptr) {
            if (s.invalid != nullptr) return f;
            f.mode = FirstRows::evenRows;
            f.whole = referenceWhole_ && wholeRows(im, 0, im.height);
        } else {
            f.mode = FirstRows::orderedRows;
            f.whole = referenceWhole_ && s.wholeRows != nullptr;
            for (std::int64_t j = 0; j < DifferenceScan::orderedFirstRows(im.height); ++j) {
                const std::int32_t r = s.rowOrder[j];
                if (s.invalid != nullptr && s.invalid[r] != 0) return FirstRows{};
                f.whole = f.whole && s.wholeRows[r] != 0;
                add(r);
            }
        }
        f.pairs = std::int64_t(im.width) * im.height;
        return f;
    }
};

}   // namespace

std::uint64_t rankOf(float key, std::uint64_t slot) {
    std::uint32_t bits;
    std::memcpy(&bits, &key, sizeof bits);
    return std::uint64_t(bits) << 32 | slot;
}

void sortRanks(std::vector<std::uint64_t>& ranks) {
    if (ranks.size() < 4096) return std::sort(ranks.begin(), ranks.end());
    // Stable radix sort on the key's 32 bits, 11 at a time from the lowest (the slots below
    // are already in order).
    std::vector<std::uint64_t> spare(ranks.size());
    for (int shift = 32; shift < 64; shift += 11) {
        std::size_t start[2049] = {};
        for (const std::uint64_t v : ranks) ++start[((v >> shift) & 2047) + 1];
        for (int b = 0; b < 2048; ++b) start[b + 1] += start[b];
        for (const std::uint64_t v : ranks) spare[start[(v >> shift) & 2047]++] = v;
        ranks.swap(spare);
    }
}

ShiftGrid shiftGrid(std::int32_t xMin, std::int32_t xMax, std::int32_t yMin, std::int32_t yMax, std::int32_t step) {
    ShiftGrid g;
    g.xMin = xMin;
    g.yMin = yMin;
    g.step = step;
    g.columns = xMin <= xMax ? (std::int64_t(xMax) - xMin) / step + 1 : 0;
    g.rows = yMin <= yMax ? (std::int64_t(yMax) - yMin) / step + 1 : 0;
    return g;
}

std::vector<std::int32_t> texturedRowOrder(const Image& sample, InvalidRows sampleInvalid) {
    std::vector<std::int32_t> order(std::size_t(std::max(sample.height, 0)));
    std::vector<std::int64_t> texture(order.size(), -1);
    for (std::int32_t y = 0; y < sample.height; ++y) {
        order[std::size_t(y)] = y;
        if (sampleInvalid != nullptr && sampleInvalid[y] != 0) continue;
        std::int64_t sum = 0;
        const std::uint8_t* p = pixelAt(sample, 0, y);
        std::int32_t x = 0;
        // Four pixels against their right neighbours at a time, validity bytes masked out.
        const __m128i colours = _mm_set1_epi32(0x00FFFFFF);
        __m128i sums = _mm_setzero_si128();
        for (; x + 4 < sample.width; x += 4, p += 4 * kBytesPerPixel) {
            const __m128i here = _mm_and_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), colours);
            const __m128i next =
                _mm_and_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + kBytesPerPixel)), colours);
            sums = _mm_add_epi64(sums, _mm_sad_epu8(here, next));
        }
        sum = _mm_cvtsi128_si64(sums) + _mm_cvtsi128_si64(_mm_unpackhi_epi64(sums, sums));
        for (; x + 1 < sample.width; ++x, p += kBytesPerPixel)
            for (int k = 0; k < 3; ++k) sum += std::abs(int(p[k]) - int(p[k + kBytesPerPixel]));
        texture[std::size_t(y)] = sum;
    }
    std::stable_sort(order.begin(), order.end(),
                     [&](std::int32_t a, std::int32_t b) { return texture[std::size_t(a)] > texture[std::size_t(b)]; });
    return order;
}

SearchOutcome searchShifts(const Image& sample, InvalidRows sampleInvalid, const Image& reference,
                           const ShiftGrid& grid, float best, const std::int32_t* sampleRowOrder, bool referenceWhole) {
    return searchSampleShifts({SearchSample{&sample, sampleInvalid, sampleRowOrder}}, reference, grid, best,
                              referenceWhole);
}

SearchOutcome searchSampleShifts(const std::vector<SearchSample>& samples, const Image& reference,
                                 const ShiftGrid& grid, float best, bool referenceWhole) {
    const std::int64_t count = grid.count() * std::int64_t(samples.size());
    const SampleCandidates candidates(samples, reference, grid, referenceWhole);
    // A penalty that is no whole number of units leaves only the sequential measure: then
    // every candidate passes the first pass, unranked, and the finish measures it whole.
    const bool units = exactUnitsAvailable();
    const bool parallel = count > kSmallSearch && !insideParallelBody();
    // Candidates kRankedLimit at a time (the state kept per candidate), each part starting from
    // the best the parts before it held, as the plain loop would.
    SearchOutcome outcome{-1, best};
    for (std::int64_t first = 0; first < count; first += kRankedLimit) {
        const SearchOutcome part = rankedSearch(
            std::min(kRankedLimit, count - first), outcome.best, parallel,
            [&](std::int64_t begin, std::int64_t end, float bound, RankedLedger& ledger) {
                if (units) return candidates.firstPass(first + begin, first + end, bound, ledger);
                for (std::int64_t i = first + begin; i < first + end; ++i) ledger.survives(i, 0, 0);
            },
            [&](std::int64_t i, DifferenceUnits sum, float bound) {
                return units ? candidates.finish(i, sum, bound) : candidates.measure(i, bound);
            });
        if (part.winner >= 0) outcome = part;
    }
    return outcome;
}
