// The composite of 8-bit frames, its FITS files, and the sums files that runs split in parts
// write and kalvorine-merge adds up. Whole composites and deep stacks are golden runs, split
// runs are checked against whole ones (cli.merge), and the readers' runs check the average's
// single-precision reciprocal, the deep stack's mean and the sums files (fitsverify with
// CHECKSUM and DATASUM, the exact sums and header); these are the cases they miss.
#include "composite/composite.h"

#include "composite/sums_file.h"
#include "composite/sums_merge.h"
#include "imageio/fits_writer.h"
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

using FitsWriter = InFolder;

// A grid whose every cell holds the same sum: the stored value, the display maximum and the
// file's size (blocks of 2880 bytes, no fill when the data end on a block boundary).
TEST_F(FitsWriter, ManyImagesAreScaledToFitSixteenBits) {
    const struct {
        std::int32_t width, height, images;
        std::uint32_t sum;
        int stored;
        const char* mipsHi;
        std::size_t size;
    } cases[] = {
        {1, 1, 200, 51000, 32385, "32512", 5760},   // 51000 * 127 / 200
        {1, 1, 127, 30000, 30000, "32512", 5760},
        {1, 1, 126, 30000, 30000, "32256", 5760},
        {2, 2, 0, 77, 0, "0", 5760},
        {4, 0, 3, 7, 0, "768", 2880},
        {1440, 1, 1, 3, 3, "256", 5760},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.images);
        settings.reference.width = c.width;
        settings.reference.height = c.height;
        settings.imageCount = c.images;
        settings.compositeSums.assign(std::size_t(c.width) * std::size_t(c.height),
                                      CompositeCell{{c.sum, c.sum, c.sum}});
        EXPECT_TRUE(quiet([&] { return writeFitsChannel(path("c.fit").c_str(), 1); }));
        EXPECT_EQ(out, "");
        const std::vector<std::uint8_t> f = readFile(dir / "c.fit");
        ASSERT_EQ(f.size(), c.size);
        char card[81];   // the sixth card, its value ending in column 30
        std::snprintf(card, sizeof card, "MIPS-HI = %20s%50s", c.mipsHi, "");
        EXPECT_EQ(std::string(f.begin() + 400, f.begin() + 480), card);
        for (std::size_t i = 2880; i < f.size(); i += 2) {
            const bool cell = i - 2880 < 2 * settings.compositeSums.size();
            ASSERT_EQ(f[i] * 256 + f[i + 1], cell ? c.stored : 0) << i;
        }
    }
}

}   // namespace
