// The straightforward registration and block stages and per-pixel loops, kept as the
// reference that the fast code of src/ must match byte for byte: the tests compare them on
// random cases, and the benchmark builds them into plain programs to measure the speed-up.
#pragma once

#include <cstdint>
#include <cstdio>

#include "blocks/block_stage.h"
#include "common/image.h"
#include "common/precision.h"
#include "registration/global_adjustment.h"
#include "registration/resampling.h"

namespace plain {

// The per-pixel interpolation rule (samplePixel, interpolateAt) is the program's own, from
// registration/resampling.h: the loops around it are what the fast code reworks.
Image scaledCopy(const Image& source, float factor);
Image rotatedSample(const Image& source, std::int32_t width, std::int32_t height, float angle);
Image rotateAndShift(const std::uint8_t* pixels, std::int32_t width, std::int32_t height, std::int32_t x0,
                     std::int32_t y0, float angle, float shiftX, float shiftY);
void globalAdjustment(RigidGeometry* found = nullptr);
void coarseTranslationSearch(RigidGeometry* found = nullptr);
void makeFeatureImage(Image& image);
float findBlockOffsetInteger(float& outDx, float& outDy, std::int32_t bx, std::int32_t by);
float findBlockOffsetFractional(float& outDx, float& outDy, std::int32_t bx, std::int32_t by);
Image deformImage(const std::uint8_t* pixels, std::int32_t width, std::int32_t height, std::int32_t x0, std::int32_t y0,
                  const BlockGrid& grid, std::int32_t spacingX, std::int32_t spacingY);
void runBlockStage(BlockDeformation* found = nullptr);

// The per-pixel loops of the FITS files and of the composite.
void writeFitsRows(int channel, char* data);
void addToComposite(const Image& im);
void averageComposite(Image& out);

}   // namespace plain
