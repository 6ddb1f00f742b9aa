#include "registration/difference_kernel.h"

#include <immintrin.h>

#include <algorithm>
#include <cmath>

#include "common/cpu.h"
#include "driver/run_settings.h"
#include "registration/image_difference.h"

namespace {

using Units = DifferenceUnits;

constexpr long double kUnit = 0x1p31L;
constexpr std::uint64_t kInverse255Units = 8421505;   // kInverse255 = 8421505 * 2^-31
static_assert(Extended(kInverse255) * kUnit == 8421505.0L);

// First row of phase p of n phases (n a power of two): p with its log2(n) bits reversed.
int phaseStart(int p, int n) {
    int start = 0;
    for (int bit = 1, reversed = n >> 1; bit < n; bit <<= 1, reversed >>= 1)
        if (p & bit) start |= reversed;
    return start;
}

// Exact sums of one row. In the extended program the quadratic parts add up to
// kInverse255Units * sum(s*s) units; in the SSE program each is rounded to single precision
// first and is carried as its whole part plus its fraction in units. Sums taken for a lower
// bound only (the SSE program's, see ScanOptions::boundsOnly) carry sum(s*s) in
// squares instead.
struct RowSums {
    std::uint64_t invalid = 0;
    std::uint64_t s = 0;
    std::uint64_t quadratic = 0;
    std::uint64_t fraction = 0;
    std::uint64_t squares = 0;
};

inline void addScalarPixel(const std::uint8_t* pa, const std::uint8_t* pb, RowSums& sums) {
    if (pa[3] == 0 || pb[3] == 0) {
        ++sums.invalid;
        return;
    }
    const std::int32_t d0 = pa[0] - pb[0], d1 = pa[1] - pb[1], d2 = pa[2] - pb[2];
    const std::int32_t s = d0 * d0 + 4 * (d1 * d1 + d2 * d2);
    sums.s += std::uint32_t(s);
    if constexpr (kSseBuild) {
        const float q = float(s) * float(s) * kInverse255;
        const std::int32_t whole = std::int32_t(q);
        sums.quadratic += std::uint32_t(whole);
        sums.fraction += std::uint32_t(std::int32_t((q - float(whole)) * 0x1p31f));
    } else {
        sums.quadratic += std::uint64_t(s) * std::uint64_t(s);
    }
}

std::uint64_t laneSum(__m128i v) {
    alignas(16) std::uint64_t lanes[2];
    _mm_store_si128(reinterpret_cast<__m128i*>(lanes), v);
    return lanes[0] + lanes[1];
}

// Per pixel of four, s (masked to 0 where invalid) and the invalid mask.
inline __m128i pixelTerms4(__m128i va, __m128i vb, __m128i& bad) {
    const __m128i zero = _mm_setzero_si128();
    const __m128i weights = _mm_setr_epi16(1, 4, 4, 0, 1, 4, 4, 0);
    const __m128i validity = _mm_set1_epi32(std::int32_t(0xFF000000u));
    const __m128i dLow = _mm_sub_epi16(_mm_unpacklo_epi8(va, zero), _mm_unpacklo_epi8(vb, zero));
    const __m128i dHigh = _mm_sub_epi16(_mm_unpackhi_epi8(va, zero), _mm_unpackhi_epi8(vb, zero));
    const __m128i mLow = _mm_madd_epi16(dLow, _mm_mullo_epi16(dLow, weights));
    const __m128i mHigh = _mm_madd_epi16(dHigh, _mm_mullo_epi16(dHigh, weights));
    const __m128 evens = _mm_shuffle_ps(_mm_castsi128_ps(mLow), _mm_castsi128_ps(mHigh), _MM_SHUFFLE(2, 0, 2, 0));
    const __m128 odds = _mm_shuffle_ps(_mm_castsi128_ps(mLow), _mm_castsi128_ps(mHigh), _MM_SHUFFLE(3, 1, 3, 1));
    bad = _mm_or_si128(_mm_cmpeq_epi32(_mm_and_si128(va, validity), zero),
                       _mm_cmpeq_epi32(_mm_and_si128(vb, validity), zero));
    return _mm_andnot_si128(bad, _mm_add_epi32(_mm_castps_si128(evens), _mm_castps_si128(odds)));
}

// Sums of `count` rows of length pairs, the rows aStep and bStep bytes apart.
void sumRowsSse2(const std::uint8_t* rowA, std::size_t aStep, const std::uint8_t* rowB, std::size_t bStep,
                 std::int64_t length, std::int64_t count, RowSums& sums) {
    const __m128i zero = _mm_setzero_si128();
    __m128i invalid = zero, sumS = zero, sumQ = zero, sumF = zero;
    for (std::int64_t row = 0; row < count; ++row, rowA += aStep, rowB += bStep) {
        const std::uint8_t* pa = rowA;
        const std::uint8_t* pb = rowB;
        std::int64_t x = 0;
        for (; x + 4 <= length; x += 4, pa += 16, pb += 16) {
            __m128i bad;
            const __m128i s = pixelTerms4(_mm_loadu_si128(reinterpret_cast<const __m128i*>(pa)),
                                          _mm_loadu_si128(reinterpret_cast<const __m128i*>(pb)), bad);
            invalid = _mm_sub_epi32(invalid, bad);
            sumS = _mm_add_epi64(sumS, _mm_add_epi64(_mm_unpacklo_epi32(s, zero), _mm_unpackhi_epi32(s, zero)));
            if constexpr (kSseBuild) {
                const __m128 sf = _mm_cvtepi32_ps(s);
                const __m128 q = _mm_mul_ps(_mm_mul_ps(sf, sf), _mm_set1_ps(kInverse255));
                const __m128i whole = _mm_cvttps_epi32(q);
                const __m128i fraction =
                    _mm_cvttps_epi32(_mm_mul_ps(_mm_sub_ps(q, _mm_cvtepi32_ps(whole)), _mm_set1_ps(0x1p31f)));
                sumQ = _mm_add_epi64(sumQ,
                                     _mm_add_epi64(_mm_unpacklo_epi32(whole, zero), _mm_unpackhi_epi32(whole, zero)));
                sumF = _mm_add_epi64(
                    sumF, _mm_add_epi64(_mm_unpacklo_epi32(fraction, zero), _mm_unpackhi_epi32(fraction, zero)));
            } else {
                sumQ = _mm_add_epi64(sumQ, _mm_add_epi64(_mm_mul_epu32(s, s),
                                                         _mm_mul_epu32(_mm_srli_epi64(s, 32), _mm_srli_epi64(s, 32))));
            }
        }
        for (; x < length; ++x, pa += kBytesPerPixel, pb += kBytesPerPixel) addScalarPixel(pa, pb, sums);
    }
    sums.invalid += laneSum(_mm_add_epi64(_mm_unpacklo_epi32(invalid, zero), _mm_unpackhi_epi32(invalid, zero)));
    sums.s += laneSum(sumS);
    sums.quadratic += laneSum(sumQ);
    sums.fraction += laneSum(sumF);
}

__attribute__((target("avx2"))) std::uint64_t laneSum256(__m256i v) {
    return laneSum(_mm_add_epi64(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1)));
}

// The AVX2 kernel's running sums; pending counts the steps added to the 32-bit lane sums of
// s since they were last widened.
struct Avx2Sums {
    __m256i invalid, sumS32, sumS, sumQ, sumF, sumSquares;
    int pending = 0;
};

__attribute__((target("avx2"))) inline void startAvx2(Avx2Sums& acc) {
    acc.invalid = acc.sumS32 = acc.sumS = acc.sumQ = acc.sumF = acc.sumSquares = _mm256_setzero_si256();
}

// Widens the 32-bit lane sums of s before `steps` more steps could overflow them (s < 2^20:
// 4096 steps cannot).
__attribute__((target("avx2"), always_inline)) inline void makeRoomAvx2(Avx2Sums& acc, std::int64_t steps) {
    if (acc.pending + steps > 4096) {
        const __m256i zero = _mm256_setzero_si256();
        acc.sumS = _mm256_add_epi64(acc.sumS, _mm256_add_epi64(_mm256_unpacklo_epi32(acc.sumS32, zero),
                                                               _mm256_unpackhi_epi32(acc.sumS32, zero)));
        acc.sumS32 = zero;
        acc.pending = 0;
    }
    acc.pending += int(steps);
}

// Adds eight pairs (after makeRoomAvx2). With AllValid, every pixel of both sides is known valid
// and the validity bytes are not looked at. With BoundsOnly, the SSE program sums s*s for a lower
// bound instead of its rounded quadratic parts.
template <bool AllValid, bool BoundsOnly>
__attribute__((target("avx2"), always_inline)) inline void addPairsAvx2(__m256i va, __m256i vb, Avx2Sums& acc) {
    const __m256i zero = _mm256_setzero_si256();
    // Byte pairs (a, b) of channels 0, 1, 2, 3 times (1, -1), (2, -2), (2, -2), (0, 0): the
    // differences d0, 2 d1, 2 d2, 0 as 16-bit values, whose pairwise squares sum to s.
    const __m256i weights = _mm256_set1_epi64x(0x0000FE02FE02FF01);
    const __m256i dLow = _mm256_maddubs_epi16(_mm256_unpacklo_epi8(va, vb), weights);
    const __m256i dHigh = _mm256_maddubs_epi16(_mm256_unpackhi_epi8(va, vb), weights);
    // Pixels 0, 1 | 4, 5 and 2, 3 | 6, 7: the pairwise sums come back in pixel order.
    __m256i s = _mm256_hadd_epi32(_mm256_madd_epi16(dLow, dLow), _mm256_madd_epi16(dHigh, dHigh));
    if constexpr (!AllValid) {
        // A pair is invalid when either validity byte is 0: when their smaller one is.
        const __m256i validity = _mm256_set1_epi32(std::int32_t(0xFF000000u));
        const __m256i bad = _mm256_cmpeq_epi32(_mm256_and_si256(_mm256_min_epu8(va, vb), validity), zero);
        s = _mm256_andnot_si256(bad, s);
        acc.invalid = _mm256_sub_epi32(acc.invalid, bad);
    }
    acc.sumS32 = _mm256_add_epi32(acc.sumS32, s);
    if constexpr (kSseBuild && BoundsOnly) {
        const __m256i odd = _mm256_srli_epi64(s, 32);
        acc.sumSquares =
            _mm256_add_epi64(acc.sumSquares, _mm256_add_epi64(_mm256_mul_epu32(s, s), _mm256_mul_epu32(odd, odd)));
    } else if constexpr (kSseBuild) {
        const __m256 sf = _mm256_cvtepi32_ps(s);
        const __m256 q = _mm256_mul_ps(_mm256_mul_ps(sf, sf), _mm256_set1_ps(kInverse255));
        const __m256i whole = _mm256_cvttps_epi32(q);
        const __m256i fraction =
            _mm256_cvttps_epi32(_mm256_mul_ps(_mm256_sub_ps(q, _mm256_cvtepi32_ps(whole)), _mm256_set1_ps(0x1p31f)));
        acc.sumQ = _mm256_add_epi64(
            acc.sumQ, _mm256_add_epi64(_mm256_unpacklo_epi32(whole, zero), _mm256_unpackhi_epi32(whole, zero)));
        acc.sumF = _mm256_add_epi64(
            acc.sumF, _mm256_add_epi64(_mm256_unpacklo_epi32(fraction, zero), _mm256_unpackhi_epi32(fraction, zero)));
    } else {
        const __m256i odd = _mm256_srli_epi64(s, 32);
        acc.sumQ = _mm256_add_epi64(acc.sumQ, _mm256_add_epi64(_mm256_mul_epu32(s, s), _mm256_mul_epu32(odd, odd)));
    }
}

// The whole groups of eight pairs of one row.
template <bool AllValid, bool BoundsOnly>
__attribute__((target("avx2"), always_inline)) inline void addRowAvx2(const std::uint8_t* pa, const std::uint8_t* pb,
                                                                      std::int64_t length, Avx2Sums& acc) {
    const std::int64_t groups = length / 8;
    if (acc.pending + groups <= 4096) {   // the usual row: room for all of it at once
        acc.pending += int(groups);
        for (std::int64_t k = 0; k < groups; ++k) {
            addPairsAvx2<AllValid, BoundsOnly>(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(pa + 32 * k)),
                                               _mm256_loadu_si256(reinterpret_cast<const __m256i*>(pb + 32 * k)), acc);
        }
        return;
    }
    std::int64_t x = 0;
    while (x + 8 <= length) {
        const std::int64_t steps = std::min<std::int64_t>((length - x) / 8, 4096);
        makeRoomAvx2(acc, steps);
        for (const std::int64_t end = x + 8 * steps; x < end; x += 8, pa += 32, pb += 32) {
            addPairsAvx2<AllValid, BoundsOnly>(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(pa)),
                                               _mm256_loadu_si256(reinterpret_cast<const __m256i*>(pb)), acc);
        }
    }
}

// Adds the lane sums to sums; only those the kernel variant can have filled.
template <bool AllValid, bool BoundsOnly>
__attribute__((target("avx2"))) inline void finishAvx2(const Avx2Sums& acc, RowSums& sums) {
    const __m256i zero = _mm256_setzero_si256();
    const __m256i sumS = _mm256_add_epi64(
        acc.sumS, _mm256_add_epi64(_mm256_unpacklo_epi32(acc.sumS32, zero), _mm256_unpackhi_epi32(acc.sumS32, zero)));
    if constexpr (!AllValid) {
        sums.invalid += laneSum256(
            _mm256_add_epi64(_mm256_unpacklo_epi32(acc.invalid, zero), _mm256_unpackhi_epi32(acc.invalid, zero)));
    }
    sums.s += laneSum256(sumS);
    if constexpr (kSseBuild && BoundsOnly) {
        sums.squares += laneSum256(acc.sumSquares);
    } else {
        sums.quadratic += laneSum256(acc.sumQ);
        if constexpr (kSseBuild) sums.fraction += laneSum256(acc.sumF);
    }
}

// The last pixels of the rows (fewer than eight a row) are taken down the columns, eight rows
// at a time, and the rest one by one.
template <bool AllValid, bool BoundsOnly>
__attribute__((target("avx2"))) void sumRowsAvx2(const std::uint8_t* rowA, std::size_t aStep, const std::uint8_t* rowB,
                                                 std::size_t bStep, std::int64_t length, std::int64_t count,
                                                 RowSums& sums) {
    Avx2Sums acc;
    startAvx2(acc);
    const std::uint8_t* pa = rowA;
    const std::uint8_t* pb = rowB;
    for (std::int64_t row = 0; row < count; ++row, pa += aStep, pb += bStep)
        addRowAvx2<AllValid, BoundsOnly>(pa, pb, length, acc);
    const std::int64_t tail = length - length % 8;
    // Eight rows apart in 32-bit gather indices: strides of images within the size limits.
    const bool gathered = count >= 8 && aStep <= (std::size_t(1) << 26) && bStep <= (std::size_t(1) << 26);
    for (std::int64_t x = tail; x < length; ++x) {
        std::int64_t row = 0;
        if (gathered) {
            const __m256i lanes = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
            const __m256i aIndex = _mm256_mullo_epi32(lanes, _mm256_set1_epi32(std::int32_t(aStep / kBytesPerPixel)));
            const __m256i bIndex = _mm256_mullo_epi32(lanes, _mm256_set1_epi32(std::int32_t(bStep / kBytesPerPixel)));
            for (; row + 8 <= count; row += 8) {
                const int* a =
                    reinterpret_cast<const int*>(rowA + std::size_t(row) * aStep + std::size_t(x) * kBytesPerPixel);
                const int* b =
                    reinterpret_cast<const int*>(rowB + std::size_t(row) * bStep + std::size_t(x) * kBytesPerPixel);
                makeRoomAvx2(acc, 1);
                addPairsAvx2<AllValid, BoundsOnly>(_mm256_i32gather_epi32(a, aIndex, 4),
                                                   _mm256_i32gather_epi32(b, bIndex, 4), acc);
            }
        }
        for (; row < count; ++row) {
            addScalarPixel(rowA + std::size_t(row) * aStep + std::size_t(x) * kBytesPerPixel,
                           rowB + std::size_t(row) * bStep + std::size_t(x) * kBytesPerPixel, sums);
        }
    }
    finishAvx2<AllValid, BoundsOnly>(acc, sums);
}

// The same for rows given one by one.
template <bool AllValid, bool BoundsOnly>
__attribute__((target("avx2"))) void sumRowListAvx2(const std::uint8_t* const* rowsA, const std::uint8_t* const* rowsB,
                                                    std::int64_t length, int count, RowSums& sums) {
    Avx2Sums acc;
    startAvx2(acc);
    const std::int64_t tail = length - length % 8;
    for (int row = 0; row < count; ++row) {
        addRowAvx2<AllValid, BoundsOnly>(rowsA[row], rowsB[row], length, acc);
        for (std::int64_t x = tail; x < length; ++x)
            addScalarPixel(rowsA[row] + std::size_t(x) * kBytesPerPixel, rowsB[row] + std::size_t(x) * kBytesPerPixel,
                           sums);
    }
    finishAvx2<AllValid, BoundsOnly>(acc, sums);
}

// whole: every pixel of the rows of both sides is known valid; boundsOnly: sums for a lower bound
// are enough (the SSE program's quadratic parts then go as s*s, where AVX2 is at hand).
// Calls run.template operator()<AllValid, BoundsOnly>() for the AVX2 kernel variant that whole and
// boundsOnly ask for (boundsOnly changes the SSE program's kernel).
template <typename Run>
void withVariant(bool whole, bool boundsOnly, Run run) {
    if (kSseBuild && boundsOnly) {
        if (whole)
            run.template operator()<true, true>();
        else
            run.template operator()<false, true>();
    } else if (whole) {
        run.template operator()<true, false>();
    } else {
        run.template operator()<false, false>();
    }
}

void sumRows(const std::uint8_t* rowA, std::size_t aStep, const std::uint8_t* rowB, std::size_t bStep,
             std::int64_t length, std::int64_t count, RowSums& sums, bool whole = false, bool boundsOnly = false) {
    if (!useAvx2()) {
        sumRowsSse2(rowA, aStep, rowB, bStep, length, count, sums);
        return;
    }
    withVariant(whole, boundsOnly,
                [&]<bool W, bool B>() { sumRowsAvx2<W, B>(rowA, aStep, rowB, bStep, length, count, sums); });
}

void sumRowList(const std::uint8_t* const* rowsA, const std::uint8_t* const* rowsB, std::int64_t length, int count,
                RowSums& sums, bool whole = false, bool boundsOnly = false) {
    if (!useAvx2()) {
        for (int row = 0; row < count; ++row) sumRowsSse2(rowsA[row], 0, rowsB[row], 0, length, 1, sums);
        return;
    }
    withVariant(whole, boundsOnly, [&]<bool W, bool B>() { sumRowListAvx2<W, B>(rowsA, rowsB, length, count, sums); });
}

// Rows summed between two looks at the running total: about 512 pairs.
std::int64_t rowsPerLook(std::int64_t rowLength) {
    return std::max<std::int64_t>(1, 512 / std::max<std::int64_t>(rowLength, 1));
}

// The half penalty in units, or -1 when it is not a whole number of units.
// Read from the tunable at every call (a few instructions), so that a changed penalty takes
// effect at once.
long long halfPenaltyUnits() {
    const long double units = (long double)(0.5f * mismatchPenalty) * kUnit;
    if (!(units >= 0) || units > 0x1p62L) return -1;
    const long long whole = (long long)units;
    return (long double)whole == units ? whole : -1;
}

Units rowUnits(const RowSums& sums, std::uint64_t penalty) {
    Units quadratic;
    if constexpr (kSseBuild) {
        quadratic = (Units(sums.quadratic) << 31) + sums.fraction;
        if (sums.squares != 0) {
            // Each quadratic part q = (s*s rounded) * (1/255) rounded is at least
            // s*s * (1/255) * (1 - 2^-24)^2 > s*s * kInverse255Units * (1 - 2^-23) units.
            const Units exact = Units(sums.squares) * kInverse255Units;
            quadratic += exact - (exact >> 23) - 1;
        }
    } else {
        quadratic = Units(sums.quadratic) * kInverse255Units;
    }
    return quadratic + (Units(sums.s) << 31) + Units(sums.invalid) * penalty;
}

}   // namespace

DifferenceScan::DifferenceScan(const Image& a, const Image& b, const ScanOptions& options) {
    place(a, b, options.aInvalid);
    aWholeRows_ = options.aWholeRows;
    bWhole_ = options.bWhole;
    boundsOnly_ = options.boundsOnly && kBoundsOnlyDiffer;
    if (empty()) return;
    if (options.aRowOrder != nullptr) {
        order_ = options.aRowOrder;
        orderCount_ = a.height;
        orderSplit_ = orderedFirstRows(orderCount_);
        aRow_ = a.y0 >= b.y0 ? std::int64_t(a.y0) - b.y0 : 0;
        phases_ = 2;
    } else if (rows_ <= 32) {
        phases_ = rows_ >= 2 ? 2 : 1;   // short overlaps (blocks): even rows, then odd rows
    } else {
        while (phases_ < kMaxPhases && std::int64_t(phases_) * 8 <= rows_) phases_ *= 2;
    }
}

void DifferenceScan::place(const Image& a, const Image& b, InvalidRows aInvalid) {
    const Overlap o = overlapOf(a, b);
    const std::int64_t aCol = o.aColumn, bCol = o.bColumn, aRow = o.aRow, bRow = o.bRow;
    rowLength_ = o.length;
    rows_ = o.rows;
    bRow_ = bRow;
    aRowStart_ = aRow;
    aColumn_ = aCol;
    if (empty()) return;
    if (a.pixels != nullptr) a_ = pixelAt(a, std::int32_t(aCol), std::int32_t(aRow));
    b_ = pixelAt(b, std::int32_t(bCol), std::int32_t(bRow));
    aStride_ = std::size_t(a.width) * kBytesPerPixel;
    bStride_ = std::size_t(b.width) * kBytesPerPixel;
    aInvalidBase_ = aInvalid;
    if (aInvalid != nullptr) aInvalid_ = aInvalid + aRow;
}

bool DifferenceScan::addOrdered(std::int64_t from, std::int64_t to, DifferenceUnits& total,
                                DifferenceUnits threshold) const {
    // Rows are summed in groups of about 320 pairs between two looks at the total.
    const long long penalty = halfPenaltyUnits();
    constexpr int kMostRows = 8;
    const int group = int(std::clamp<std::int64_t>((320 + rowLength_ - 1) / rowLength_, 1, kMostRows));
    const std::uint8_t* rowsA[kMostRows];
    const std::uint8_t* rowsB[kMostRows];
    int pending = 0;
    bool whole = bWhole_ && aWholeRows_ != nullptr;   // every pixel of the pending rows valid
    auto flush = [&] {
        RowSums sums;
        sumRowList(rowsA, rowsB, rowLength_, pending, sums, whole, boundsOnly_);
        total += rowUnits(sums, std::uint64_t(penalty));
        pending = 0;
        whole = bWhole_ && aWholeRows_ != nullptr;
        return total < threshold;
    };
    for (std::int64_t k = from; k < to; ++k) {
        const std::int64_t r = order_[k] - aRow_;
        if (r < 0 || r >= rows_) continue;
        if (aInvalid_ != nullptr && aInvalid_[r] != 0) {
            total += Units(rowLength_) * std::uint64_t(penalty);
            if (total >= threshold) return false;
            continue;
        }
        rowsA[pending] = a_ + std::size_t(r) * aStride_;
        rowsB[pending] = b_ + std::size_t(r) * bStride_;
        whole = whole && aWholeRows_[r + aRowStart_] != 0;
        if (++pending == group && !flush()) return false;
    }
    return pending == 0 || flush();
}

DifferenceUnits DifferenceScan::threshold(float bound) const { return unitsThreshold(bound, pairs()); }

DifferenceUnits rowsUnits(const std::uint8_t* a, std::size_t aStep, const std::uint8_t* b, std::size_t bStep,
                          std::int64_t length, std::int64_t rows, bool whole, bool boundsOnly) {
    const long long penalty = halfPenaltyUnits();
    RowSums sums;
    sumRows(a, aStep, b, bStep, length, rows, sums, whole, boundsOnly);
    return rowUnits(sums, std::uint64_t(penalty));
}

namespace {

// windowUnits for one kernel variant, the loop over the windows around it.
template <bool AllValid, bool BoundsOnly>
__attribute__((target("avx2"))) void windowUnitsAvx2(const std::uint8_t* a, std::size_t aStep,
                                                     const std::uint8_t* const* windows, std::size_t bStep,
                                                     std::int64_t length, std::int64_t rows, std::int64_t count,
                                                     std::uint64_t penalty, DifferenceUnits* out) {
    for (std::int64_t i = 0; i < count; ++i) {
        RowSums sums;
        sumRowsAvx2<AllValid, BoundsOnly>(a, aStep, windows[i], bStep, length, rows, sums);
        out[i] = rowUnits(sums, penalty);
    }
}

// windowListUnits for one kernel variant.
template <bool AllValid, bool BoundsOnly>
__attribute__((target("avx2"))) void windowListUnitsAvx2(const std::uint8_t* const* aRows,
                                                         const std::size_t* bRowOffsets, int rowCount,
                                                         const std::uint8_t* const* windows, std::int64_t length,
                                                         std::int64_t count, std::uint64_t penalty,
                                                         DifferenceUnits* out) {
    constexpr int kMostRows = 8;
    const std::uint8_t* rowsB[kMostRows];
    for (std::int64_t i = 0; i < count; ++i) {
        RowSums sums;
        for (int first = 0; first < rowCount; first += kMostRows) {
            const int n = std::min(kMostRows, rowCount - first);
            for (int r = 0; r < n; ++r) rowsB[r] = windows[i] + bRowOffsets[first + r];
            sumRowListAvx2<AllValid, BoundsOnly>(aRows + first, rowsB, length, n, sums);
        }
        out[i] = rowUnits(sums, penalty);
    }
}

}   // namespace

void windowListUnits(const std::uint8_t* const* aRows, const std::size_t* bRowOffsets, int rowCount,
                     const std::uint8_t* const* windows, std::int64_t length, std::int64_t count, bool whole,
                     bool boundsOnly, DifferenceUnits* out) {
    const long long penalty = halfPenaltyUnits();
    const std::uint64_t p = std::uint64_t(penalty);
    if (!useAvx2()) {
        for (std::int64_t i = 0; i < count; ++i) {
            RowSums sums;
            for (int r = 0; r < rowCount; ++r)
                sumRows(aRows[r], 0, windows[i] + bRowOffsets[r], 0, length, 1, sums, whole, boundsOnly);
            out[i] = rowUnits(sums, p);
        }
        return;
    }
    withVariant(whole, boundsOnly, [&]<bool W, bool B>() {
        windowListUnitsAvx2<W, B>(aRows, bRowOffsets, rowCount, windows, length, count, p, out);
    });
}

void windowUnits(const std::uint8_t* a, std::size_t aStep, const std::uint8_t* const* windows, std::size_t bStep,
                 std::int64_t length, std::int64_t rows, std::int64_t count, bool whole, bool boundsOnly,
                 DifferenceUnits* out) {
    const long long penalty = halfPenaltyUnits();
    const std::uint64_t p = std::uint64_t(penalty);
    if (!useAvx2()) {
        for (std::int64_t i = 0; i < count; ++i)
            out[i] = rowsUnits(a, aStep, windows[i], bStep, length, rows, whole, boundsOnly);
        return;
    }
    withVariant(whole, boundsOnly, [&]<bool W, bool B>() {
        windowUnitsAvx2<W, B>(a, aStep, windows, bStep, length, rows, count, p, out);
    });
}

DifferenceUnits unitsThreshold(float bound, std::int64_t pairs) {
    // bound (24 bits) times the divisor imageDifference uses (a count below 2^28, or its
    // single-precision value) holds in 52 bits: the product is exact in double.
    const double divisor = double(Inter(std::int32_t(pairs)));
    const double units = double(bound) * divisor * 0x1p31;
    if (!(units < 0x1p100)) return ~Units(0);
    if (units < 0x1p63) return Units(std::uint64_t(std::ceil(units)));
    Units result = Units((long double)std::ceil(units));
    // Past 2^64 units the sequential sum rounds: keep a margin far above its error.
    if (result >= (Units(1) << 64)) result += result >> 30;
    return result;
}

bool DifferenceScan::addRow(std::int64_t r, DifferenceUnits& total, DifferenceUnits threshold) const {
    const long long penalty = halfPenaltyUnits();
    if (aInvalid_ != nullptr && aInvalid_[r] != 0) {
        total += Units(rowLength_) * std::uint64_t(penalty);
    } else {
        RowSums sums;
        sumRows(a_ + std::size_t(r) * aStride_, 0, b_ + std::size_t(r) * bStride_, 0, rowLength_, 1, sums, false,
                boundsOnly_);
        total += rowUnits(sums, std::uint64_t(penalty));
    }
    return total < threshold;
}

bool DifferenceScan::addRowFrom(std::int64_t r, const std::uint8_t* aRow, DifferenceUnits& total,
                                DifferenceUnits threshold) const {
    const long long penalty = halfPenaltyUnits();
    if (aInvalid_ != nullptr && aInvalid_[r] != 0) {
        total += Units(rowLength_) * std::uint64_t(penalty);
    } else {
        RowSums sums;
        sumRows(aRow + std::size_t(aColumn_) * kBytesPerPixel, 0, b_ + std::size_t(r) * bStride_, 0, rowLength_, 1,
                sums, false, boundsOnly_);
        total += rowUnits(sums, std::uint64_t(penalty));
    }
    return total < threshold;
}

bool DifferenceScan::addPhase(int p, DifferenceUnits& total, DifferenceUnits threshold) const {
    const long long penalty = halfPenaltyUnits();
    if (order_ != nullptr)
        return p == 0 ? addOrdered(0, orderSplit_, total, threshold)
                      : addOrdered(orderSplit_, orderCount_, total, threshold);
    if (aInvalid_ != nullptr) {   // rows known to be invalid cost nothing to read
        for (std::int64_t r = phaseStart(p, phases_); r < rows_; r += phases_)
            if (!addRow(r, total, threshold)) return false;
        return true;
    }
    // Looks at the total after about 64 pairs, then after groups doubling up to about 512.
    const std::int64_t largest = rowsPerLook(rowLength_);
    std::int64_t group = std::min(largest, std::max<std::int64_t>(1, 64 / std::max<std::int64_t>(rowLength_, 1)));
    for (std::int64_t r = phaseStart(p, phases_); r < rows_;
         r += phases_ * group, group = std::min(largest, 2 * group)) {
        const std::int64_t count = std::min(group, (rows_ - 1 - r) / phases_ + 1);
        RowSums sums;
        sumRows(a_ + std::size_t(r) * aStride_, aStride_ * phases_, b_ + std::size_t(r) * bStride_, bStride_ * phases_,
                rowLength_, count, sums, false, boundsOnly_);
        total += rowUnits(sums, std::uint64_t(penalty));
        if (total >= threshold) return false;
    }
    return true;
}

bool DifferenceScan::addPhasesFrom(int p, DifferenceUnits& total, DifferenceUnits threshold) const {
    for (; p < phases_; ++p)
        if (!addPhase(p, total, threshold)) return false;
    return true;
}

void DifferenceScan::singleRange(DifferenceUnits low, DifferenceUnits high, float& lowest, float& highest) const {
    if (empty()) {
        lowest = highest = kEmptyOverlapScore;
        return;
    }
    auto rounded = [&](Units units) {
        return float(std::ldexp((long double)units, -31) / Inter(std::int32_t(pairs())));
    };
    // The sequential extended sum of imageDifference rounds once it passes 2^64 units; each of
    // its at most 2 * pairs additions moves it by less than one unit in the last place of
    // twice the exact sum. Below 2^64 units it is exact.
    Units error = 0;
    if (high >= (Units(1) << 64)) {
        int bits = 0;
        for (Units t = high; t != 0; t >>= 1) ++bits;
        error = Units(2 * pairs()) << (bits + 1 - 64);
    }
    lowest = rounded(low > error ? low - error : 0);
    highest = rounded(high + error);
}

bool DifferenceScan::singleFromUnits(DifferenceUnits total, float& result) const {
    float high;
    singleRange(total, total, result, high);
    return result == high;
}

float DifferenceScan::singleValue(DifferenceUnits total, const Image& a, const Image& b) const {
    float result;
    if (singleFromUnits(total, result)) return result;
    return float(imageDifferenceSkipping(a, b, aInvalidBase_));
}

Extended DifferenceScan::value(DifferenceUnits total, const Image& a, const Image& b) const {
    if (empty()) return Extended(kEmptyOverlapScore);
    // Past 2^64 units the sequential sum rounds: take it as imageDifference does.
    if (total >= (Units(1) << 64)) return imageDifferenceSkipping(a, b, aInvalidBase_);
    return std::ldexp((long double)(std::uint64_t)total, -31) / Inter(std::int32_t(pairs()));
}

bool wholeRows(const Image& im, std::int32_t firstRow, std::int32_t rowCount, std::int32_t rowStep) {
    const __m128i validity = _mm_set1_epi32(std::int32_t(0xFF000000u));
    for (std::int32_t k = 0; k < rowCount; ++k) {
        const std::uint8_t* p = pixelAt(im, 0, firstRow + k * rowStep);
        std::int32_t x = 0;
        __m128i empty = _mm_setzero_si128();   // lanes of a pixel whose validity byte is 0
        for (; x + 4 <= im.width; x += 4, p += 4 * kBytesPerPixel) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
            empty = _mm_or_si128(empty, _mm_cmpeq_epi32(_mm_and_si128(v, validity), _mm_setzero_si128()));
        }
        if (_mm_movemask_epi8(empty) != 0) return false;
        for (; x < im.width; ++x, p += kBytesPerPixel)
            if (p[3] == 0) return false;
    }
    return true;
}

bool exactUnitsAvailable() { return halfPenaltyUnits() >= 0; }

BoundedDifference boundedImageDifference(const Image& a, const Image& b, float bound, InvalidRows aInvalid) {
    BoundedDifference result;
    if (halfPenaltyUnits() < 0) {   // a penalty off the grid of units: only the plain sum is exact
        result.value = imageDifferenceSkipping(a, b, aInvalid);
        result.pruned = !(result.value < bound);
        return result;
    }
    const DifferenceScan scan(a, b, {.aInvalid = aInvalid});
    if (scan.empty()) {
        result.value = Extended(kEmptyOverlapScore);
        result.pruned = !(result.value < bound);
        return result;
    }
    Units total = 0;
    if (!scan.addPhasesFrom(0, total, scan.threshold(bound))) {
        result.pruned = true;
        return result;
    }
    result.value = scan.value(total, a, b);
    return result;
}
