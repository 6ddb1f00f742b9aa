#pragma once

#include <cstdint>
#include <vector>

#include "common/image.h"
#include "common/precision.h"

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

// The reference as the block searches read it. It depends only on the reference, so a run
// makes it once (makeBlockReference) and hands it to every frame's block stage.
struct BlockReference {
    Image features;       // the reference's feature image, its reference point not set
    bool whole = false;   // every pixel of features is valid
};
BlockReference makeBlockReference(const Image& reference);

// Measures the block offsets of settings.current against settings.reference on feature
// images and replaces current by its deformed version; the grid goes to found when given.
// prepared: the reference's BlockReference, made by the caller for this very reference
// (null: made here for this call and released after).
void runBlockStage(BlockDeformation* found = nullptr, const BlockReference* prepared = nullptr);

// A new image of width x height (zero-filled where it has no source) sampling the source
// at each pixel minus the offset interpolated between the block nodes ((i + 1/2) spacing).
Image deformImage(const std::uint8_t* pixels, std::int32_t width, std::int32_t height, std::int32_t x0, std::int32_t y0,
                  const BlockGrid& grid, std::int32_t spacingX, std::int32_t spacingY);

// Number of grid positions first, first + spacing, ... that lie below limit.
std::int32_t gridCount(std::int32_t first, std::int32_t limit, std::int32_t spacing);

// Block column (or row) index and interpolation weight of output position p in the
// deformation: nodes at (i + 1/2) spacing, the first and last node alone beyond them.
struct NodeWeight {
    std::int32_t index = 0;
    std::int32_t next = 0;
    float weight = 0;
};
inline NodeWeight nodeWeight(std::int32_t p, std::int32_t spacing, std::int32_t count) {
    NodeWeight w;
    const std::int32_t half = spacing / 2;
    if (p > half) {
        w.index = (p - half) / spacing;
        w.weight = float((InterD(p) - (InterD(spacing * w.index) + spacing * 0.5)) / spacing);
        if (w.index >= count) {
            w.index = count - 1;
            w.weight = 0;
        }
    }
    w.next = w.index + 1 < count ? w.index + 1 : w.index;
    return w;
}

// The offsets o at the four nodes k00, k10, k01, k11 interpolated with weights fx, fy, as
// the deformation rounds them (one rounding to float of the sum in the program's precision).
inline float interpolated(const float* o, std::size_t k00, std::size_t k10, std::size_t k01, std::size_t k11, float fx,
                          float fy) {
    const Inter gx = Inter(1) - fx, gy = Inter(1) - fy;
    return float(Inter(o[k00]) * gx * gy + Inter(o[k10]) * fx * gy + Inter(o[k01]) * gx * fy + Inter(o[k11]) * fx * fy);
}
