#include "registration/image_difference.h"

#include <algorithm>
#include <cstdint>

#include "driver/run_settings.h"

Extended imageDifference(const Image& a, const Image& b) { return imageDifferenceSkipping(a, b, nullptr); }

Extended imageDifferenceSkipping(const Image& a, const Image& b, const std::uint8_t* aInvalid) {
    // Overlap rectangle, found once: first column and row of each image, row length, rows.
    std::int64_t aCol = 0, bCol = 0, aRow = 0, bRow = 0;
    if (a.x0 >= b.x0)
        aCol = std::int64_t(a.x0) - b.x0;
    else
        bCol = std::int64_t(b.x0) - a.x0;
    if (a.y0 >= b.y0)
        aRow = std::int64_t(a.y0) - b.y0;
    else
        bRow = std::int64_t(b.y0) - a.y0;
    const std::int64_t rowLength = std::min(a.width - aCol, b.width - bCol);
    const std::int64_t rows = std::min(a.height - aRow, b.height - bRow);
    if (rowLength <= 0 || rows <= 0) return Extended(kEmptyOverlapScore);

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
