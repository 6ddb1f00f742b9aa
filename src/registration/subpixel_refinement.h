// Sub-pixel refinement of a rigid registration: the angle and shift found on whole pixels
// are refined jointly by Gauss-Newton on the luminance differences of the overlap.
#pragma once

#include <cstdint>

#include "common/image.h"

// A rigid motion as the registration uses it: the reference pixel at offset d from the
// reference's point (x0, y0) shows what the source shows at R(angle) d + (source x0, y0) +
// shift, with R(a)(u, v) = (cos a u - sin a v, sin a u + cos a v). rotateAndShift resamples
// the source with the same angle and shift.
struct RigidMotion {
    double angle = 0;    // radians
    double shiftX = 0;   // pixels
    double shiftY = 0;
};

struct RefinedMotion {
    RigidMotion motion;            // the start when nothing could be refined
    double residual = 0;           // RMS luminance difference left at full size, grey levels (0..255)
    std::int64_t pixelsUsed = 0;   // reference pixels compared in the last full-size iteration
    std::int32_t iterations = 0;   // over all levels
    bool refined = false;          // false: too little in common, diverged, or moved beyond maxMove
};

// Refines start so that the source, moved by the motion, best matches the reference:
// inverse compositional Gauss-Newton on luminance (the mean of the three channels), coarse
// to fine over halved copies, with a gain and an offset of the source's luminance fitted
// along and Huber weights against what does not match (clouds, the frame's edge). Pixels
// with validity 0 in either image, and the reference's outer two pixels, are left out.
// A result whose motion moves some point of the reference by more than maxMove pixels from
// where start puts it is not taken (start is returned, refined false). Deterministic and
// independent of the number of threads; the same in both programs.
RefinedMotion refineRigidMotion(const Image& reference, const Image& source, const RigidMotion& start, double maxMove);
