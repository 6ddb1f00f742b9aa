#include "registration/image_difference.h"

#include <gtest/gtest.h>

#include <tuple>

#include "support/test_images.h"
#include "support/with_settings.h"

namespace {

using ImageDifference = WithSettings;
using Pixel = std::array<std::uint8_t, 4>;

Image twoPixels(Pixel first, Pixel second) {
    return makeImageFrom(2, 1, [&](int x, int) { return x == 0 ? first : second; });
}

TEST_F(ImageDifference, ScoresSmallCasesExactly) {
    struct Case {
        const char* what;
        Image a, b;
        Extended expected;
    };
    // clang-format off
    Case cases[] = {
        {"no overlap: b wholly right of a", makeImage(4, 3, {1, 2, 3, 255}), makeImage(4, 3, {9, 9, 9, 255}, 10, 0),
         Extended(0.05f)},
        {"no overlap: b wholly below a", makeImage(4, 3, {1, 2, 3, 255}), makeImage(4, 3, {9, 9, 9, 255}, 0, -3),
         Extended(0.05f)},
        {"b empty", makeImage(4, 3, {1, 2, 3, 255}), makeImage(0, 0, {0, 0, 0, 0}), Extended(0.05f)},
        {"pairs with an invalid pixel cost half the penalty", makeImage(5, 5, {1, 2, 3, 0}, 2, 2),
         makeImage(5, 5, {200, 2, 3, 255}, 2, 2), Extended(0.5f * 0.01f)},
        {"channels 1 and 2 weigh four times channel 0; validity 1 is valid",
         twoPixels({11, 5, 5, 1}, {10, 6, 5, 255}), makeImage(2, 1, {10, 5, 5, 255}),
         (Extended(1) + Extended(kInverse255) + 4 + 16 * Extended(kInverse255)) / 2},
        {"the mean counts invalid pairs too", twoPixels({0, 0, 0, 0}, {0, 0, 0, 255}), makeImage(2, 1, {3, 0, 0, 255}),
         (Extended(0.5f * 0.01f) + Inter(81) * Inter(kInverse255) + 9) / Inter(2)},
        {"identical images", syntheticFrame(30, 20, 0, 0, 0), syntheticFrame(30, 20, 0, 0, 0), 0},
    };
    // clang-format on
    for (Case& c : cases) {
        EXPECT_EQ(imageDifference(c.a, c.b), c.expected) << c.what;
        releasePixels(c.a);
        releasePixels(c.b);
    }
}

// Symmetric, and only the overlap counts: the part of big under small, cut out, scores the same.
TEST_F(ImageDifference, IsSymmetricAndComparesOnlyTheOverlap) {
    OwnedImage big(syntheticFrame(40, 30, 0, 0, 0)), small(syntheticFrame(10, 8, 10, 3, -2));
    OwnedImage cut(makeImageFrom(10, 8, [&](int x, int y) { return pixelOf(big.im, x + 15, y + 11); }));
    std::tie(big.im.x0, big.im.y0, small.im.x0, small.im.y0, cut.im.x0, cut.im.y0) = std::tuple(20, 15, 5, 4, 5, 4);
    const Extended ab = imageDifference(big.im, small.im);
    EXPECT_EQ(ab, imageDifference(small.im, big.im));
    EXPECT_EQ(ab, imageDifference(cut.im, small.im));
}

}   // namespace
