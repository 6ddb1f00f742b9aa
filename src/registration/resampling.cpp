#include "registration/resampling.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <cstdlib>

#include <immintrin.h>

#include <vector>

#include "common/cpu.h"
#include "common/parallel.h"

void interpolateFast(const std::uint8_t* src, std::int32_t width, std::int32_t height, float sx, float sy,
                     std::uint8_t* out) {
    const std::int32_t ix = std::int32_t(sx), iy = std::int32_t(sy);
    if (!(ix >= 0 && ix < width - 1 && iy >= 0 && iy < height - 1)) {
        samplePixel(src, width, height, ix, iy, sx - float(ix), sy - float(iy), out);
        return;
    }
    const float fx = sx - float(ix), fy = sy - float(iy);
    const std::size_t stride = std::size_t(width) * kBytesPerPixel;
    const std::uint8_t* p00 = src + std::size_t(iy) * stride + std::size_t(ix) * kBytesPerPixel;
    if (fx == 0 && fy == 0) {   // weights 1, 0, 0, 0: the sum is p00 exactly, in any precision
        std::memcpy(out, p00, kBytesPerPixel);
        return;
    }
    const std::uint8_t* p01 = p00 + stride;
    const __m128i zero = _mm_setzero_si128();
    auto widen = [&zero](const std::uint8_t* p) {   // four bytes as four 32-bit integers
        std::int32_t word;
        std::memcpy(&word, p, 4);
        return _mm_unpacklo_epi16(_mm_unpacklo_epi8(_mm_cvtsi32_si128(word), zero), zero);
    };
    __m128i v;
    if constexpr (kSseBuild) {
        const __m128 gx = _mm_set1_ps(1.0f - fx), gy = _mm_set1_ps(1.0f - fy);
        const __m128 vfx = _mm_set1_ps(fx), vfy = _mm_set1_ps(fy);
        const __m128 sum = _mm_add_ps(
            _mm_add_ps(_mm_add_ps(_mm_mul_ps(_mm_mul_ps(_mm_cvtepi32_ps(widen(p00)), gx), gy),
                                  _mm_mul_ps(_mm_mul_ps(_mm_cvtepi32_ps(widen(p00 + kBytesPerPixel)), vfx), gy)),
                       _mm_mul_ps(_mm_mul_ps(_mm_cvtepi32_ps(widen(p01)), gx), vfy)),
            _mm_mul_ps(_mm_mul_ps(_mm_cvtepi32_ps(widen(p01 + kBytesPerPixel)), vfx), vfy));
        v = _mm_cvttps_epi32(sum);
    } else {
        const float ax = fx * 0x1p21f, ay = fy * 0x1p21f;   // exact scalings
        if (ax != float(std::int32_t(ax)) || ay != float(std::int32_t(ay))) {
            std::int32_t a, b;
            if (onFractionGrid(fx, a) && onFractionGrid(fy, b)) {
                bilinearFromGrid(p00, p00 + kBytesPerPixel, p01, p01 + kBytesPerPixel, a, b, fx, fy, out);
            } else {
                samplePixel(src, width, height, ix, iy, fx, fy, out);
            }
            return;
        }
        const __m128d a = _mm_set1_pd(ax), ga = _mm_set1_pd(0x1p21 - double(ax));
        const __m128d b = _mm_set1_pd(ay), gb = _mm_set1_pd(0x1p21 - double(ay)), scale = _mm_set1_pd(0x1p-42);
        const __m128i w00 = widen(p00), w10 = widen(p00 + kBytesPerPixel), w01 = widen(p01),
                      w11 = widen(p01 + kBytesPerPixel);
        auto half = [&](__m128i q00, __m128i q10, __m128i q01, __m128i q11) {
            const __m128d top = _mm_add_pd(_mm_mul_pd(_mm_cvtepi32_pd(q00), ga), _mm_mul_pd(_mm_cvtepi32_pd(q10), a));
            const __m128d bottom =
                _mm_add_pd(_mm_mul_pd(_mm_cvtepi32_pd(q01), ga), _mm_mul_pd(_mm_cvtepi32_pd(q11), a));
            return _mm_cvttpd_epi32(_mm_mul_pd(_mm_add_pd(_mm_mul_pd(top, gb), _mm_mul_pd(bottom, b)), scale));
        };
        const __m128i low = half(w00, w10, w01, w11);
        const __m128i high =
            half(_mm_srli_si128(w00, 8), _mm_srli_si128(w10, 8), _mm_srli_si128(w01, 8), _mm_srli_si128(w11, 8));
        v = _mm_unpacklo_epi64(low, high);
    }
    v = _mm_and_si128(v, _mm_set1_epi32(0xFF));   // low 8 bits of each value
    v = _mm_packus_epi16(_mm_packs_epi32(v, v), v);
    const std::int32_t packed = _mm_cvtsi128_si32(v);
    std::memcpy(out, &packed, kBytesPerPixel);
}

namespace {

[[maybe_unused]] __attribute__((target("avx2"))) inline __m256d widen(
    const std::uint8_t* p) {   // four bytes as doubles
    std::int32_t word;
    std::memcpy(&word, p, 4);
    return _mm256_cvtepi32_pd(_mm_cvtepu8_epi32(_mm_cvtsi32_si128(word)));
}

[[maybe_unused]] __attribute__((target("avx2"))) inline __m128 widenFloat(
    const std::uint8_t* p) {   // four bytes as floats
    std::int32_t word;
    std::memcpy(&word, p, 4);
    return _mm_cvtepi32_ps(_mm_cvtepu8_epi32(_mm_cvtsi32_si128(word)));
}

// Byte C of each 32-bit lane.
template <int C>
__attribute__((target("avx2"))) inline __m256i byteAt(__m256i q) {
    if constexpr (C == 0) return _mm256_and_si256(q, _mm256_set1_epi32(0xFF));
    if constexpr (C == 3) return _mm256_srli_epi32(q, 24);
    const __m256i pick = _mm256_setr_epi8(C, -1, -1, -1, C + 4, -1, -1, -1, C + 8, -1, -1, -1, C + 12, -1, -1, -1, C,
                                          -1, -1, -1, C + 4, -1, -1, -1, C + 8, -1, -1, -1, C + 12, -1, -1, -1);
    return _mm256_shuffle_epi8(q, pick);
}

// Byte C of each 32-bit lane, as float.
template <int C>
__attribute__((target("avx2"))) inline __m256 byteAsFloat(__m256i q) {
    return _mm256_cvtepi32_ps(byteAt<C>(q));
}

// The extended program's bilinear value of byte C of eight pixels, exact for fractions on the
// 2^-21 grid (a and b their numerators, bOdd b's odd lanes), in byte C of each lane.
template <int C>
__attribute__((target("avx2"))) inline __m256i exactChannel(__m256i q00, __m256i q10, __m256i q01, __m256i q11,
                                                            __m256i a, __m256i b, __m256i bOdd) {
    const __m256i lowHalf = _mm256_set1_epi64x(0xFFFFFFFF);
    const __m256i c00 = byteAt<C>(q00), c01 = byteAt<C>(q01);
    // p00 (2^21 - a) + p10 a and the same below, exact in 32 bits (below 2^29).
    const __m256i top =
        _mm256_add_epi32(_mm256_slli_epi32(c00, 21), _mm256_mullo_epi32(_mm256_sub_epi32(byteAt<C>(q10), c00), a));
    const __m256i bottom =
        _mm256_add_epi32(_mm256_slli_epi32(c01, 21), _mm256_mullo_epi32(_mm256_sub_epi32(byteAt<C>(q11), c01), a));
    // top 2^21 + (bottom - top) b = top (2^21 - b) + bottom b, below 2^50 and not negative:
    // its whole part after 42 bits, in 64-bit lanes, even lanes then odd.
    const __m256i d = _mm256_sub_epi32(bottom, top);
    const __m256i even = _mm256_srli_epi64(
        _mm256_add_epi64(_mm256_slli_epi64(_mm256_and_si256(top, lowHalf), 21), _mm256_mul_epi32(d, b)), 42);
    const __m256i odd = _mm256_srli_epi64(_mm256_add_epi64(_mm256_slli_epi64(_mm256_srli_epi64(top, 32), 21),
                                                           _mm256_mul_epi32(_mm256_srli_epi64(d, 32), bOdd)),
                                          42);
    return _mm256_slli_epi32(_mm256_or_si256(even, _mm256_slli_epi64(odd, 32)), 8 * C);
}

// The SSE program's bilinear value of byte C of eight pixels from their four neighbours:
// the four products summed in the plain order, in single precision, truncated, low 8 bits.
template <int C>
__attribute__((target("avx2"))) inline __m256i bilinearChannel(__m256i q00, __m256i q10, __m256i q01, __m256i q11,
                                                               __m256 fx, __m256 fy, __m256 gx, __m256 gy) {
    const __m256 sum =
        _mm256_add_ps(_mm256_add_ps(_mm256_add_ps(_mm256_mul_ps(_mm256_mul_ps(byteAsFloat<C>(q00), gx), gy),
                                                  _mm256_mul_ps(_mm256_mul_ps(byteAsFloat<C>(q10), fx), gy)),
                                    _mm256_mul_ps(_mm256_mul_ps(byteAsFloat<C>(q01), gx), fy)),
                      _mm256_mul_ps(_mm256_mul_ps(byteAsFloat<C>(q11), fx), fy));
    return _mm256_and_si256(_mm256_cvttps_epi32(sum), _mm256_set1_epi32(0xFF));
}

// interpolateRow eight pixels at a time. The pixels are classified together: integer parts,
// fractions, whether the pixel takes the bilinear branch and (extended program) whether its
// fractions lie on the 2^-21 grid. The four neighbours of those pixels are gathered and each
// byte is computed for the eight at once: in the extended program exactly (the horizontal
// sums in integers, below 2^30; the vertical sum in doubles, below 2^53, see
// interpolateFast), in the SSE program with the very same single-precision operations in
// the same order. Every other pixel goes through interpolateFast.
__attribute__((target("avx2"))) void interpolateRowAvx2(const std::uint8_t* src, std::int32_t width,
                                                        std::int32_t height, const float* sxs, const float* sys,
                                                        std::int32_t count, std::uint8_t* out) {
    const std::size_t stride = std::size_t(width) * kBytesPerPixel;
    const __m256i lastColumn = _mm256_set1_epi32(width - 1), lastRow = _mm256_set1_epi32(height - 1);
    const __m256i minusOne = _mm256_set1_epi32(-1), rowStride = _mm256_set1_epi32(width);
    const int* p00s = reinterpret_cast<const int*>(src);
    const int* p10s = reinterpret_cast<const int*>(src + kBytesPerPixel);
    const int* p01s = reinterpret_cast<const int*>(src + stride);
    const int* p11s = reinterpret_cast<const int*>(src + stride + kBytesPerPixel);
    std::int32_t i = 0;
    for (; i + 8 <= count; i += 8, out += 8 * kBytesPerPixel) {
        const __m256 sx = _mm256_loadu_ps(sxs + i), sy = _mm256_loadu_ps(sys + i);
        const __m256i ix = _mm256_cvttps_epi32(sx), iy = _mm256_cvttps_epi32(sy);
        const __m256 fx = _mm256_sub_ps(sx, _mm256_cvtepi32_ps(ix)), fy = _mm256_sub_ps(sy, _mm256_cvtepi32_ps(iy));
        __m256i ok = _mm256_and_si256(_mm256_cmpgt_epi32(ix, minusOne), _mm256_cmpgt_epi32(lastColumn, ix));
        ok = _mm256_and_si256(ok, _mm256_and_si256(_mm256_cmpgt_epi32(iy, minusOne), _mm256_cmpgt_epi32(lastRow, iy)));
        __m256 ax, ay;
        if constexpr (!kSseBuild) {
            ax = _mm256_mul_ps(fx, _mm256_set1_ps(0x1p21f));
            ay = _mm256_mul_ps(fy, _mm256_set1_ps(0x1p21f));
            const __m256 onGrid =
                _mm256_and_ps(_mm256_cmp_ps(ax, _mm256_cvtepi32_ps(_mm256_cvttps_epi32(ax)), _CMP_EQ_OQ),
                              _mm256_cmp_ps(ay, _mm256_cvtepi32_ps(_mm256_cvttps_epi32(ay)), _CMP_EQ_OQ));
            // Negative fractions (positions in (-1, 0)) extrapolate: those go the slow way.
            const __m256 notNegative = _mm256_and_ps(_mm256_cmp_ps(ax, _mm256_setzero_ps(), _CMP_GE_OQ),
                                                     _mm256_cmp_ps(ay, _mm256_setzero_ps(), _CMP_GE_OQ));
            ok = _mm256_and_si256(ok, _mm256_castps_si256(_mm256_and_ps(onGrid, notNegative)));
        }
        const int fast = _mm256_movemask_ps(_mm256_castsi256_ps(ok));
        // Pixels outside the source are four zero bytes, as the gathers below leave them.
        const __m256i inside = _mm256_and_si256(
            _mm256_and_si256(_mm256_cmpgt_epi32(ix, minusOne), _mm256_cmpgt_epi32(rowStride, ix)),
            _mm256_and_si256(_mm256_cmpgt_epi32(iy, minusOne), _mm256_cmpgt_epi32(_mm256_set1_epi32(height), iy)));
        const int slow = _mm256_movemask_ps(_mm256_castsi256_ps(inside)) & ~fast;
        if (fast == 0) {
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), _mm256_setzero_si256());
            for (int k = 0; k < 8; ++k)
                if ((slow >> k & 1) != 0)
                    interpolateFast(src, width, height, sxs[i + k], sys[i + k], out + k * kBytesPerPixel);
            continue;
        }
        // Pixels outside the fast class read nothing here.
        const __m256i index = _mm256_and_si256(ok, _mm256_add_epi32(_mm256_mullo_epi32(iy, rowStride), ix));
        const __m256i zero = _mm256_setzero_si256();
        const __m256i q00 = _mm256_mask_i32gather_epi32(zero, p00s, index, ok, 4);
        const __m256i q10 = _mm256_mask_i32gather_epi32(zero, p10s, index, ok, 4);
        const __m256i q01 = _mm256_mask_i32gather_epi32(zero, p01s, index, ok, 4);
        const __m256i q11 = _mm256_mask_i32gather_epi32(zero, p11s, index, ok, 4);
        __m256i result = zero;
        if constexpr (kSseBuild) {
            const __m256 one = _mm256_set1_ps(1.0f);
            const __m256 gx = _mm256_sub_ps(one, fx), gy = _mm256_sub_ps(one, fy);
            const __m256i c0 = bilinearChannel<0>(q00, q10, q01, q11, fx, fy, gx, gy);
            const __m256i c1 = bilinearChannel<1>(q00, q10, q01, q11, fx, fy, gx, gy);
            const __m256i c2 = bilinearChannel<2>(q00, q10, q01, q11, fx, fy, gx, gy);
            const __m256i c3 = bilinearChannel<3>(q00, q10, q01, q11, fx, fy, gx, gy);
            result = _mm256_or_si256(_mm256_or_si256(c0, _mm256_slli_epi32(c1, 8)),
                                     _mm256_or_si256(_mm256_slli_epi32(c2, 16), _mm256_slli_epi32(c3, 24)));
        } else {
            const __m256i a = _mm256_cvttps_epi32(ax), b = _mm256_cvttps_epi32(ay);
            const __m256i bOdd = _mm256_srli_epi64(b, 32);
            // Four validity bytes of 255 give 255 whatever the weights (they sum to 2^42).
            const __m256i allValid = _mm256_and_si256(_mm256_and_si256(q00, q10), _mm256_and_si256(q01, q11));
            const bool validFull =
                _mm256_movemask_epi8(_mm256_cmpeq_epi32(_mm256_or_si256(allValid, _mm256_set1_epi32(0x00FFFFFF)),
                                                        _mm256_set1_epi32(-1))) == -1;
            const int channels = validFull ? kBytesPerPixel - 1 : kBytesPerPixel;
            if (validFull) result = _mm256_set1_epi32(std::int32_t(0xFF000000u));
            result = _mm256_or_si256(result, _mm256_or_si256(exactChannel<0>(q00, q10, q01, q11, a, b, bOdd),
                                                             exactChannel<1>(q00, q10, q01, q11, a, b, bOdd)));
            result = _mm256_or_si256(result, exactChannel<2>(q00, q10, q01, q11, a, b, bOdd));
            if (channels == kBytesPerPixel)
                result = _mm256_or_si256(result, exactChannel<3>(q00, q10, q01, q11, a, b, bOdd));
        }
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), result);
        if (slow != 0) {
            for (int k = 0; k < 8; ++k)
                if ((slow >> k & 1) != 0)
                    interpolateFast(src, width, height, sxs[i + k], sys[i + k], out + k * kBytesPerPixel);
        }
    }
    for (; i < count; ++i, out += kBytesPerPixel) interpolateFast(src, width, height, sxs[i], sys[i], out);
}

void interpolateRowPlain(const std::uint8_t* src, std::int32_t width, std::int32_t height, const float* sx,
                         const float* sy, std::int32_t count, std::uint8_t* out) {
    for (std::int32_t i = 0; i < count; ++i, out += kBytesPerPixel)
        interpolateFast(src, width, height, sx[i], sy[i], out);
}

}   // namespace

void interpolateRow(const std::uint8_t* src, std::int32_t width, std::int32_t height, const float* sx, const float* sy,
                    std::int32_t count, std::uint8_t* out) {
    if (useAvx2())
        interpolateRowAvx2(src, width, height, sx, sy, count, out);
    else
        interpolateRowPlain(src, width, height, sx, sy, count, out);
}

Image scaledCopy(const Image& source, float factor) {
    Image out;
    out.width = std::int32_t(Inter(source.width) * factor);
    out.height = std::int32_t(Inter(source.height) * factor);
    out.x0 = std::int32_t(Inter(source.x0) * factor);
    out.y0 = std::int32_t(Inter(source.y0) * factor);
    out.pixels = allocatePixels(out.width, out.height);
    const Inter inverse = Inter(1) / factor;
    // Each pixel depends on its position alone: a row at a time.
    std::vector<float> sx(std::size_t(std::max(out.width, 0))), sy(sx.size());
    for (std::int32_t x = 0; x < out.width; ++x) sx[std::size_t(x)] = float(Inter(x) * inverse);
    for (std::int32_t y = 0; y < out.height; ++y) {
        std::fill(sy.begin(), sy.end(), float(Inter(y) * inverse));
        interpolateRow(source.pixels, source.width, source.height, sx.data(), sy.data(), out.width, pixelAt(out, 0, y));
    }
    return out;
}

namespace {

// Nearest-neighbour copy of source pixel (x, y), or an invalid pixel outside the source.
inline void copyNearest(const Image& source, std::int32_t x, std::int32_t y, std::uint8_t* px) {
    if (std::uint32_t(x) < std::uint32_t(source.width) && std::uint32_t(y) < std::uint32_t(source.height)) {
        std::memcpy(px, pixelAt(source, x, y), kBytesPerPixel);
    } else {
        std::memset(px, 0, kBytesPerPixel);
    }
}

// Truncation toward zero of value * 2^-shift.
[[maybe_unused]] inline std::int32_t truncateScaled(std::int64_t value, int shift) {
    return value >= 0 ? std::int32_t(value >> shift) : -std::int32_t((-value) >> shift);
}

// The pixels at (trunc(sx * 2^-k), trunc(sy * 2^-k)), the positions moving by (c, s) from
// one to the next, four at a time while whole groups of four remain; all of them lie in the
// source (sx, sy > -2^k). Returns the number written.
__attribute__((target("avx2"))) std::int32_t gatherRunExtended(const std::uint8_t* base, std::int32_t width,
                                                               std::int64_t sx, std::int64_t sy, std::int64_t c,
                                                               std::int64_t s, int k, std::int32_t count,
                                                               std::uint8_t* out) {
    const __m256i zero = _mm256_setzero_si256();
    const __m128i shift = _mm_cvtsi32_si128(k);
    const __m256i stride = _mm256_set1_epi64x(width);
    __m256i vx = _mm256_setr_epi64x(sx, sx + c, sx + 2 * c, sx + 3 * c);
    __m256i vy = _mm256_setr_epi64x(sy, sy + s, sy + 2 * s, sy + 3 * s);
    const __m256i stepX = _mm256_set1_epi64x(4 * c), stepY = _mm256_set1_epi64x(4 * s);
    std::int32_t i = 0;
    for (; i + 4 <= count; i += 4, out += 4 * kBytesPerPixel) {
        // A position in (-2^k, 0) truncates to 0.
        const __m256i x = _mm256_srl_epi64(_mm256_andnot_si256(_mm256_cmpgt_epi64(zero, vx), vx), shift);
        const __m256i y = _mm256_srl_epi64(_mm256_andnot_si256(_mm256_cmpgt_epi64(zero, vy), vy), shift);
        const __m256i index = _mm256_add_epi64(_mm256_mul_epu32(y, stride), x);
        const __m128i pixels = _mm256_i64gather_epi32(reinterpret_cast<const int*>(base), index, 4);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), pixels);
        vx = _mm256_add_epi64(vx, stepX);
        vy = _mm256_add_epi64(vy, stepY);
    }
    return i;
}

// The SSE program's row, eight pixels at a time while whole groups of eight remain: the same
// single-precision products and sums, a masked gather in place of the bounds tests.
__attribute__((target("avx2"))) std::int32_t gatherRowSingle(const Image& source, std::int32_t width, std::int32_t x0,
                                                             float cosA, float sinA, float rowX, float rowY,
                                                             std::uint8_t* px) {
    const __m256 c = _mm256_set1_ps(cosA), s = _mm256_set1_ps(sinA);
    const __m256 rx = _mm256_set1_ps(rowX), ry = _mm256_set1_ps(rowY);
    const __m256i minusOne = _mm256_set1_epi32(-1);
    const __m256i w = _mm256_set1_epi32(source.width), h = _mm256_set1_epi32(source.height);
    const __m256i lanes = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    std::int32_t i = 0;
    for (; i + 8 <= width; i += 8, px += 8 * kBytesPerPixel) {
        const __m256 u = _mm256_cvtepi32_ps(_mm256_add_epi32(_mm256_set1_epi32(i - x0), lanes));
        const __m256i x = _mm256_cvttps_epi32(_mm256_add_ps(_mm256_mul_ps(c, u), rx));
        const __m256i y = _mm256_cvttps_epi32(_mm256_add_ps(_mm256_mul_ps(s, u), ry));
        const __m256i inside =
            _mm256_and_si256(_mm256_and_si256(_mm256_cmpgt_epi32(x, minusOne), _mm256_cmpgt_epi32(w, x)),
                             _mm256_and_si256(_mm256_cmpgt_epi32(y, minusOne), _mm256_cmpgt_epi32(h, y)));
        const __m256i index = _mm256_and_si256(inside, _mm256_add_epi32(_mm256_mullo_epi32(y, w), x));
        const __m256i pixels = _mm256_mask_i32gather_epi32(
            _mm256_setzero_si256(), reinterpret_cast<const int*>(source.pixels), index, inside, 4);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(px), pixels);
    }
    return i;
}

// Extended program, even row j of a sample: X = trunc((cosA*u - sinA*v) + x0) and likewise Y,
// evaluated in 80-bit arithmetic. When every intermediate value is a multiple of 2^-k below
// 2^63 * 2^-k, that arithmetic is exact, and the positions follow from integer steps.
[[maybe_unused]] void sampleRowExtended(const Image& source, std::int32_t width, std::int32_t x0, std::int32_t v,
                                        float cosA, float sinA, std::uint8_t* px) {
    const int k = std::max(fractionBits(cosA), fractionBits(sinA));
    if (k <= 40) {
        const std::int64_t c = std::int64_t(std::ldexp(double(cosA), k));
        const std::int64_t s = std::int64_t(std::ldexp(double(sinA), k));
        const __int128 reach =
            (__int128(std::abs(c)) + std::abs(s)) * (std::int64_t(width) + std::abs(v) + 2) +
            (__int128(std::max(std::abs(std::int64_t(source.x0)), std::abs(std::int64_t(source.y0)))) << k);
        if (reach < (__int128(1) << 62)) {
            const std::int64_t u0 = -std::int64_t(x0);
            const std::int64_t sx0 = c * u0 - s * v + (std::int64_t(source.x0) << k);
            const std::int64_t sy0 = s * u0 + c * v + (std::int64_t(source.y0) << k);
            // X = trunc(sx * 2^-k) lies in the source while -2^k < sx < width * 2^k; both positions
            // move linearly with i, so the pixels inside form one run, found from its two ends.
            const std::int64_t one = std::int64_t(1) << k;
            const std::int64_t xEnd = std::int64_t(source.width) << k, yEnd = std::int64_t(source.height) << k;
            auto inside = [&](std::int64_t i) {
                const std::int64_t sx = sx0 + i * c, sy = sy0 + i * s;
                return sx > -one && sx < xEnd && sy > -one && sy < yEnd;
            };
            std::int32_t begin = 0, end = width;
            while (begin < end && !inside(begin)) ++begin;
            while (end > begin && !inside(end - 1)) --end;
            std::memset(px, 0, std::size_t(begin) * kBytesPerPixel);
            std::memset(px + std::size_t(end) * kBytesPerPixel, 0, std::size_t(width - end) * kBytesPerPixel);
            std::int64_t sx = sx0 + begin * c, sy = sy0 + begin * s;
            const std::uint8_t* base = source.pixels;
            const std::size_t stride = std::size_t(source.width);
            std::uint8_t* out = px + std::size_t(begin) * kBytesPerPixel;
            std::int32_t i = begin;
            if (useAvx2()) {
                const std::int32_t done = gatherRunExtended(base, source.width, sx, sy, c, s, k, end - begin, out);
                i += done;
                out += std::size_t(done) * kBytesPerPixel;
                sx += done * c;
                sy += done * s;
            }
            for (; i < end; ++i, out += kBytesPerPixel, sx += c, sy += s) {
                const std::size_t x = std::size_t(std::max<std::int64_t>(sx, 0) >> k);
                const std::size_t y = std::size_t(std::max<std::int64_t>(sy, 0) >> k);
                std::memcpy(out, base + (y * stride + x) * kBytesPerPixel, kBytesPerPixel);
            }
            return;
        }
    }
    for (std::int32_t i = 0; i < width; ++i, px += kBytesPerPixel) {
        const std::int32_t u = i - x0;
        copyNearest(source, std::int32_t(Extended(cosA) * u - Extended(sinA) * v + source.x0),
                    std::int32_t(Extended(sinA) * u + Extended(cosA) * v + source.y0), px);
    }
}

// SSE program, even row j: the row terms are formed once in single precision.
[[maybe_unused]] void sampleRowSingle(const Image& source, std::int32_t width, std::int32_t x0, std::int32_t v,
                                      float cosA, float sinA, std::uint8_t* px) {
    const float rowX = -sinA * float(v) + float(source.x0);
    const float rowY = cosA * float(v) + float(source.y0);
    std::int32_t i = 0;
    if (useAvx2()) {
        i = gatherRowSingle(source, width, x0, cosA, sinA, rowX, rowY, px);
        px += std::size_t(i) * kBytesPerPixel;
    }
    alignas(16) std::int32_t xs[4], ys[4];
    const __m128 c = _mm_set1_ps(cosA), s = _mm_set1_ps(sinA);
    const __m128 rx = _mm_set1_ps(rowX), ry = _mm_set1_ps(rowY);
    for (; i + 4 <= width; i += 4) {
        const __m128 u = _mm_cvtepi32_ps(_mm_add_epi32(_mm_set1_epi32(i - x0), _mm_setr_epi32(0, 1, 2, 3)));
        _mm_store_si128(reinterpret_cast<__m128i*>(xs), _mm_cvttps_epi32(_mm_add_ps(_mm_mul_ps(c, u), rx)));
        _mm_store_si128(reinterpret_cast<__m128i*>(ys), _mm_cvttps_epi32(_mm_add_ps(_mm_mul_ps(s, u), ry)));
        for (int k = 0; k < 4; ++k, px += kBytesPerPixel) copyNearest(source, xs[k], ys[k], px);
    }
    for (; i < width; ++i, px += kBytesPerPixel) {
        const float u = float(i - x0);
        copyNearest(source, std::int32_t(cosA * u + rowX), std::int32_t(sinA * u + rowY), px);
    }
}

}   // namespace

SampleTurn sampleTurn(float angle) { return {float(std::cos(double(angle))), float(std::sin(double(angle)))}; }

void rotatedSampleRow(const Image& source, std::int32_t width, std::int32_t height, SampleTurn turn, std::int32_t j,
                      std::uint8_t* px) {
    if constexpr (kSseBuild) {
        sampleRowSingle(source, width, width / 2, j - height / 2, turn.cosA, turn.sinA, px);
    } else {
        sampleRowExtended(source, width, width / 2, j - height / 2, turn.cosA, turn.sinA, px);
    }
}

Image rotatedSample(const Image& source, std::int32_t width, std::int32_t height, float angle, bool clearOddRows) {
    const SampleTurn turn = sampleTurn(angle);
    Image out;
    out.width = width;
    out.height = height;
    out.x0 = width / 2;
    out.y0 = height / 2;
    out.pixels = allocatePixels(width, height);
    if (out.pixels == nullptr) return out;
    const std::size_t rowBytes = std::size_t(width) * kBytesPerPixel;
    for (std::int32_t j = 0; j < height; ++j) {
        std::uint8_t* px = out.pixels + std::size_t(j) * rowBytes;
        if (j % 2 != 0) {
            if (clearOddRows) std::memset(px, 0, rowBytes);
        } else {
            rotatedSampleRow(source, width, height, turn, j, px);
        }
    }
    return out;
}

namespace {

// One row of warp positions, float(((column term + sign * row term) + origin) + shift) with
// every operation in extended precision. The same sum in doubles differs from the extended
// one by less than reach * 2^-50 (five roundings of at most reach * 2^-53 each, against
// five of reach * 2^-64), so when both ends of the interval twice that wide round to one
// float, that float is the position.
struct WarpRow {
    const double* column;   // the column terms, rounded to double
    double row;
    double sign;
    double origin;
    double shift;
    double reach;
};

// Writes the positions proven so for whole groups of four columns, NaN for the others, and
// sets unknown when there was any such other; returns the number of columns written.
__attribute__((target("avx2"))) std::size_t warpPositions(const WarpRow& w, std::size_t count, float* out,
                                                          bool& unknown) {
    int missed = 0;
    const __m256d row = _mm256_set1_pd(w.row), origin = _mm256_set1_pd(w.origin), shift = _mm256_set1_pd(w.shift);
    const __m256d margin = _mm256_set1_pd(w.reach * 0x1p-49);
    const __m128 nan = _mm_set1_ps(NAN);
    std::size_t col = 0;
    for (; col + 4 <= count; col += 4) {
        const __m256d terms = _mm256_loadu_pd(w.column + col);
        const __m256d first = w.sign < 0 ? _mm256_sub_pd(terms, row) : _mm256_add_pd(terms, row);
        const __m256d sum = _mm256_add_pd(_mm256_add_pd(first, origin), shift);
        const __m128 low = _mm256_cvtpd_ps(_mm256_sub_pd(sum, margin));
        const __m128 high = _mm256_cvtpd_ps(_mm256_add_pd(sum, margin));
        const __m128 same = _mm_cmpeq_ps(low, high);
        missed |= _mm_movemask_ps(same) ^ 0xF;
        _mm_storeu_ps(out + col, _mm_blendv_ps(nan, low, same));
    }
    if (missed != 0) unknown = true;
    return col;
}

}   // namespace

Image turnedFrame(std::int32_t width, std::int32_t height, std::int32_t x0, std::int32_t y0, float angle, float shiftX,
                  float shiftY) {
    const double cosA = std::cos(double(angle)), sinA = std::sin(double(angle));
    const Extended c = cosA, s = sinA;

    // Bounding box of the turned source rectangle.
    const std::int32_t cornerU[4] = {0, width, 0, width};
    const std::int32_t cornerV[4] = {0, 0, height, height};
    float minX = 0, maxX = 0, minY = 0, maxY = 0;
    for (int k = 0; k < 4; ++k) {
        const std::int64_t du = std::int64_t(cornerU[k]) - x0, dv = std::int64_t(cornerV[k]) - y0;
        const float x = float(c * du + s * dv - shiftX);
        const float y = float(-s * du + c * dv - shiftY);
        if (k == 0 || x < minX) minX = x;
        if (k == 0 || x > maxX) maxX = x;
        if (k == 0 || y < minY) minY = y;
        if (k == 0 || y > maxY) maxY = y;
    }
    Image out;
    out.width = std::int32_t(float(maxX - minX));
    out.height = std::int32_t(float(maxY - minY));
    if (angle > 0) {
        out.x0 = std::int32_t(c * x0 + s * y0);
        out.y0 = std::int32_t(Extended(float(Extended(width) * s)) - s * x0 + c * y0);
    } else {
        out.x0 = std::int32_t(Extended(float(-Extended(height) * s)) + c * x0 + s * y0);
        out.y0 = std::int32_t(-s * x0 + c * y0);
    }
    return out;
}

Image rotateAndShift(const std::uint8_t* pixels, std::int32_t width, std::int32_t height, std::int32_t x0,
                     std::int32_t y0, float angle, float shiftX, float shiftY) {
    const double cosA = std::cos(double(angle)), sinA = std::sin(double(angle));
    const Extended c = cosA, s = sinA;
    Image out = turnedFrame(width, height, x0, y0, angle, shiftX, shiftY);
    if (out.width > kMaxImageSide || out.height > kMaxImageSide ||
        std::int64_t(out.width) * out.height > kMaxImagePixels) {
        return out;   // too large to hold: no pixels, the size tells the caller why
    }
    out.pixels = allocatePixels(out.width, out.height);
    if (angle == 0 && shiftX == float(std::int32_t(shiftX)) && shiftY == float(std::int32_t(shiftY)) &&
        std::fabs(shiftX) < 0x1p20f && std::fabs(shiftY) < 0x1p20f) {
        // cos 0 = 1 and sin 0 = 0: every position is a whole number, every fraction 0, and each
        // output pixel is a copy of its source pixel (or four zeros outside the source).
        const std::int64_t dx = std::int64_t(x0) + std::int64_t(shiftX) - out.x0;
        const std::int64_t dy = std::int64_t(y0) + std::int64_t(shiftY) - out.y0;
        const std::int64_t colBegin = std::clamp<std::int64_t>(-dx, 0, out.width);
        const std::int64_t colEnd = std::clamp<std::int64_t>(width - dx, colBegin, out.width);
        parallelFor(out.height, [&](std::int64_t row) {
            std::uint8_t* px = pixelAt(out, 0, std::int32_t(row));
            const std::int64_t sy = row + dy;
            if (sy < 0 || sy >= height || colBegin == colEnd) {
                std::memset(px, 0, std::size_t(out.width) * kBytesPerPixel);
                return;
            }
            std::memset(px, 0, std::size_t(colBegin) * kBytesPerPixel);
            std::memcpy(px + colBegin * kBytesPerPixel,
                        pixels + (std::size_t(sy) * std::size_t(width) + std::size_t(colBegin + dx)) * kBytesPerPixel,
                        std::size_t(colEnd - colBegin) * kBytesPerPixel);
            std::memset(px + colEnd * kBytesPerPixel, 0, std::size_t(out.width - colEnd) * kBytesPerPixel);
        });
        return out;
    }
    // The products of the column offset do not change from row to row: form them once, in the
    // same extended arithmetic.
    std::vector<Extended> cu(std::size_t(std::max(out.width, 0))), su(cu.size());
    std::vector<double> cuApprox(cu.size()), suApprox(cu.size());
    for (std::int32_t col = 0; col < out.width; ++col) {
        cu[std::size_t(col)] = c * (col - out.x0);
        su[std::size_t(col)] = s * (col - out.x0);
        cuApprox[std::size_t(col)] = double(cu[std::size_t(col)]);
        suApprox[std::size_t(col)] = double(su[std::size_t(col)]);
    }
    // Every term and partial sum of a position is below this bound in magnitude.
    const double reach = (std::fabs(cosA) + std::fabs(sinA)) *
                             (std::max(std::abs(double(out.x0)), std::abs(double(out.width) - out.x0)) +
                              std::max(std::abs(double(out.y0)), std::abs(double(out.height) - out.y0)) + 2) +
                         std::abs(double(x0)) + std::abs(double(y0)) + std::fabs(double(shiftX)) +
                         std::fabs(double(shiftY)) + 1;
    parallelFor(out.height, [&](std::int64_t row) {
        std::uint8_t* px = pixelAt(out, 0, std::int32_t(row));
        const std::int32_t v = std::int32_t(row) - out.y0;
        const Extended sv = s * v, cv = c * v;
        thread_local std::vector<float> sx, sy;   // scratch rows, kept by each thread
        sx.resize(cu.size());
        sy.resize(cu.size());
        const WarpRow rowX{cuApprox.data(), double(sv), -1, double(x0), double(shiftX), reach};
        const WarpRow rowY{suApprox.data(), double(cv), 1, double(y0), double(shiftY), reach};
        std::size_t doneX = 0, doneY = 0;
        bool unknown = false;   // a column within the groups done left open
        if (useAvx2()) {
            doneX = warpPositions(rowX, cu.size(), sx.data(), unknown);
            doneY = warpPositions(rowY, cu.size(), sy.data(), unknown);
        }
        for (std::size_t col = unknown ? 0 : std::min(doneX, doneY); col < cu.size(); ++col) {
            if (col >= doneX || std::isnan(sx[col])) sx[col] = float(cu[col] - sv + x0 + shiftX);
            if (col >= doneY || std::isnan(sy[col])) sy[col] = float(su[col] + cv + y0 + shiftY);
        }
        interpolateRow(pixels, width, height, sx.data(), sy.data(), out.width, px);
    });
    return out;
}
