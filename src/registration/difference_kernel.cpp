#include "registration/difference_kernel.h"

#include <emmintrin.h>

#include <algorithm>
#include <cmath>
#include <limits>

#include "driver/run_settings.h"
#include "registration/image_difference.h"

namespace {

using Units = unsigned __int128;   // multiples of 2^-31

constexpr long double kUnit = 0x1p31L;
constexpr std::uint64_t kInverse255Units = 8421505;   // kInverse255 = 8421505 * 2^-31
static_assert(Extended(kInverse255) * kUnit == 8421505.0L);

struct Overlap {
    const std::uint8_t* a = nullptr;
    const std::uint8_t* b = nullptr;
    std::size_t aStride = 0, bStride = 0;
    std::int64_t rowLength = 0, rows = 0;
    bool empty() const { return rowLength <= 0 || rows <= 0; }
};

Overlap findOverlap(const Image& a, const Image& b) {
    Overlap o;
    std::int64_t aCol = 0, bCol = 0, aRow = 0, bRow = 0;
    if (a.x0 >= b.x0) aCol = std::int64_t(a.x0) - b.x0; else bCol = std::int64_t(b.x0) - a.x0;
    if (a.y0 >= b.y0) aRow = std::int64_t(a.y0) - b.y0; else bRow = std::int64_t(b.y0) - a.y0;
    o.rowLength = std::min(a.width - aCol, b.width - bCol);
    o.rows = std::min(a.height - aRow, b.height - bRow);
    if (o.empty()) return o;
    o.a = pixelAt(a, std::int32_t(aCol), std::int32_t(aRow));
    o.b = pixelAt(b, std::int32_t(bCol), std::int32_t(bRow));
    o.aStride = std::size_t(a.width) * kBytesPerPixel;
    o.bStride = std::size_t(b.width) * kBytesPerPixel;
    return o;
}

// Exact sums of one row: in the extended program the quadratic parts add up to
// kInverse255Units * sum(s*s) units; in the SSE program each one is rounded first, and is
// carried as its whole part and its fraction in units.
struct RowSums {
    std::uint64_t invalid = 0;
    std::uint64_t s = 0;
    std::uint64_t quadratic = 0;   // extended: sum of s*s; SSE: sum of the whole parts
    std::uint64_t fraction = 0;    // SSE: sum of the fractional parts, in units
};

inline std::int32_t pixelTerm(const std::uint8_t* pa, const std::uint8_t* pb) {
    const std::int32_t d0 = pa[0] - pb[0], d1 = pa[1] - pb[1], d2 = pa[2] - pb[2];
    return d0 * d0 + 4 * (d1 * d1 + d2 * d2);
}

inline void addQuadratic(RowSums& sums, std::int32_t s) {
    if constexpr (kSseBuild) {
        const float q = float(s) * float(s) * kInverse255;
        const std::int32_t whole = std::int32_t(q);
        sums.quadratic += std::uint32_t(whole);
        sums.fraction += std::uint32_t(std::int32_t((q - float(whole)) * 0x1p31f));
    } else {
        sums.quadratic += std::uint64_t(s) * std::uint64_t(s);
    }
}

void sumRow(const std::uint8_t* pa, const std::uint8_t* pb, std::int64_t length, RowSums& sums) {
    const __m128i zero = _mm_setzero_si128();
    const __m128i weights = _mm_setr_epi16(1, 4, 4, 0, 1, 4, 4, 0);
    const __m128i validityBytes = _mm_set1_epi32(std::int32_t(0xFF000000u));
    __m128i invalid = zero, sumS = zero, sumQ = zero, sumF = zero;
    std::int64_t x = 0;
    for (; x + 4 <= length; x += 4, pa += 16, pb += 16) {
        const __m128i va = _mm_loadu_si128(reinterpret_cast<const __m128i*>(pa));
        const __m128i vb = _mm_loadu_si128(reinterpret_cast<const __m128i*>(pb));
        const __m128i dLow = _mm_sub_epi16(_mm_unpacklo_epi8(va, zero), _mm_unpacklo_epi8(vb, zero));
        const __m128i dHigh = _mm_sub_epi16(_mm_unpackhi_epi8(va, zero), _mm_unpackhi_epi8(vb, zero));
        const __m128i mLow = _mm_madd_epi16(dLow, _mm_mullo_epi16(dLow, weights));
        const __m128i mHigh = _mm_madd_epi16(dHigh, _mm_mullo_epi16(dHigh, weights));
        const __m128 evens = _mm_shuffle_ps(_mm_castsi128_ps(mLow), _mm_castsi128_ps(mHigh), _MM_SHUFFLE(2, 0, 2, 0));
        const __m128 odds = _mm_shuffle_ps(_mm_castsi128_ps(mLow), _mm_castsi128_ps(mHigh), _MM_SHUFFLE(3, 1, 3, 1));
        __m128i s = _mm_add_epi32(_mm_castps_si128(evens), _mm_castps_si128(odds));
        const __m128i bad = _mm_or_si128(_mm_cmpeq_epi32(_mm_and_si128(va, validityBytes), zero),
                                         _mm_cmpeq_epi32(_mm_and_si128(vb, validityBytes), zero));
        s = _mm_andnot_si128(bad, s);
        invalid = _mm_sub_epi32(invalid, bad);
        sumS = _mm_add_epi64(sumS, _mm_add_epi64(_mm_unpacklo_epi32(s, zero), _mm_unpackhi_epi32(s, zero)));
        if constexpr (kSseBuild) {
            const __m128 sf = _mm_cvtepi32_ps(s);
            const __m128 q = _mm_mul_ps(_mm_mul_ps(sf, sf), _mm_set1_ps(kInverse255));
            const __m128i whole = _mm_cvttps_epi32(q);
            const __m128i fraction =
                _mm_cvttps_epi32(_mm_mul_ps(_mm_sub_ps(q, _mm_cvtepi32_ps(whole)), _mm_set1_ps(0x1p31f)));
            sumQ = _mm_add_epi64(sumQ, _mm_add_epi64(_mm_unpacklo_epi32(whole, zero), _mm_unpackhi_epi32(whole, zero)));
            sumF = _mm_add_epi64(sumF,
                                 _mm_add_epi64(_mm_unpacklo_epi32(fraction, zero), _mm_unpackhi_epi32(fraction, zero)));
        } else {
            sumQ = _mm_add_epi64(sumQ, _mm_add_epi64(_mm_mul_epu32(s, s),
                                                     _mm_mul_epu32(_mm_srli_epi64(s, 32), _mm_srli_epi64(s, 32))));
        }
    }
    alignas(16) std::uint64_t lanes[2];
    alignas(16) std::uint32_t counts[4];
    _mm_store_si128(reinterpret_cast<__m128i*>(counts), invalid);
    sums.invalid += std::uint64_t(counts[0]) + counts[1] + counts[2] + counts[3];
    _mm_store_si128(reinterpret_cast<__m128i*>(lanes), sumS);
    sums.s += lanes[0] + lanes[1];
    _mm_store_si128(reinterpret_cast<__m128i*>(lanes), sumQ);
    sums.quadratic += lanes[0] + lanes[1];
    _mm_store_si128(reinterpret_cast<__m128i*>(lanes), sumF);
    sums.fraction += lanes[0] + lanes[1];
    for (; x < length; ++x, pa += kBytesPerPixel, pb += kBytesPerPixel) {
        if (pa[3] == 0 || pb[3] == 0) {
            ++sums.invalid;
            continue;
        }
        const std::int32_t s = pixelTerm(pa, pb);
        sums.s += std::uint32_t(s);
        addQuadratic(sums, s);
    }
}

// The half penalty in units, or -1 when it is not a whole number of units.
long long halfPenaltyUnits() {
    const long double units = (long double)(0.5f * mismatchPenalty) * kUnit;
    if (!(units >= 0) || units != std::floor(units) || units > 0x1p62L) return -1;
    return (long long)units;
}

// Units reached by the sum of an overlap whose mean is at least bound, or max for none.
Units pruneThreshold(float bound, std::int64_t n) {
    const long double divisor = Inter(std::int32_t(n));   // the divisor imageDifference uses
    const long double threshold = (long double)bound * divisor * kUnit;
    if (!(threshold < 0x1p100L)) return ~Units(0);
    Units units = Units(std::ceil(threshold));
    // Past 2^64 units the sequential sum rounds; keep a margin far above its error.
    if (units >= (Units(1) << 64)) units += units >> 30;
    return units;
}

}  // namespace

Extended plainImageDifference(const Image& a, const Image& b) { return imageDifference(a, b); }

BoundedDifference boundedImageDifference(const Image& a, const Image& b, float bound) {
    BoundedDifference result;
    const Overlap o = findOverlap(a, b);
    if (o.empty()) {
        result.value = Extended(kEmptyOverlapScore);
        result.pruned = !(result.value < bound);
        return result;
    }
    const long long penalty = halfPenaltyUnits();
    if (penalty < 0) {
        result.value = imageDifference(a, b);
        return result;
    }
    const std::int64_t n = o.rows * o.rowLength;
    const Units threshold = pruneThreshold(bound, n);
    Units total = 0;
    const std::uint8_t* pa = o.a;
    const std::uint8_t* pb = o.b;
    for (std::int64_t r = 0; r < o.rows; ++r, pa += o.aStride, pb += o.bStride) {
        RowSums sums;
        sumRow(pa, pb, o.rowLength, sums);
        Units quadratic;
        if constexpr (kSseBuild) {
            quadratic = (Units(sums.quadratic) << 31) + sums.fraction;
        } else {
            quadratic = Units(sums.quadratic) * kInverse255Units;
        }
        total += quadratic + (Units(sums.s) << 31) + Units(sums.invalid) * std::uint64_t(penalty);
        if (total >= threshold) {
            result.pruned = true;
            return result;
        }
    }
    if (total >= (Units(1) << 64)) {
        result.value = imageDifference(a, b);   // the sequential sum rounds: recompute it as such
        return result;
    }
    result.value = std::ldexp((long double)(std::uint64_t)total, -31) / Inter(std::int32_t(n));
    return result;
}
