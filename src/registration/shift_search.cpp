#include "registration/shift_search.h"

#include <emmintrin.h>

#include <algorithm>
#include <cstdlib>
#include <atomic>
#include <cmath>
#include <cstring>
#include <mutex>
#include <numeric>
#include <vector>

#include "common/parallel.h"
#include "registration/image_difference.h"

namespace {

// Above this many candidates the search keeps no state per candidate.
constexpr std::int64_t kRankedLimit = std::int64_t(1) << 20;
constexpr std::int64_t kChunk = 8;
// Up to this many candidates the search stays on the calling thread.
constexpr std::int64_t kSmallSearch = 128;

using Scored = ScoredCandidate;

// A candidate's rank: its key (a partial mean, never negative, so that the bit patterns sort
// as the values do) above, its index below, so that equal keys keep index order.
std::uint64_t rankOf(float key, std::uint64_t index) {
    std::uint32_t bits;
    std::memcpy(&bits, &key, sizeof bits);
    return std::uint64_t(bits) << 32 | index;
}

void lowerTo(std::atomic<float>& bound, float value) {
    float seen = bound.load(std::memory_order_relaxed);
    while (value < seen && !bound.compare_exchange_weak(seen, value, std::memory_order_relaxed)) {
    }
}

// The candidates alive, by ascending key, equal keys in index order (count below 2^32; keys
// are partial means, never negative, so their bit patterns sort as the values do).
std::vector<std::int64_t> rankByKey(const std::vector<float>& key, const std::vector<std::uint8_t>& alive) {
    std::vector<std::uint64_t> items, spare;
    for (std::size_t i = 0; i < key.size(); ++i) {
        if (alive[i] == 0) continue;
        items.push_back(rankOf(key[i], i));
    }
    // Stable radix sort on the key's 32 bits, 11 at a time from the lowest.
    spare.resize(items.size());
    for (int shift = 32; shift < 64; shift += 11) {
        std::size_t start[2049] = {};
        for (const std::uint64_t v : items) ++start[((v >> shift) & 2047) + 1];
        for (int b = 0; b < 2048; ++b) start[b + 1] += start[b];
        for (const std::uint64_t v : items) spare[start[(v >> shift) & 2047]++] = v;
        items.swap(spare);
    }
    std::vector<std::int64_t> order(items.size());
    for (std::size_t k = 0; k < items.size(); ++k) order[k] = std::int64_t(items[k] & 0xFFFFFFFFu);
    return order;
}

// The first rows in a sample's order (an ordered scan's phase 0) as the candidates that lay
// the whole sample on the reference read them; usable when the sample has an order and none of
// those rows is flagged invalid.
struct FirstRows {
    bool usable = false;
    bool whole = false;   // those rows, and the reference, hold valid pixels only
    std::vector<const std::uint8_t*> aRows;
    std::vector<std::size_t> bOffsets;   // each row's offset in a window of the reference
    std::int64_t pairs = 0;
    DifferenceUnits threshold = 0;   // the sum at which a mean reaches the starting best
};

std::vector<FirstRows> firstRowsOf(const std::vector<SearchSample>& samples, const Image& reference, float best,
                                   bool referenceWhole) {
    std::vector<FirstRows> result(samples.size());
    if (!exactUnitsAvailable()) return result;
    for (std::size_t k = 0; k < samples.size(); ++k) {
        const SearchSample& s = samples[k];
        const Image& im = *s.image;
        if (s.rowOrder == nullptr || im.pixels == nullptr || im.width <= 0 || im.height <= 0) continue;
        FirstRows& f = result[k];
        f.usable = true;
        f.whole = referenceWhole && s.wholeRows != nullptr;
        for (std::int64_t j = 0; j < DifferenceScan::orderedFirstRows(im.height); ++j) {
            const std::int32_t r = s.rowOrder[j];
            if (s.invalid != nullptr && s.invalid[r] != 0) f.usable = false;
            f.whole = f.whole && s.wholeRows[r] != 0;
            f.aRows.push_back(pixelAt(im, 0, r));
            f.bOffsets.push_back(std::size_t(r) * std::size_t(reference.width) * kBytesPerPixel);
        }
        f.pairs = std::int64_t(im.width) * im.height;
        f.threshold = unitsThreshold(best, f.pairs);
    }
    return result;
}

}   // namespace

ShiftGrid shiftGrid(std::int32_t xMin, std::int32_t xMax, std::int32_t yMin, std::int32_t yMax, std::int32_t step) {
    ShiftGrid g;
    g.xMin = xMin;
    g.yMin = yMin;
    g.step = step;
    g.columns = xMin <= xMax ? (std::int64_t(xMax) - xMin) / step + 1 : 0;
    g.rows = yMin <= yMax ? (std::int64_t(yMax) - yMin) / step + 1 : 0;
    return g;
}

namespace {

// True when every shift of the grid lays the whole sample on the reference: then each
// candidate's overlap is the sample itself against a window of the reference.
bool containedAtEveryShift(const Image& sample, const Image& reference, const ShiftGrid& grid) {
    if (grid.count() == 0 || sample.width <= 0 || sample.height <= 0) return false;
    const std::int64_t xLow = std::min(grid.shiftX(0), grid.shiftX(grid.count() - 1));
    const std::int64_t xHigh = std::max(grid.shiftX(0), grid.shiftX(grid.count() - 1));
    const std::int64_t yLow = std::min<std::int64_t>(grid.yMin, grid.yMin + (grid.rows - 1) * grid.step);
    const std::int64_t yHigh = std::max<std::int64_t>(grid.yMin, grid.yMin + (grid.rows - 1) * grid.step);
    // Sample pixel (0, 0) meets reference pixel (reference.x0 - sample.x0 - shift, ...).
    const std::int64_t left = std::int64_t(reference.x0) - sample.x0 - xHigh;
    const std::int64_t right = std::int64_t(reference.x0) - sample.x0 - xLow + sample.width;
    const std::int64_t top = std::int64_t(reference.y0) - sample.y0 - yHigh;
    const std::int64_t bottom = std::int64_t(reference.y0) - sample.y0 - yLow + sample.height;
    return left >= 0 && top >= 0 && right <= reference.width && bottom <= reference.height;
}

// searchShiftsHere for a sample that lies wholly on the reference at every shift, with no
// rows known invalid and no row order: every overlap is the sample, so a candidate is only a
// window of the reference. Even rows first, then the odd rows a few at a time.
SearchOutcome searchContainedSample(const Image& sample, const Image& reference, const ShiftGrid& grid, float best,
                                    bool referenceWhole) {
    const std::int64_t count = grid.count();
    const std::int64_t pairs = std::int64_t(sample.width) * sample.height;
    const std::size_t aStride = std::size_t(sample.width) * kBytesPerPixel;
    const std::size_t bStride = std::size_t(reference.width) * kBytesPerPixel;
    const std::int64_t evenRows = (sample.height + 1) / 2, oddRows = sample.height / 2;
    auto window = [&](std::int64_t i) {
        return pixelAt(reference, reference.x0 - sample.x0 - grid.shiftX(i), reference.y0 - sample.y0 - grid.shiftY(i));
    };
    thread_local std::vector<DifferenceUnits> partials;
    thread_local std::vector<std::uint64_t> ranks;
    thread_local std::vector<Scored> scored;
    partials.assign(std::size_t(count), 0);
    ranks.clear();
    scored.clear();
    const bool whole = referenceWhole && wholeRows(sample, 0, sample.height);
    const DifferenceUnits first = unitsThreshold(best, pairs);
    // The even rows of every candidate, a batch of windows at a time.
    constexpr std::int64_t kBatch = 64;
    const std::uint8_t* windows[kBatch];
    DifferenceUnits sums[kBatch];
    for (std::int64_t i = 0; i < count; ++i) {
        const std::int64_t k = i % kBatch;
        if (k == 0) {
            const std::int64_t n = std::min(kBatch, count - i);
            for (std::int64_t j = 0; j < n; ++j) windows[j] = window(i + j);
            windowUnits(sample.pixels, 2 * aStride, windows, 2 * bStride, sample.width, evenRows, n, whole, true, sums);
        }
        const DifferenceUnits sum = sums[k];
        if (sum >= first) continue;
        partials[std::size_t(i)] = sum;
        ranks.push_back(rankOf(float(double(sum) / double(pairs)), std::uint64_t(i)));
    }
    float bound = best;
    DifferenceUnits threshold = first;
    const std::int64_t group = std::max<std::int64_t>(1, 64 / sample.width);
    auto finish = [&](std::uint64_t rank) {
        const std::int64_t i = std::int64_t(rank & 0xFFFFFFFFu);
        DifferenceUnits sum = partials[std::size_t(i)];
        const std::uint8_t* b = window(i);
        bool alive = sum < threshold;
        for (std::int64_t r = 0; alive && r < oddRows; r += group) {
            sum += rowsUnits(sample.pixels + (2 * r + 1) * aStride, 2 * aStride, b + (2 * r + 1) * bStride, 2 * bStride,
                             sample.width, std::min(group, oddRows - r), whole, true);
            alive = sum < threshold;
        }
        if (!alive) return;
        // The sums above may be lower bounds: the exact one of a candidate that passed them.
        if (kBoundsOnlyDiffer) sum = rowsUnits(sample.pixels, aStride, b, bStride, sample.width, sample.height, whole);
        Image candidate = sample;
        candidate.x0 = sample.x0 + grid.shiftX(i);
        candidate.y0 = sample.y0 + grid.shiftY(i);
        const Extended value = DifferenceScan(candidate, reference).value(sum, candidate, reference);
        scored.push_back({i, value});
        const float lowered = std::nextafter(float(value), INFINITY);
        if (lowered < bound) {
            bound = lowered;
            threshold = unitsThreshold(bound, pairs);
        }
    };
    // The most promising candidate first: the bound it sets drops most of the others before
    // they need sorting. The order only saves work; the replay below makes the choice.
    if (!ranks.empty()) {
        std::iter_swap(ranks.begin(), std::min_element(ranks.begin(), ranks.end()));
        finish(ranks.front());
        const auto rest = std::remove_if(ranks.begin() + 1, ranks.end(), [&](std::uint64_t rank) {
            return partials[std::size_t(rank & 0xFFFFFFFFu)] >= threshold;
        });
        std::sort(ranks.begin() + 1, rest);
        std::for_each(ranks.begin() + 1, rest, finish);
    }
    return replayInOrder(scored, best);
}

// The same search on the calling thread, for small grids and for searches already running on
// a worker (the blocks of the block stage): no shared state, scratch space kept per thread.
SearchOutcome searchShiftsHere(const Image& sample, InvalidRows sampleInvalid, const Image& reference,
                               const ShiftGrid& grid, float best, const std::int32_t* sampleRowOrder,
                               bool referenceWhole) {
    const std::int64_t count = grid.count();
    if (sampleInvalid == nullptr && sampleRowOrder == nullptr && count <= (std::int64_t(1) << 32) &&
        exactUnitsAvailable() && containedAtEveryShift(sample, reference, grid)) {
        return searchContainedSample(sample, reference, grid, best, referenceWhole);
    }
    // Per candidate alive after the first rows: its placement, its partial sum, and its rank
    // (partial mean as float bits, then index: the order in which to finish them).
    thread_local std::vector<DifferenceScan> scans;
    thread_local std::vector<DifferenceUnits> partials;
    thread_local std::vector<std::int64_t> indices;
    thread_local std::vector<std::uint64_t> ranks;
    thread_local std::vector<Scored> scored;
    scans.clear();
    partials.clear();
    indices.clear();
    ranks.clear();
    scored.clear();
    for (std::int64_t i = 0; i < count; ++i) {
        Image candidate = sample;
        candidate.x0 = sample.x0 + grid.shiftX(i);
        candidate.y0 = sample.y0 + grid.shiftY(i);
        DifferenceScan scan(candidate, reference,
                            {.aInvalid = sampleInvalid, .aRowOrder = sampleRowOrder, .boundsOnly = true});
        if (scan.empty()) {
            if (Extended(kEmptyOverlapScore) < best) scored.push_back({i, Extended(kEmptyOverlapScore)});
            continue;
        }
        DifferenceUnits sum = 0;
        if (!scan.addPhase(0, sum, scan.threshold(best))) continue;
        ranks.push_back(rankOf(float(double(sum) / double(scan.pairs())), std::uint64_t(scans.size())));
        scans.push_back(scan);
        partials.push_back(sum);
        indices.push_back(i);
    }
    std::sort(ranks.begin(), ranks.end());
    float bound = best;
    // The threshold depends only on the bound and the overlap's size: formed again only when
    // either changes.
    float thresholdBound = NAN;
    std::int64_t thresholdPairs = -1;
    DifferenceUnits threshold = 0;
    for (const std::uint64_t rank : ranks) {
        const std::size_t k = std::size_t(rank & 0xFFFFFFFFu);
        const DifferenceScan& scan = scans[k];
        if (!(bound == thresholdBound) || scan.pairs() != thresholdPairs) {
            thresholdBound = bound;
            thresholdPairs = scan.pairs();
            threshold = scan.threshold(bound);
        }
        DifferenceUnits sum = partials[k];
        if (sum >= threshold || !scan.addPhasesFrom(1, sum, threshold)) continue;
        const std::int64_t i = indices[k];
        Image candidate = sample;
        candidate.x0 = sample.x0 + grid.shiftX(i);
        candidate.y0 = sample.y0 + grid.shiftY(i);
        if (kBoundsOnlyDiffer) {   // the sums above are lower bounds: the exact one
            sum = 0;
            DifferenceScan(candidate, reference, {.aInvalid = sampleInvalid, .aRowOrder = sampleRowOrder})
                .addPhasesFrom(0, sum, ~DifferenceUnits(0));
        }
        const Extended value = scan.value(sum, candidate, reference);
        scored.push_back({i, value});
        bound = std::min(bound, std::nextafter(float(value), INFINITY));
    }
    return replayInOrder(scored, best);
}

}   // namespace

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
    // The sums in units need a penalty that is a whole number of units.
    if ((grid.count() <= kSmallSearch || insideParallelBody()) && exactUnitsAvailable()) {
        if (grid.count() <= kRankedLimit)
            return searchShiftsHere(sample, sampleInvalid, reference, grid, best, sampleRowOrder, referenceWhole);
    }
    return searchSampleShifts({SearchSample{&sample, sampleInvalid, sampleRowOrder}}, reference, grid, best);
}

SearchOutcome searchSampleShifts(const std::vector<SearchSample>& samples, const Image& reference,
                                 const ShiftGrid& grid, float best, bool referenceWhole) {
    const std::int64_t perSample = grid.count();
    const std::int64_t count = perSample * std::int64_t(samples.size());
    auto sampleOf = [&](std::int64_t i) -> const SearchSample& { return samples[std::size_t(i / perSample)]; };
    auto scanOptions = [&](const SearchSample& s, bool boundsOnly) {
        return ScanOptions{s.invalid, s.rowOrder, s.wholeRows, referenceWhole, boundsOnly};
    };
    auto placed = [&](std::int64_t i) {
        const SearchSample& s = sampleOf(i);
        Image candidate = *s.image;
        candidate.x0 = s.image->x0 + grid.shiftX(i % perSample);
        candidate.y0 = s.image->y0 + grid.shiftY(i % perSample);
        return candidate;
    };
    // Past kRankedLimit candidates no state is kept per candidate; a penalty that is no whole
    // number of units leaves only the sequential measure.
    if (count > kRankedLimit || !exactUnitsAvailable()) {
        return orderedSearch(count, best, [&](std::int64_t i, float bound) {
            return boundedImageDifference(placed(i), reference, bound, sampleOf(i).invalid);
        });
    }

    // First pass: every candidate on the first rows (phase 0), against the starting best.
    std::vector<DifferenceUnits> partial(std::size_t(count), 0);
    std::vector<std::uint8_t> alive(std::size_t(count), 0);
    std::vector<float> key(std::size_t(count), 0);
    std::vector<std::vector<Scored>> finished((std::size_t(count) + kChunk - 1) / kChunk);
    std::atomic<float> bound{best};
    const std::vector<FirstRows> firstRows = firstRowsOf(samples, reference, best, referenceWhole);
    parallelFor(std::int64_t(finished.size()), [&](std::int64_t c) {
        // Candidates that lay their whole sample on the reference take their first rows
        // together (the same overlap, pairs and threshold for all of a sample's shifts).
        const std::uint8_t* windows[kChunk];
        std::int64_t indices[kChunk];
        DifferenceUnits sums[kChunk];
        int batched = 0;
        std::size_t batchSample = 0;
        auto flushBatch = [&] {
            if (batched == 0) return;
            const FirstRows& f = firstRows[batchSample];
            windowListUnits(f.aRows.data(), f.bOffsets.data(), int(f.aRows.size()), windows,
                            samples[batchSample].image->width, batched, f.whole, true, sums);
            for (int k = 0; k < batched; ++k) {
                if (sums[k] >= f.threshold) continue;
                const std::size_t i = std::size_t(indices[k]);
                partial[i] = sums[k];
                alive[i] = 1;
                key[i] = float(double(sums[k]) / double(f.pairs));
            }
            batched = 0;
        };
        for (std::int64_t i = c * kChunk; i < std::min(count, (c + 1) * kChunk); ++i) {
            const std::size_t sampleIndex = std::size_t(i / perSample);
            if (firstRows[sampleIndex].usable) {
                const Image& im = *samples[sampleIndex].image;
                const std::int64_t x0 = im.x0 + grid.shiftX(i % perSample), y0 = im.y0 + grid.shiftY(i % perSample);
                const std::int64_t bCol = std::int64_t(reference.x0) - x0, bRow = std::int64_t(reference.y0) - y0;
                if (bCol >= 0 && bRow >= 0 && reference.width - bCol >= im.width &&
                    reference.height - bRow >= im.height) {
                    if (batched > 0 && batchSample != sampleIndex) flushBatch();
                    batchSample = sampleIndex;
                    windows[batched] = pixelAt(reference, std::int32_t(bCol), std::int32_t(bRow));
                    indices[batched++] = i;
                    continue;
                }
            }
            const Image candidate = placed(i);
            const DifferenceScan scan(candidate, reference, scanOptions(sampleOf(i), true));
            if (scan.empty()) {
                const Extended value = Extended(kEmptyOverlapScore);
                if (value < best) finished[std::size_t(c)].push_back({i, value});
                continue;
            }
            DifferenceUnits& sum = partial[std::size_t(i)];
            if (!scan.addPhase(0, sum, scan.threshold(best))) continue;
            alive[std::size_t(i)] = 1;
            key[std::size_t(i)] = float(double(sum) / double(scan.pairs()));
        }
        flushBatch();
    });
    for (const std::vector<Scored>& list : finished)
        for (const Scored& s : list) lowerTo(bound, std::nextafter(float(s.value), INFINITY));

    // Second pass: the most promising first, each finished unless the bound rules it out.
    const std::vector<std::int64_t> order = rankByKey(key, alive);
    std::vector<std::vector<Scored>> scored((order.size() + kChunk - 1) / kChunk);
    parallelFor(std::int64_t(scored.size()), [&](std::int64_t c) {
        const std::size_t end = std::min(order.size(), std::size_t(c + 1) * kChunk);
        for (std::size_t k = std::size_t(c) * kChunk; k < end; ++k) {
            const std::int64_t i = order[k];
            const Image candidate = placed(i);
            const DifferenceScan scan(candidate, reference, scanOptions(sampleOf(i), true));
            DifferenceUnits sum = partial[std::size_t(i)];
            const DifferenceUnits threshold = scan.threshold(bound.load(std::memory_order_relaxed));
            if (sum >= threshold || !scan.addPhasesFrom(1, sum, threshold)) continue;
            if (kBoundsOnlyDiffer) {   // the sums above are lower bounds: the exact one
                const DifferenceScan exact(candidate, reference, scanOptions(sampleOf(i), false));
                sum = 0;
                exact.addPhasesFrom(0, sum, ~DifferenceUnits(0));
            }
            const Extended value = scan.value(sum, candidate, reference);
            scored[std::size_t(c)].push_back({i, value});
            lowerTo(bound, std::nextafter(float(value), INFINITY));
        }
    });

    // Replay the plain loop over the candidates scored exactly, in their order.
    std::vector<Scored> all;
    for (const auto& lists : {&finished, &scored})
        for (const std::vector<Scored>& list : *lists) all.insert(all.end(), list.begin(), list.end());
    return replayInOrder(all, best);
}
