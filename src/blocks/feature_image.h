#pragma once

#include "common/image.h"

// In place: channel 0 becomes the brightness (c0 + c1 + c2) / 3, channels 1 and 2 of the
// interior pixels the horizontal and vertical brightness gradients offset to 128.
void makeFeatureImage(Image& image);

// The same made from source into a new image (same size and reference point).
Image featureImage(const Image& source);
