#pragma once

#include <cstdint>

// The rotation and translation a frame was aligned with: the aligned image's pixel q shows
// the frame at (x0, y0) + R(angle) (q - aligned reference point) + shift (rotateAndShift).
struct RigidGeometry {
    float angle = 0;
    float shiftX = 0;
    float shiftY = 0;
    std::int32_t x0 = 0;   // the frame's reference point
    std::int32_t y0 = 0;
};

// Finds the rotation and translation that best superimpose settings.current on
// settings.reference, writes the image's line to the shift log, and replaces current by
// the aligned image. When that image would exceed the size limits, says so and leaves
// current without pixels: the image is then skipped. The geometry used goes to found when
// given.
void globalAdjustment(RigidGeometry* found = nullptr);
