// Sub-pixel block offsets for the refined mode: a parabola through the measure around the
// best whole offset, on each axis.
#pragma once

#include <cstdint>

// The vertex, on each axis, of the parabola through the measure of the block at (bx, by)
// (centred, as findBlockOffsetInteger takes it) at the whole offset (dx, dy) and its two
// neighbours on that axis, truncated to a multiple of 1/64 pixel; the offset moves by at most
// half a pixel per axis, and stays
// where it is on an axis whose measure does not curve upwards. Reads settings.current and
// settings.reference as the block search does.
void refineBlockOffset(float& dx, float& dy, std::int32_t bx, std::int32_t by);

// The vertex of the parabola through (-1, minus), (0, centre), (1, plus), clamped to
// [-0.5, 0.5]; 0 when the three do not curve upwards.
double parabolaVertex(double minus, double centre, double plus);
