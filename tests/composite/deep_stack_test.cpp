#include "composite/deep_stack.h"

#include <gtest/gtest.h>

#include <cstring>

#include "registration/resampling.h"
#include "support/test_images.h"

namespace {

// The deep frame of an 8-bit image moved by a geometry gives, at every pixel, the 8-bit
// result before its truncation: the same value or up to one more (the SSE program rounds each
// of its operations), and the same validity.
void expectDeepFollowsView(const Image& view, const DeepImage& deep) {
    ASSERT_EQ(deep.width, view.width);
    ASSERT_EQ(deep.height, view.height);
    for (std::int32_t y = 0; y < view.height; ++y)
        for (std::int32_t x = 0; x < view.width; ++x) {
            const std::uint8_t* p = pixelAt(view, x, y);
            const std::size_t i = std::size_t(y) * std::size_t(view.width) + std::size_t(x);
            EXPECT_NEAR(deep.weight[i] * 255.0f, float(p[3]), 1.01f) << x << "," << y;
            for (int c = 0; c < 3; ++c) {
                const float v = deep.samples[3 * i + std::size_t(c)];
                EXPECT_GE(v + 1e-3f, float(p[2 - c])) << x << "," << y;
                EXPECT_LT(v, float(p[2 - c]) + 1.001f) << x << "," << y;
            }
        }
}

struct Move {
    float angleDegrees, shiftX, shiftY;
};

TEST(DeepStack, RotationAndShiftMatchTheEightBitResampling) {
    const OwnedImage frame(syntheticFrame(40, 30, 0, 0, 0, 3));
    const DeepImage deep = deepOf(frame.im);
    for (const Move m : {Move{0, 3, -2}, Move{0, 0.5f, 0.25f}, Move{2.5f, 1, 4}, Move{-7, -3, 0}}) {
        const float angle = float(double(m.angleDegrees) * 0.017453292522222223);
        const OwnedImage view(rotateAndShift(frame.im.pixels, 40, 30, 20, 15, angle, m.shiftX, m.shiftY));
        const DeepImage moved = rotateAndShiftDeep(deep, RigidGeometry{angle, m.shiftX, m.shiftY, 20, 15}, view.im);
        expectDeepFollowsView(view.im, moved);
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
    DeepImage grey;
    grey.width = 3;
    grey.height = 1;
    grey.channels = 1;
    grey.range = 65535;
    DeepStack stack = startDeepStack(reference.im, grey);
    DeepImage a = grey;
    a.samples = {100, 200, 300};
    addToDeepStack(stack, a, 1, 0);
    DeepImage b = grey;
    b.samples = {50, 400, 0};    // premultiplied: 400 at weight 0.5 is a sample of 800
    b.weight = {1.0f, 0.5f, 0.0f};
    addToDeepStack(stack, b, 2, 0);   // laid one pixel to the left: its pixel 1 on cell 0
    EXPECT_EQ(stack.frames, 2);
    EXPECT_FLOAT_EQ(deepMean(stack, 0, 0), (100 + 400) / 1.5f);
    EXPECT_FLOAT_EQ(deepMean(stack, 1, 0), 200.0f);   // b's pixel 2 holds no data
    EXPECT_FLOAT_EQ(deepMean(stack, 2, 0), 300.0f);
}

TEST(DeepStack, FitsHeaderNamesTheStackAndTheDataAreBigEndianFloatsBottomRowFirst) {
    const OwnedImage reference(makeImage(2, 2, {0, 0, 0, 255}));
    DeepImage f;
    f.width = 2;
    f.height = 2;
    f.channels = 3;
    f.samples = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12.5f};
    DeepStack stack = startDeepStack(reference.im, f);
    addToDeepStack(stack, f, 0, 0);
    const std::string fits = deepStackFits(stack, "2026-12-07T12:00:00");
    ASSERT_EQ(fits.size(), 2u * 2880u);
    EXPECT_EQ(fits.substr(0, 80), "SIMPLE  =                    T" + std::string(50, ' '));
    EXPECT_NE(fits.find("BITPIX  =                  -32"), std::string::npos);
    EXPECT_NE(fits.find("NAXIS3  =                    3"), std::string::npos);
    EXPECT_NE(fits.find("NCOMBINE=                    1"), std::string::npos);
    EXPECT_NE(fits.find("DATAMAX =                  255"), std::string::npos);
    EXPECT_NE(fits.find("CREATOR = 'Kalvorine 2.1'"), std::string::npos);
    EXPECT_NE(fits.find("DATE    = '2026-12-07T12:00:00'"), std::string::npos);
    // First value: red of the bottom-left pixel (7); the last: blue of the top-right (6).
    auto valueAt = [&](std::size_t k) {
        std::uint32_t bits = 0;
        for (int b = 0; b < 4; ++b) bits = bits << 8 | std::uint8_t(fits[2880 + 4 * k + std::size_t(b)]);
        float v;
        std::memcpy(&v, &bits, 4);
        return v;
    };
    EXPECT_EQ(valueAt(0), 7.0f);
    EXPECT_EQ(valueAt(3), 4.0f);   // red of the top-left pixel
    EXPECT_EQ(valueAt(11), 6.0f);
    std::string png;
    ASSERT_TRUE(deepStackPng(stack, png));
    EXPECT_EQ(png.substr(1, 3), "PNG");
    EXPECT_EQ(std::uint8_t(png[24]), 16);   // bit depth
    EXPECT_EQ(std::uint8_t(png[25]), 2);    // colour type RGB
}

}  // namespace
