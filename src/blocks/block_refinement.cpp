#include "blocks/block_refinement.h"

#include <algorithm>
#include <cstring>

#include "driver/run_settings.h"
#include "registration/image_difference.h"

namespace {

constexpr double kOffsetGrid = 64;

}   // namespace

double parabolaVertex(double minus, double centre, double plus) {
    const double curvature = minus - 2 * centre + plus;
    if (!(curvature > 0)) return 0;
    return std::clamp((minus - plus) / (2 * curvature), -0.5, 0.5);
}

void refineBlockOffset(float& dx, float& dy, std::int32_t bx, std::int32_t by) {
    const RunSettings& s = settings;
    const Image& cur = s.current;
    const std::int32_t half = s.blockSearchWidth, side = 2 * half + 1;
    Image block;
    block.width = side;
    block.height = side;
    block.pixels = allocatePixels(side, side, true);
    // The block's pixels inside the current image (the rest stays without data).
    for (std::int32_t row = 0; row < side; ++row) {
        const std::int32_t y = by + row - half;
        if (y < 0 || y >= cur.height) continue;
        for (std::int32_t col = 0; col < side; ++col) {
            const std::int32_t x = bx + col - half;
            if (x >= 0 && x < cur.width) std::memcpy(pixelAt(block, col, row), pixelAt(cur, x, y), kBytesPerPixel);
        }
    }
    // Offset (ox, oy): the block's reference point moves to base - (ox, oy).
    const std::int32_t baseX = cur.x0 - bx + half, baseY = cur.y0 - by + half;
    const std::int32_t integerX = std::int32_t(dx), integerY = std::int32_t(dy);
    auto measure = [&](std::int32_t ox, std::int32_t oy) {
        block.x0 = baseX - ox;
        block.y0 = baseY - oy;
        return double(imageDifference(s.reference, block));
    };
    const double centre = measure(integerX, integerY);
    const double stepX = parabolaVertex(measure(integerX - 1, integerY), centre, measure(integerX + 1, integerY));
    const double stepY = parabolaVertex(measure(integerX, integerY - 1), centre, measure(integerX, integerY + 1));
    releasePixels(block);
    // On a grid of 1/64 pixel (truncated): the deformation keeps its exact integer route for
    // such offsets, and the grid is far finer than what the fit can tell.
    dx = float(integerX + double(std::int32_t(stepX * kOffsetGrid)) / kOffsetGrid);
    dy = float(integerY + double(std::int32_t(stepY * kOffsetGrid)) / kOffsetGrid);
}
