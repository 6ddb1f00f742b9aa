#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "common/image.h"

// In place: channel 0 becomes the brightness (c0 + c1 + c2) / 3, channels 1 and 2 of the
// interior pixels the horizontal and vertical brightness gradients offset to 128.
void makeFeatureImage(Image& image);

// The pixels a feature image is wanted for: the rows flagged (all when empty) times the
// column spans [first, end), sorted and apart (all when empty).
struct FeatureRegion {
    std::vector<std::uint8_t> rows;
    std::vector<std::pair<std::int32_t, std::int32_t>> columns;
};

// The same made from source into a new image (same size and reference point); only the
// region's pixels are set.
Image featureImage(const Image& source, const FeatureRegion& region = FeatureRegion{});
