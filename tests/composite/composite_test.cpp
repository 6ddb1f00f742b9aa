// The composite of 8-bit frames, the deep stack of camera frames, and the sums files that
// runs split in parts write and kalvorine-merge adds up. Whole composites are golden runs,
// split runs are checked against whole ones (cli.merge), and the readers' runs check the
// average's single-precision reciprocal, the deep stack's mean and the sums files (fitsverify
// with CHECKSUM and DATASUM, the exact sums and header) that kalvorine-merge reads back; these
// are the cases they miss.
#include "composite/composite.h"

#include "composite/deep_stack.h"
#include "composite/sums_file.h"
#include "composite/sums_merge.h"
#include "registration/resampling.h"
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
        EXPECT_EQ((std::array{sum(0, y, 0), sum(0, y, 1), sum(0, y, 2), sum(1, y, 0)}),
                  (std::array{(30u + y) * 128 / 255, 128u, 3u, 0u}));
        EXPECT_EQ(sum(2, y, 0) + sum(2, y, 1), 305u + y);   // whole validity: the bytes themselves
        for (int x = 3; x < 6; ++x) EXPECT_EQ(sum(x, y, 0) + sum(x, y, 1), 0u);
    }
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

// The deep frame of an 8-bit image moved by a geometry gives, at every pixel, the 8-bit
// result before its truncation: the same value or up to one more (the SSE program rounds each
// of its operations), and the same validity.
void expectDeepFollowsView(const Image& view, const DeepImage& deep) {
    ASSERT_EQ(std::tuple(deep.width, deep.height), std::tuple(view.width, view.height));
    for (std::size_t i = 0; i < std::size_t(view.width) * std::size_t(view.height); ++i) {
        EXPECT_NEAR(deep.weight[i] * 255.0f, float(view.pixels[4 * i + 3]), 1.01f) << i;
        for (int c = 0; c < 3; ++c) {
            const float v = deep.samples[3 * i + std::size_t(c)], byte = view.pixels[4 * i + std::size_t(2 - c)];
            EXPECT_TRUE(v + 1e-3f >= byte && v < byte + 1.001f) << i << ": " << v << " for " << byte;
        }
    }
}

TEST(DeepStack, RotationShiftAndBlockDeformationMatchTheEightBitResampling) {
    const OwnedImage frame(syntheticFrame(48, 40, 0, 0, 0, 3));
    const DeepImage deep = deepOf(frame.im);
    for (const auto& [degrees, shiftX, shiftY] :
         {std::array{0.0f, 3.0f, -2.0f}, {0.0f, 0.5f, 0.25f}, {2.5f, 1.0f, 4.0f}, {-7.0f, -3.0f, 0.0f}}) {
        const float angle = float(double(degrees) * 0.017453292522222223);
        const OwnedImage view(rotateAndShift(frame.im.pixels, 48, 40, 20, 15, angle, shiftX, shiftY));
        expectDeepFollowsView(view.im, rotateAndShiftDeep(deep, RigidGeometry{angle, shiftX, shiftY, 20, 15}, view.im));
    }
    BlockDeformation blocks;
    blocks.spacing = 16;
    blocks.grid.columns = 3;
    blocks.grid.rows = 2;
    blocks.grid.offsetX = {0.5f, -1, 2, 0, 1.25f, -0.75f, 0, 0, 0, 0, 0, 0};
    blocks.grid.offsetY = {1, 0, -2, 0.5f, 0, 3, 0, 0, 0, 0, 0, 0};
    const OwnedImage view(deformImage(frame.im.pixels, 48, 40, 24, 20, blocks.grid, 16, 16));
    expectDeepFollowsView(view.im, deformDeep(deep, blocks));
    blocks.grid.columns = 0;   // an empty grid leaves the frame as it was
    EXPECT_EQ(deformDeep(deep, blocks).samples, deep.samples);
}

class SumsFile : public InFolder {
protected:
    static SumsHeader header(std::int32_t width, std::int32_t height, std::int64_t listed, std::int64_t added) {
        return SumsHeader{ReferenceIdentity{"ref.bmp", width, height, width / 2, -3, 0x0123456789abcdefull}, listed,
                          added, 1};
    }
    std::string write(const std::string& name, const SumsHeader& h, const std::vector<CompositeCell>& sums) {
        EXPECT_TRUE(quiet([&] { return writeSumsFile(path(name).c_str(), h, sums); }));
        EXPECT_EQ(out, "");
        return path(name);
    }
    std::string why;
};

TEST_F(SumsFile, ASumItsFramesCouldNotHaveMadeIsRefused) {
    std::vector<CompositeCell> sums(4, CompositeCell{{255, 255, 255}});
    sums[2].sum[1] = 256;
    SumsHeader back;
    std::vector<CompositeCell> got;
    EXPECT_FALSE(readSumsFile(write("s.fit", header(2, 2, 1, 1), sums).c_str(), back, got, why));
    EXPECT_EQ(why, "fichier endommage (une somme depasse 255 x le nombre d'images ajoutees)");
}

TEST_F(SumsFile, TheReferenceIsKnownByItsFileNameSizePointAndColourBytes) {
    OwnedImage im(makeImage(4, 3, {10, 20, 30, 255}, 2, 1));
    const ReferenceIdentity a = identifyReference(im.im,
                                                  "../night one/r\x8E"
                                                  "f.bmp");
    EXPECT_EQ(std::tuple(a.name, a.width, a.x0), std::tuple(std::string("r?f.bmp"), 4, 2));
    pixelAt(im.im, 3, 2)[3] = 0;   // validity is not part of it
    EXPECT_EQ(identifyReference(im.im, "x").checksum, a.checksum);
    pixelAt(im.im, 3, 2)[2] = 31;
    EXPECT_NE(identifyReference(im.im, "x").checksum, a.checksum);
    EXPECT_EQ(identifyReference(im.im, std::string(200, 'n')).name.size(), 60u);
}

TEST_F(SumsFile, MergesWhoseSumsCouldPassThirtyTwoBitsAreRefused) {
    const std::vector<CompositeCell> sums(1, CompositeCell{{0, 0, 0}});
    const std::string a = write("a.fit", header(1, 1, 9000000, 9000000), sums);
    const std::string b = write("b.fit", header(1, 1, 9000000, 9000000), sums);
    EXPECT_EQ(quiet([&] { return mergeSumsFiles(path("m"), {a, b}); }), 1);
    EXPECT_NE(out.find("Erreur : trop d'images en tout (18000000 listees, 18000000 ajoutees)"), std::string::npos)
        << out;
    EXPECT_FALSE(std::filesystem::exists(path("mS.fit")) || std::filesystem::exists(path("m.bmp")));
}

}   // namespace
