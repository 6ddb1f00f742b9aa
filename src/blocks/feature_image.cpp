#include "blocks/feature_image.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include <emmintrin.h>

#include "common/parallel.h"

namespace {

// (c0 + c1 + c2) / 3 for sums up to 765: (sum * 21846) >> 16 is the exact quotient there.
inline std::uint8_t brightness(const std::uint8_t* p) {
    return std::uint8_t(((unsigned(p[0]) + p[1] + p[2]) * 21846u) >> 16);
}

// Signed division by 2 truncating toward zero, plus 128.
inline std::uint8_t gradient(int difference) { return std::uint8_t(difference / 2 + 128); }

// The brightness of pixels [x, end) of a row (p its first pixel) into l.
void rowLevels(const std::uint8_t* p, std::int32_t x, std::int32_t end, std::uint8_t* l) {
    p += std::size_t(x) * kBytesPerPixel;
    // Eight pixels at a time: the three bytes summed in 32-bit lanes, then the same
    // multiply-shift in 16-bit lanes (the high half of sum * 21846).
    const __m128i low = _mm_set1_epi32(0xFF);
    auto channelSum = [&](__m128i v) {
        return _mm_add_epi32(_mm_add_epi32(_mm_and_si128(v, low), _mm_and_si128(_mm_srli_epi32(v, 8), low)),
                             _mm_and_si128(_mm_srli_epi32(v, 16), low));
    };
    for (; x + 8 <= end; x += 8, p += 8 * kBytesPerPixel) {
        const __m128i sums = _mm_packs_epi32(channelSum(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))),
                                             channelSum(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16))));
        const __m128i levels = _mm_mulhi_epu16(sums, _mm_set1_epi16(21846));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(l + x), _mm_packus_epi16(levels, levels));
    }
    for (; x < end; ++x, p += kBytesPerPixel) l[x] = brightness(p);
}

// Feature pixels [x, end) of an interior row (not the first or last, 1 <= x, end <= width - 1):
// in the row's pixels, l its brightness (with the rows above and below at -width, +width),
// out its output pixels.
void interiorFeatures(const std::uint8_t* in, const std::uint8_t* l, std::int32_t width, std::int32_t x,
                      std::int32_t end, std::uint8_t* out) {
    // Eight pixels at a time: (left - right) / 2 + 128 and (above - below) / 2 + 128 in
    // 16-bit lanes, division truncating toward zero, then interleaved with the brightness
    // and the untouched validity byte.
    const __m128i zero = _mm_setzero_si128(), offset = _mm_set1_epi16(128);
    auto half = [&](__m128i d) {
        return _mm_add_epi16(_mm_srai_epi16(_mm_add_epi16(d, _mm_srli_epi16(d, 15)), 1), offset);
    };
    auto load8 = [&](const std::uint8_t* q) {
        return _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(q)), zero);
    };
    for (; x + 8 <= end; x += 8) {
        const __m128i g1 = half(_mm_sub_epi16(load8(l + x - 1), load8(l + x + 1)));
        const __m128i g2 = half(_mm_sub_epi16(load8(l + x - width), load8(l + x + width)));
        const __m128i bright = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(l + x));
        std::uint8_t* q = out + std::size_t(x) * kBytesPerPixel;
        const std::uint8_t* source = in + std::size_t(x) * kBytesPerPixel;
        const __m128i px0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(source));
        const __m128i px1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(source + 16));
        // Validity bytes of the eight pixels, as bytes 0 .. 7.
        const __m128i v0 = _mm_srli_epi32(px0, 24), v1 = _mm_srli_epi32(px1, 24);
        const __m128i validity = _mm_packus_epi16(_mm_packs_epi32(v0, v1), zero);
        const __m128i lowPairs = _mm_unpacklo_epi8(bright, _mm_packus_epi16(g1, zero));
        const __m128i highPairs = _mm_unpacklo_epi8(_mm_packus_epi16(g2, zero), validity);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(q), _mm_unpacklo_epi16(lowPairs, highPairs));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(q + 16), _mm_unpackhi_epi16(lowPairs, highPairs));
    }
    for (; x < end; ++x) {
        std::uint8_t* q = out + std::size_t(x) * kBytesPerPixel;
        q[3] = in[std::size_t(x) * kBytesPerPixel + 3];
        q[0] = l[x];
        q[1] = gradient(int(l[x - 1]) - int(l[x + 1]));
        q[2] = gradient(int(l[x - std::ptrdiff_t(width)]) - int(l[x + std::ptrdiff_t(width)]));
    }
}

// The feature pixels of the image within the region into out (which may be the image's own
// pixels): each output pixel is made from its own input pixel and the brightness around it.
void featurePixels(const Image& image, std::uint8_t* out, const FeatureRegion& region) {
    const std::int32_t width = image.width, height = image.height;
    if (width <= 0 || height <= 0) return;
    const std::vector<std::uint8_t>& wanted = region.rows;
    auto rowWanted = [&](std::int32_t y) {
        return y >= 0 && y < height && (wanted.empty() || wanted[std::size_t(y)] != 0);
    };
    std::vector<std::pair<std::int32_t, std::int32_t>> spans = region.columns;
    if (spans.empty()) spans.push_back({0, width});
    // Brightness of the pixels the region's gradients read, kept aside so that rows can be
    // converted in any order.
    const std::unique_ptr<std::uint8_t[]> holder(new std::uint8_t[std::size_t(width) * std::size_t(height)]);
    std::uint8_t* const level = holder.get();   // only the parts read are written
    parallelFor(height, [&](std::int64_t yy) {
        const std::int32_t y = std::int32_t(yy);
        if (!rowWanted(y - 1) && !rowWanted(y) && !rowWanted(y + 1)) return;
        for (const auto& [begin, end] : spans)
            rowLevels(pixelAt(image, 0, y), std::max(begin - 1, 0), std::min(end + 1, width),
                      level + std::size_t(y) * std::size_t(width));
    });
    parallelFor(height, [&](std::int64_t yy) {
        const std::int32_t y = std::int32_t(yy);
        if (!rowWanted(y)) return;
        const std::uint8_t* l = level + std::size_t(y) * std::size_t(width);
        const std::uint8_t* in = pixelAt(image, 0, y);
        std::uint8_t* p = out + std::size_t(y) * std::size_t(width) * kBytesPerPixel;
        const bool borderRow = y < 1 || y > height - 2 || width < 3;
        for (const auto& [begin, end] : spans) {
            // Border rows, and the first and last pixels of the others, keep their colour bytes.
            auto keep = [&](std::int32_t from, std::int32_t to) {
                if (from >= to) return;
                if (p != in)
                    std::memcpy(p + std::size_t(from) * kBytesPerPixel, in + std::size_t(from) * kBytesPerPixel,
                                std::size_t(to - from) * kBytesPerPixel);
                for (std::int32_t x = from; x < to; ++x) p[std::size_t(x) * kBytesPerPixel] = l[x];
            };
            if (borderRow) {
                keep(begin, end);
                continue;
            }
            const std::int32_t first = std::max(begin, 1), last = std::min(end, width - 1);
            keep(begin, std::min(first, end));
            if (first < last) interiorFeatures(in, l, width, first, last, p);
            keep(std::max(last, begin), end);
        }
    });
}

}   // namespace

void makeFeatureImage(Image& image) { featurePixels(image, image.pixels, FeatureRegion{}); }

Image featureImage(const Image& source, const FeatureRegion& region) {
    Image out = source;
    out.pixels = allocatePixels(source.width, source.height);   // every byte of the region is written
    featurePixels(source, out.pixels, region);
    return out;
}
