#pragma once

#include <cstdint>

// Best offset of the block at (bx, by) of settings.current against settings.reference
// over the block shift range; returns the best score (1e9 when nothing scored lower).
// The offset (dx, dy) means: current content at frame position p matches the reference
// at p + (dx, dy).

// Whole-pixel candidates; the block is centred on (bx, by). referenceWhole: every pixel of
// settings.reference is known valid (the search may then skip its validity bytes).
float findBlockOffsetInteger(float& outDx, float& outDy, std::int32_t bx, std::int32_t by, bool referenceWhole = false);

// Fractional candidates, block resampled per candidate; its first pixel is at (bx, by).
float findBlockOffsetFractional(float& outDx, float& outDy, std::int32_t bx, std::int32_t by);
