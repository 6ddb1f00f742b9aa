
#include <cstdio>

#include "common/precision.h"
#include "driver/run_settings.h"
#include "reference/plain.h"

namespace plain {

// The grid's node weights (nodeWeight) and counts (gridCount) are the program's own, from
// blocks/block_stage.h: the loops around them are what the fast code reworks.

Image deformImage(const std::uint8_t* pixels, std::int32_t width, std::int32_t height, std::int32_t x0, std::int32_t y0,
                  const BlockGrid& grid, std::int32_t spacingX, std::int32_t spacingY) {
    Image out;
    out.width = width;
    out.height = height;
    out.x0 = x0;
    out.y0 = y0;
    out.pixels = allocatePixels(width, height, true);
    const std::int32_t nx = grid.columns;
    for (std::int32_t y = 0; y < height; ++y) {
        const NodeWeight wy = nodeWeight(y, spacingY, grid.rows);
        const Inter fy = wy.weight, gy = Inter(1) - wy.weight;
        std::uint8_t* px = pixelAt(out, 0, y);
        for (std::int32_t x = 0; x < width; ++x, px += kBytesPerPixel) {
            const NodeWeight wx = nodeWeight(x, spacingX, nx);
            const Inter fx = wx.weight, gx = Inter(1) - wx.weight;
            const std::size_t k00 = std::size_t(wy.index) * nx + wx.index, k10 = std::size_t(wy.index) * nx + wx.next;
            const std::size_t k01 = std::size_t(wy.next) * nx + wx.index, k11 = std::size_t(wy.next) * nx + wx.next;
            const float dx = float(Inter(grid.offsetX[k00]) * gx * gy + Inter(grid.offsetX[k10]) * fx * gy +
                                   Inter(grid.offsetX[k01]) * gx * fy + Inter(grid.offsetX[k11]) * fx * fy);
            const float dy = float(Inter(grid.offsetY[k00]) * gx * gy + Inter(grid.offsetY[k10]) * fx * gy +
                                   Inter(grid.offsetY[k01]) * gx * fy + Inter(grid.offsetY[k11]) * fx * fy);
            interpolateAt(pixels, width, height, float(x) - dx, float(y) - dy, px);
        }
    }
    return out;
}

void runBlockStage(BlockDeformation* found) {
    RunSettings& s = settings;
    Image savedCurrent = copyImage(s.current);
    Image savedReference = copyImage(s.reference);
    plain::makeFeatureImage(s.current);
    plain::makeFeatureImage(s.reference);

    const std::int32_t spacing = s.blockGridWidth, half = s.blockSearchWidth;
    std::printf("Ajustage par blocs\n");
    std::printf("Calcul du meilleur ajustage");
    BlockGrid grid;
    const std::int32_t firstX = half - s.blockShiftXMin + 1, firstY = half - s.blockShiftYMin + 1;
    grid.columns = gridCount(firstX, s.current.width - half - s.blockShiftXMax - 1, spacing);
    grid.rows = gridCount(firstY, s.current.height - half - s.blockShiftYMax - 1, spacing);
    const std::size_t entries = std::size_t(grid.columns + 1) * std::size_t(grid.rows + 1);
    grid.offsetX.assign(entries, 0);
    grid.offsetY.assign(entries, 0);
    grid.score.assign(entries, 0);
    std::printf(" (%i blocs en largeur %i blocs en hauteur)\n", grid.columns, grid.rows);
    std::printf("--------------------------------------------------\n");

    const bool wholeStep = s.blockShiftStep == float(std::int32_t(s.blockShiftStep));
    std::int32_t starsPrinted = 0;
    for (std::int32_t i = 0; i < grid.columns; ++i) {
        for (const std::int32_t stars = 50 * i / grid.columns + 1; starsPrinted < stars; ++starsPrinted) {
            std::putchar('*');
        }
        std::fflush(stdout);
        const std::int32_t bx = firstX + i * spacing;
        for (std::int32_t j = 0; j < grid.rows; ++j) {
            const std::int32_t by = firstY + j * spacing;
            const std::size_t k = std::size_t(j) * grid.columns + i;
            const std::int32_t left = bx - half + s.blockShiftXMin - s.current.x0 + s.reference.x0;
            const std::int32_t right = bx + half + s.blockShiftXMax - s.current.x0 + s.reference.x0;
            const std::int32_t top = by - half + s.blockShiftYMin - s.current.y0 + s.reference.y0;
            const std::int32_t bottom = by + half + s.blockShiftYMax - s.current.y0 + s.reference.y0;
            if (left < 0 || right > s.reference.width || top < 0 || bottom > s.reference.height) {
                grid.offsetX[k] = 0;
                grid.offsetY[k] = 0;
                grid.score[k] = kRejectedBlock;
            } else if (wholeStep) {
                grid.score[k] = plain::findBlockOffsetInteger(grid.offsetX[k], grid.offsetY[k], bx, by);
            } else {
                grid.score[k] = plain::findBlockOffsetFractional(grid.offsetX[k], grid.offsetY[k], bx, by);
            }
        }
    }
    std::printf("\n");
    std::printf("Deformation de l'image\n");

    releasePixels(s.current);
    releasePixels(s.reference);
    s.reference = savedReference;
    s.current = savedCurrent;
    if (found != nullptr) *found = BlockDeformation{grid, spacing};
    if (grid.columns > 0 && grid.rows > 0) {
        Image deformed = plain::deformImage(s.current.pixels, s.current.width, s.current.height, s.current.x0,
                                            s.current.y0, grid, spacing, spacing);
        releasePixels(s.current);
        s.current = deformed;
    }
}

}   // namespace plain
