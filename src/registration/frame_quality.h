// The sharpness of a frame, for ranking the frames of a run before any registration.
#pragma once

#include "common/image.h"

// The sharpness of the frame's central area (the frame less an eighth of each side, at least
// 3 pixels), on the 8-bit view the searches use (the sum of the three channels, each weighted
// by the pixel's validity):
//   quality = 1000 x max(0, E - K s^2) / m^2
// E: mean squared gradient of the view smoothed by the binomial kernel [1 4 6 4 1] / 16 in
// both directions (central differences), a band-pass that keeps the detail a blur removes and
// drops most of the pixel noise; s^2: the pixel noise's variance, measured by the
// [1 -2 1] x [1 -2 1] mask (mean absolute response, which smooth detail hardly reaches);
// K = 2 x (84 / 256) x (70 / 256): the part of white noise of unit variance that passes into
// E, so that noise alone scores about 0; m: the mean of the view, so that a brighter or
// dimmer copy of the same frame scores the same. A constant frame scores 0, and so does a
// frame too small to hold the area or one whose view is 0 everywhere.
// Every sum is an exact integer per row, added in row order: the value does not depend on
// the number of threads. Both programs give the same value.
double frameQuality(const Image& frame);
