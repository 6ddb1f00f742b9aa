// The difference measure computed exactly in integers, with an early exit.
//
// Every term of the measure is a multiple of 2^-31 in both programs: s is an integer, the
// quadratic part s*s*(1/255) is (in the extended program exactly, in the SSE program after
// its single-precision rounding) a multiple of the float 1/255's last place, 2^-31, and so is
// the single-precision half penalty. While the exact sum stays below 2^64 such units the
// extended-precision accumulator of imageDifference rounds nothing, so an exact integer sum
// gives the very same value in any order; beyond that, the sequential sum is recomputed.
//
// Terms are never negative, so once the running sum proves the mean cannot fall below a
// bound, the rest of the overlap need not be read.
#pragma once

#include <cstdint>

#include "common/image.h"
#include "common/precision.h"

struct BoundedDifference {
    bool pruned = false;   // the mean is at least the bound; value not computed
    Extended value = 0;    // imageDifference(a, b), bit for bit, when not pruned
};

// imageDifference(a, b), or pruned when it is certainly >= bound (an infinite bound never
// prunes).
BoundedDifference boundedImageDifference(const Image& a, const Image& b, float bound);

// The plain sequential measure, kept as the reference the fast one must match.
Extended plainImageDifference(const Image& a, const Image& b);
