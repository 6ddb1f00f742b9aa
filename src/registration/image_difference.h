#pragma once

#include <cstdint>

#include "common/image.h"
#include "common/precision.h"

constexpr float kInverse255 = 1.0f / 255.0f;   // 0.003921568859
constexpr float kEmptyOverlapScore = 0.05f;

// Mean difference of the valid pixel pairs of a and b laid so that their reference
// points coincide; lower is better, 0.05 when nothing overlaps. Symmetric in a and b.
Extended imageDifference(const Image& a, const Image& b);

// The same, taken pair after pair in the same order, except that the rows of a flagged in
// aInvalid (one flag per row of a, or null for none) are not read: each of their pairs adds
// the half penalty, as their zero validity bytes would make it.
Extended imageDifferenceSkipping(const Image& a, const Image& b, const std::uint8_t* aInvalid);
