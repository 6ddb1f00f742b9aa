#pragma once

#include "common/image.h"
#include "common/precision.h"

constexpr float kInverse255 = 1.0f / 255.0f;   // 0.003921568859
constexpr float kEmptyOverlapScore = 0.05f;

// Mean difference of the valid pixel pairs of a and b laid so that their reference
// points coincide; lower is better, 0.05 when nothing overlaps. Symmetric in a and b.
Extended imageDifference(const Image& a, const Image& b);
