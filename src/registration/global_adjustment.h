#pragma once

// Finds the rotation and translation that best superimpose settings.current on
// settings.reference, writes the image's line to the shift log, and replaces current by
// the aligned image. When that image would exceed the size limits, says so and leaves
// current without pixels: the image is then skipped.
void globalAdjustment();
