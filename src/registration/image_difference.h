#pragma once

#include <algorithm>
#include <cstdint>

#include "common/image.h"
#include "common/precision.h"

constexpr float kInverse255 = 1.0f / 255.0f;   // 0.003921568859
constexpr float kEmptyOverlapScore = 0.05f;

// Where a and b meet once their reference points are laid on each other: the first column
// and row of each, the pairs of a row and the rows (none when either is not positive).
struct Overlap {
    std::int64_t aColumn = 0, aRow = 0, bColumn = 0, bRow = 0;
    std::int64_t length = 0, rows = 0;
    bool empty() const { return length <= 0 || rows <= 0; }
};
inline Overlap overlapOf(const Image& a, const Image& b) {
    Overlap o;
    if (a.x0 >= b.x0)
        o.aColumn = std::int64_t(a.x0) - b.x0;
    else
        o.bColumn = std::int64_t(b.x0) - a.x0;
    if (a.y0 >= b.y0)
        o.aRow = std::int64_t(a.y0) - b.y0;
    else
        o.bRow = std::int64_t(b.y0) - a.y0;
    o.length = std::min<std::int64_t>(a.width - o.aColumn, b.width - o.bColumn);
    o.rows = std::min<std::int64_t>(a.height - o.aRow, b.height - o.bRow);
    return o;
}

// Mean difference of the valid pixel pairs of a and b laid so that their reference
// points coincide; lower is better, 0.05 when nothing overlaps. Symmetric in a and b.
Extended imageDifference(const Image& a, const Image& b);

// The same, taken pair after pair in the same order, except that the rows of a flagged in
// aInvalid (one flag per row of a, or null for none) are not read: each of their pairs adds
// the half penalty, as their zero validity bytes would make it.
Extended imageDifferenceSkipping(const Image& a, const Image& b, const std::uint8_t* aInvalid);
