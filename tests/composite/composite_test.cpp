#include "composite/composite.h"

#include "support/with_settings.h"

namespace {

class Composite : public InFolder {
protected:
    void SetUp() override {
        InFolder::SetUp();
        settings.reference = makeImage(6, 4, {0, 0, 0, 255}, 3, 2);
        startComposite();
    }
    std::uint32_t sum(int x, int y, int c) const { return settings.compositeSums[std::size_t(y * 6 + x)].sum[c]; }
};

TEST_F(Composite, ContributionsAreWeightedByValidityAndPlacedByReferencePoints) {
    OwnedImage im(makeImageFrom(6, 4, [](int x, int y) -> std::array<std::uint8_t, 4> {
        return {std::uint8_t(10 * x + y), 255, 7, std::uint8_t(x == 3 ? 128 : x == 4 ? 0 : 255)};
    }));
    im.im.x0 = 6;   // three columns right of the reference's point: image column 3 on cell 0
    im.im.y0 = 2;
    addToComposite(im.im);
    for (int y = 0; y < 4; ++y) {
        EXPECT_EQ(sum(0, y, 0), (30u + y) * 128 / 255);
        EXPECT_EQ(sum(0, y, 1), 128u);
        EXPECT_EQ(sum(0, y, 2), 3u);
        EXPECT_EQ(sum(1, y, 0), 0u);
        EXPECT_EQ(sum(2, y, 0) + sum(2, y, 1), 305u + y);   // whole validity: the bytes themselves
        for (int x = 3; x < 6; ++x) EXPECT_EQ(sum(x, y, 0) + sum(x, y, 1), 0u);
    }
}

TEST_F(Composite, TheAverageUsesTheSinglePrecisionReciprocalOfTheImageCount) {
    settings.compositeName = path("avg.x.bmp");
    settings.imageCount = 41;
    for (CompositeCell& c : settings.compositeSums) c = CompositeCell{{41 * 255, 3 * 255, 0}};
    out = captureStdout([] { finishComposite(); });
    EXPECT_EQ(out, "Sauvegarde de l'image compositee : " + settings.compositeName + "\nSauvegarde d'une image " +
                       path("avg") + ".bmp FIN\n");
    for (const char* suffix : {"R.fit", "V.fit", "B.fit"}) EXPECT_EQ(readFile(path("avg") + suffix).size(), 5760u);
    const std::vector<std::uint8_t> bmp = readFile(path("avg.bmp"));
    EXPECT_EQ(bmp[54], 254);   // 41 * 255 * float(1/41) lies just below 255
    EXPECT_EQ(bmp[55], 18);    // 765 / 41 = 18.66
    EXPECT_EQ(bmp[56], 0);
    EXPECT_TRUE(settings.compositeSums.empty());
    EXPECT_EQ(settings.composite.pixels, nullptr);
}

TEST_F(Composite, OnlyTheFirstDotCountsEvenInAFolderNameAndLongNamesAreNotCut) {
    std::filesystem::create_directory(dir / "out.d");
    settings.compositeName = path("out.d/sum.bmp");
    captureStdout([] { finishComposite(); });
    EXPECT_TRUE(std::filesystem::exists(path("outR.fit")));
    const std::vector<std::uint8_t> bmp = readFile(path("out.bmp"));
    EXPECT_EQ(std::vector<std::uint8_t>(bmp.begin() + 54, bmp.end()), std::vector<std::uint8_t>(bmp.size() - 54, 0));
    const std::filesystem::path deep = dir / std::string(200, 'd') / std::string(200, 'e');
    std::filesystem::create_directories(deep);
    settings.compositeName = (deep / std::string(200, 'n')).string();
    startComposite();
    captureStdout([] { finishComposite(); });
    EXPECT_TRUE(std::filesystem::exists(settings.compositeName + ".bmp"));
}

}   // namespace
