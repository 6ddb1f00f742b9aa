#include "composite/composite.h"

#include <gtest/gtest.h>

#include "support/test_images.h"
#include "support/with_settings.h"

namespace {

class Composite : public WithSettings {
protected:
    TempDir dir;
    void SetUp() override {
        WithSettings::SetUp();
        settings.reference = makeImage(6, 4, {0, 0, 0, 255}, 3, 2);
        startComposite();
    }
};

TEST_F(Composite, ContributionsAreWeightedByValidity) {
    OwnedImage im(makeImageFrom(6, 4, [](int x, int) -> std::array<std::uint8_t, 4> {
        return {255, 100, 7, std::uint8_t(x == 0 ? 128 : x == 1 ? 0 : 255)};
    }));
    im.im.x0 = 3;
    im.im.y0 = 2;
    addToComposite(im.im);
    EXPECT_EQ(settings.compositeSums[0].sum[0], 128u);
    EXPECT_EQ(settings.compositeSums[0].sum[1], 50u);
    EXPECT_EQ(settings.compositeSums[0].sum[2], 3u);
    EXPECT_EQ(settings.compositeSums[1].sum[0], 0u);
    EXPECT_EQ(settings.compositeSums[2].sum[0], 255u);
}

TEST_F(Composite, ImagesArePlacedByTheirReferencePoints) {
    OwnedImage im(makeImageFrom(6, 4, [](int x, int y) -> std::array<std::uint8_t, 4> {
        return {std::uint8_t(10 * x + y), 0, 0, 255};
    }));
    im.im.x0 = 6;   // three columns right of the reference's point
    im.im.y0 = 2;
    addToComposite(im.im);
    for (int y = 0; y < 4; ++y) {
        for (int x = 0; x < 3; ++x) EXPECT_EQ(settings.compositeSums[y * 6 + x].sum[0], 10u * (x + 3) + y);
        for (int x = 3; x < 6; ++x) EXPECT_EQ(settings.compositeSums[y * 6 + x].sum[0], 0u);
    }
}

TEST_F(Composite, TheAverageUsesTheSinglePrecisionReciprocalOfTheImageCount) {
    settings.compositeName = (dir / "avg.x.bmp").string();
    settings.imageCount = 41;
    for (CompositeCell& c : settings.compositeSums) c = CompositeCell{{41 * 255, 3 * 255, 0}};
    const std::string out = captureStdout([] { finishComposite(); });
    const std::string base = (dir / "avg").string();
    EXPECT_EQ(out, "Sauvegarde de l'image compositee : " + settings.compositeName + "\nSauvegarde d'une image " +
                       base + ".bmp FIN\n");
    for (const char* suffix : {"R.fit", "V.fit", "B.fit"}) EXPECT_EQ(readFile(base + suffix).size(), 5760u);
    const std::vector<std::uint8_t> bmp = readFile(base + ".bmp");
    EXPECT_EQ(bmp[54], 254);   // 41 * 255 * float(1/41) lies just below 255
    EXPECT_EQ(bmp[55], 18);    // 765 / 41 = 18.66
    EXPECT_EQ(bmp[56], 0);
    EXPECT_TRUE(settings.compositeSums.empty());
    EXPECT_EQ(settings.composite.pixels, nullptr);
}

TEST_F(Composite, OnlyTheFirstDotCountsEvenInAFolderName) {
    std::filesystem::create_directory(dir / "out.d");
    settings.compositeName = (dir / "out.d/sum.bmp").string();
    settings.imageCount = 0;
    captureStdout([] { finishComposite(); });
    const std::string base = (dir / "out").string();
    EXPECT_TRUE(std::filesystem::exists(base + "R.fit"));
    const std::vector<std::uint8_t> bmp = readFile(base + ".bmp");
    EXPECT_EQ(std::vector<std::uint8_t>(bmp.begin() + 54, bmp.end()), std::vector<std::uint8_t>(bmp.size() - 54, 0));
}

TEST_F(Composite, LongNamesAreNotCutShort) {
    const std::string longName(600, 'n');
    std::filesystem::create_directories(dir / std::string(200, 'd') / std::string(200, 'e'));
    settings.compositeName = (dir / std::string(200, 'd') / std::string(200, 'e') / longName.substr(0, 200)).string();
    captureStdout([] { finishComposite(); });
    EXPECT_TRUE(std::filesystem::exists(settings.compositeName + ".bmp"));
}

}  // namespace
