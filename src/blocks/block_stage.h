#pragma once

#include <cstdint>
#include <vector>

#include "common/image.h"

// Offsets found for a grid of blocks; entry j * columns + i is block column i, row j.
struct BlockGrid {
    std::vector<float> offsetX;
    std::vector<float> offsetY;
    std::vector<float> score;   // -10 marks a block rejected for lying too near the border
    std::int32_t columns = 0;
    std::int32_t rows = 0;
};

constexpr float kRejectedBlock = -10.0f;

// The deformation a frame was given: grid offsets at spacing (applied when the grid is
// not empty), as deformImage reads them.
struct BlockDeformation {
    BlockGrid grid;
    std::int32_t spacing = 0;
};

// Measures the block offsets of settings.current against settings.reference on feature
// images and replaces current by its deformed version; the grid goes to found when given.
void runBlockStage(BlockDeformation* found = nullptr);

// A new image of width x height (zero-filled where it has no source) sampling the source
// at each pixel minus the offset interpolated between the block nodes ((i + 1/2) spacing).
Image deformImage(const std::uint8_t* pixels, std::int32_t width, std::int32_t height, std::int32_t x0,
                  std::int32_t y0, const BlockGrid& grid, std::int32_t spacingX, std::int32_t spacingY);

// Number of grid positions first, first + spacing, ... that lie below limit.
std::int32_t gridCount(std::int32_t first, std::int32_t limit, std::int32_t spacing);
