#include "composite/deep_stack.h"

#include <gtest/gtest.h>

#include "registration/resampling.h"
#include "support/test_images.h"

namespace {

DeepImage deepImage(std::int32_t width, std::int32_t height, std::int32_t channels, std::vector<float> samples,
                    std::vector<float> weight = {}) {
    DeepImage d;
    d.width = width;
    d.height = height;
    d.channels = channels;
    d.range = channels == 1 ? 65535 : 255;
    d.samples = std::move(samples);
    d.weight = std::move(weight);
    return d;
}

// The deep frame of an 8-bit image moved by a geometry gives, at every pixel, the 8-bit
// result before its truncation: the same value or up to one more (the SSE program rounds each
// of its operations), and the same validity.
void expectDeepFollowsView(const Image& view, const DeepImage& deep) {
    ASSERT_EQ(deep.width, view.width);
    ASSERT_EQ(deep.height, view.height);
    for (std::size_t i = 0; i < std::size_t(view.width) * std::size_t(view.height); ++i) {
        const std::uint8_t* p = view.pixels + 4 * i;
        EXPECT_NEAR(deep.weight[i] * 255.0f, float(p[3]), 1.01f) << i;
        for (int c = 0; c < 3; ++c) {
            const float v = deep.samples[3 * i + std::size_t(c)];
            EXPECT_GE(v + 1e-3f, float(p[2 - c])) << i;
            EXPECT_LT(v, float(p[2 - c]) + 1.001f) << i;
        }
    }
}

TEST(DeepStack, RotationAndShiftMatchTheEightBitResampling) {
    const OwnedImage frame(syntheticFrame(40, 30, 0, 0, 0, 3));
    const DeepImage deep = deepOf(frame.im);
    for (const auto& [degrees, shiftX, shiftY] :
         {std::array{0.0f, 3.0f, -2.0f}, {0.0f, 0.5f, 0.25f}, {2.5f, 1.0f, 4.0f}, {-7.0f, -3.0f, 0.0f}}) {
        const float angle = float(double(degrees) * 0.017453292522222223);
        const OwnedImage view(rotateAndShift(frame.im.pixels, 40, 30, 20, 15, angle, shiftX, shiftY));
        expectDeepFollowsView(view.im, rotateAndShiftDeep(deep, RigidGeometry{angle, shiftX, shiftY, 20, 15}, view.im));
    }
}

TEST(DeepStack, BlockDeformationMatchesTheEightBitDeformation) {
    const OwnedImage frame(syntheticFrame(48, 40, 0, 0, 0, 5));
    BlockDeformation blocks;
    blocks.spacing = 16;
    blocks.grid.columns = 3;
    blocks.grid.rows = 2;
    blocks.grid.offsetX = {0.5f, -1, 2, 0, 1.25f, -0.75f, 0, 0, 0, 0, 0, 0};
    blocks.grid.offsetY = {1, 0, -2, 0.5f, 0, 3, 0, 0, 0, 0, 0, 0};
    const OwnedImage view(deformImage(frame.im.pixels, 48, 40, 24, 20, blocks.grid, 16, 16));
    expectDeepFollowsView(view.im, deformDeep(deepOf(frame.im), blocks));
    blocks.grid.columns = 0;   // an empty grid leaves the frame as it was
    EXPECT_EQ(deformDeep(deepOf(frame.im), blocks).samples, deepOf(frame.im).samples);
}

TEST(DeepStack, MeanIsWeightedByValidityAndLaidByReferencePoints) {
    const OwnedImage reference(makeImage(3, 1, {0, 0, 0, 255}, 1, 0));
    DeepStack stack = startDeepStack(reference.im, deepImage(3, 1, 1, {}));
    addToDeepStack(stack, deepImage(3, 1, 1, {100, 200, 300}), 1, 0);
    // Premultiplied: 400 at weight 0.5 is a sample of 800. Laid one pixel to the left: its
    // pixel 1 on cell 0; its pixel 2 holds no data.
    addToDeepStack(stack, deepImage(3, 1, 1, {50, 400, 0}, {1.0f, 0.5f, 0.0f}), 2, 0);
    EXPECT_EQ(stack.frames, 2);
    EXPECT_FLOAT_EQ(deepMean(stack, 0, 0), (100 + 400) / 1.5f);
    EXPECT_FLOAT_EQ(deepMean(stack, 1, 0), 200.0f);
    EXPECT_FLOAT_EQ(deepMean(stack, 2, 0), 300.0f);
}

}   // namespace
