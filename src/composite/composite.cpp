#include "composite/composite.h"

#include <immintrin.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "common/cpu.h"
#include "common/parallel.h"
#include "composite/sums_file.h"
#include "driver/run_settings.h"
#include "imageio/bmp_writer.h"
#include "imageio/fits_writer.h"

namespace {

// One pixel into its cell, each channel weighted by the validity byte.
inline void addPixel(const std::uint8_t* src, CompositeCell* cell) {
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

// Each byte b of the four pixels as b * a / 255, a the pixel's validity byte: the products in
// 16-bit lanes, divided by 255 as (x * 0x8081) >> 23, which is exact below 2^16.
__attribute__((target("avx2"))) inline __m128i weighted(__m128i v) {
    const __m128i zero = _mm_setzero_si128(), divisor = _mm_set1_epi16(std::int16_t(0x8081));
    auto half = [&](__m128i words) {
        const __m128i a = _mm_shufflehi_epi16(_mm_shufflelo_epi16(words, 0xFF), 0xFF);   // each pixel's validity
        return _mm_srli_epi16(_mm_mulhi_epu16(_mm_mullo_epi16(words, a), divisor), 7);
    };
    return _mm_packus_epi16(half(_mm_unpacklo_epi8(v, zero)), half(_mm_unpackhi_epi8(v, zero)));
}

// addPixel four pixels at a time; returns the number of pixels added (whole groups of four).
__attribute__((target("avx2"))) std::int32_t addPixels4(const std::uint8_t* src, std::int32_t count,
                                                        CompositeCell* cell) {
    static_assert(sizeof(CompositeCell) == 12, "cells of three 32-bit sums");
    const __m128i validity = _mm_set1_epi32(std::int32_t(0xFF000000u));
    // Channels 0 to 2 of the four pixels, zero-extended, in the order of the cells' sums.
    const __m128i first = _mm_setr_epi8(0, -1, -1, -1, 1, -1, -1, -1, 2, -1, -1, -1, 4, -1, -1, -1);
    const __m128i second = _mm_setr_epi8(5, -1, -1, -1, 6, -1, -1, -1, 8, -1, -1, -1, 9, -1, -1, -1);
    const __m128i third = _mm_setr_epi8(10, -1, -1, -1, 12, -1, -1, -1, 13, -1, -1, -1, 14, -1, -1, -1);
    std::int32_t x = 0;
    for (; x + 4 <= count; x += 4, src += 4 * kBytesPerPixel, cell += 4) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src));
        if (_mm_movemask_epi8(_mm_cmpeq_epi32(_mm_and_si128(v, validity), validity)) != 0xFFFF) v = weighted(v);
        __m128i* sums = reinterpret_cast<__m128i*>(cell->sum);
        _mm_storeu_si128(sums, _mm_add_epi32(_mm_loadu_si128(sums), _mm_shuffle_epi8(v, first)));
        _mm_storeu_si128(sums + 1, _mm_add_epi32(_mm_loadu_si128(sums + 1), _mm_shuffle_epi8(v, second)));
        _mm_storeu_si128(sums + 2, _mm_add_epi32(_mm_loadu_si128(sums + 2), _mm_shuffle_epi8(v, third)));
    }
    return x;
}

// The averaged pixels of count cells, four at a time: each sum (exact in single precision)
// times r, truncated, its low 8 bits; validity 255. Returns the number done.
__attribute__((target("avx2"))) std::size_t averageCells(const CompositeCell* cell, std::int32_t count, float r,
                                                         std::uint8_t* out) {
    const __m128 scale = _mm_set1_ps(r);
    // Byte 0 of each 32-bit value, to its place among the four pixels' bytes.
    const __m128i first = _mm_setr_epi8(0, 4, 8, -1, 12, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1);
    const __m128i second = _mm_setr_epi8(-1, -1, -1, -1, -1, 0, 4, -1, 8, 12, -1, -1, -1, -1, -1, -1);
    const __m128i third = _mm_setr_epi8(-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 0, -1, 4, 8, 12, -1);
    const __m128i validity = _mm_set1_epi32(std::int32_t(0xFF000000u));
    std::size_t i = 0;
    for (; i + 4 <= std::size_t(count); i += 4, cell += 4, out += 4 * kBytesPerPixel) {
        const __m128i* sums = reinterpret_cast<const __m128i*>(cell->sum);
        auto scaled = [&](int k) {
            return _mm_cvttps_epi32(_mm_mul_ps(_mm_cvtepi32_ps(_mm_loadu_si128(sums + k)), scale));
        };
        const __m128i bytes =
            _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(scaled(0), first), _mm_shuffle_epi8(scaled(1), second)),
                         _mm_or_si128(_mm_shuffle_epi8(scaled(2), third), validity));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), bytes);
    }
    return i;
}

}   // namespace

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
        std::int32_t x = xBegin;
        if (useAvx2()) {
            const std::int32_t done = addPixels4(src, xEnd - xBegin, cell);
            x += done;
            src += std::size_t(done) * kBytesPerPixel;
            cell += done;
        }
        for (; x < xEnd; ++x, src += kBytesPerPixel, ++cell) addPixel(src, cell);
    });
}

void averageComposite(Image& out) {
    const RunSettings& s = settings;
    const float r = s.imageCount != 0 ? float(1.0 / double(s.imageCount)) : 0.0f;
    parallelFor(out.height, [&](std::int64_t y) {
        const std::size_t first = std::size_t(y) * std::size_t(out.width);
        std::size_t i = first;
        if (useAvx2())
            i += averageCells(s.compositeSums.data() + first, out.width, r, out.pixels + first * kBytesPerPixel);
        for (; i < first + std::size_t(out.width); ++i) {
            std::uint8_t* px = out.pixels + i * kBytesPerPixel;
            for (int k = 0; k < 3; ++k) px[k] = std::uint8_t(std::int32_t(float(s.compositeSums[i].sum[k]) * r));
            px[3] = 255;
        }
    });
}

void startComposite() {
    const Image& ref = settings.reference;
    settings.compositeSums.assign(pixelBytes(ref.width, ref.height) / kBytesPerPixel, CompositeCell{{0, 0, 0}});
}

void finishComposite() {
    RunSettings& s = settings;
    std::printf("Sauvegarde de l'image compositee : %s\n", s.compositeName.c_str());
    writeCompositeFiles(s.compositeName.substr(0, s.compositeName.find('.')));
}

bool writeCompositeFiles(const std::string& base) {
    RunSettings& s = settings;
    bool ok = writeFitsChannel((base + "R.fit").c_str(), 2);
    ok = writeFitsChannel((base + "V.fit").c_str(), 1) && ok;
    ok = writeFitsChannel((base + "B.fit").c_str(), 0) && ok;

    Image& out = s.composite;
    out.width = s.reference.width;
    out.height = s.reference.height;
    out.x0 = s.reference.x0;
    out.y0 = s.reference.y0;
    out.pixels = allocatePixels(out.width, out.height);
    averageComposite(out);
    std::vector<CompositeCell>().swap(s.compositeSums);
    ok = saveBmp(out, (base + ".bmp").c_str()) && ok;
    releasePixels(out);
    return ok;
}

bool saveCompositeSums() {
    const RunSettings& s = settings;
    std::printf("Sauvegarde des sommes du compositage : %s\n", s.sumsName.c_str());
    SumsHeader header;
    header.reference = identifyReference(s.reference, s.referenceName);
    header.framesListed = s.imageCount;
    header.framesAdded = s.framesAdded;
    header.runs = 1;
    return writeSumsFile(s.sumsName.c_str(), header, s.compositeSums);
}
