#include "registration/image_difference.h"

#include <algorithm>
#include <cstdint>

#include "driver/run_settings.h"

Extended imageDifference(const Image& a, const Image& b) { return imageDifferenceSkipping(a, b, nullptr); }

Extended imageDifferenceSkipping(const Image& a, const Image& b, const std::uint8_t* aInvalid) {
    // Overlap rectangle, found once: first column and row of each image, row length, rows.
    const Overlap o = overlapOf(a, b);
    if (o.empty()) return Extended(kEmptyOverlapScore);
    const std::int64_t aCol = o.aColumn, bCol = o.bColumn, aRow = o.aRow, bRow = o.bRow;
    const std::int64_t rowLength = o.length, rows = o.rows;

    const float halfPenalty = 0.5f * mismatchPenalty;
    const std::size_t aStride = std::size_t(a.width) * kBytesPerPixel;
    const std::size_t bStride = std::size_t(b.width) * kBytesPerPixel;
    const std::uint8_t* aRowPtr = pixelAt(a, std::int32_t(aCol), std::int32_t(aRow));
    const std::uint8_t* bRowPtr = pixelAt(b, std::int32_t(bCol), std::int32_t(bRow));
    Extended sum = 0;
    std::int32_t n = 0;
    for (std::int64_t r = 0; r < rows; ++r, aRowPtr += aStride, bRowPtr += bStride) {
        if (aInvalid != nullptr && aInvalid[aRow + r] != 0) {
            for (std::int64_t c = 0; c < rowLength; ++c, ++n) sum += halfPenalty;
            continue;
        }
        const std::uint8_t* pa = aRowPtr;
        const std::uint8_t* pb = bRowPtr;
        for (std::int64_t c = 0; c < rowLength; ++c, pa += kBytesPerPixel, pb += kBytesPerPixel) {
            if (pa[3] == 0 || pb[3] == 0) {
                sum += halfPenalty;
            } else {
                const std::int32_t d0 = pa[0] - pb[0], d1 = pa[1] - pb[1], d2 = pa[2] - pb[2];
                const std::int32_t s = d0 * d0 + 4 * (d1 * d1 + d2 * d2);
                sum += Inter(s) * Inter(s) * Inter(kInverse255);
                sum += s;
            }
            ++n;
        }
    }
    return sum / Inter(n);
}
