#include "imageio/fits_writer.h"

#include <gtest/gtest.h>

#include "support/test_images.h"
#include "support/with_settings.h"

namespace {

class FitsWriter : public WithSettings {
protected:
    TempDir dir;
    // A reference grid of width x height whose every cell holds sum in all channels.
    std::vector<std::uint8_t> write(std::int32_t width, std::int32_t height, std::int32_t images, std::uint32_t sum) {
        settings.reference.width = width;
        settings.reference.height = height;
        settings.imageCount = images;
        settings.compositeSums.assign(std::size_t(width) * std::size_t(height), CompositeCell{{sum, sum, sum}});
        const std::string path = (dir / "c.fit").string();
        bool ok = false;
        EXPECT_EQ(captureStdout([&] { ok = writeFitsChannel(path.c_str(), 1); }), "");
        EXPECT_TRUE(ok);
        return readFile(path);
    }
    static std::string card(const std::vector<std::uint8_t>& f, int index) {
        return std::string(f.begin() + 80 * index, f.begin() + 80 * index + 80);
    }
};

TEST_F(FitsWriter, CardsEndTheirValueInColumnThirty) {
    std::string out;
    writeCharacterCard(out, "SIMPLE", 'T');
    writeIntegerCard(out, "NAXIS1", 640);
    EXPECT_EQ(out.substr(0, 80), "SIMPLE  =" + std::string(20, ' ') + "T" + std::string(50, ' '));
    EXPECT_EQ(out.substr(80), "NAXIS1  =" + std::string(18, ' ') + "640" + std::string(50, ' '));
}

TEST_F(FitsWriter, ThreeByTwoWithTenImagesHoldsTheRawSumsBottomRowFirst) {
    settings.reference.width = 3;
    settings.reference.height = 2;
    settings.imageCount = 10;
    settings.compositeSums.resize(6);
    for (std::uint32_t i = 0; i < 6; ++i) settings.compositeSums[i] = CompositeCell{{0, 2000 + i, 0}};
    const std::string path = (dir / "c.fit").string();
    ASSERT_TRUE(writeFitsChannel(path.c_str(), 1));
    const std::vector<std::uint8_t> f = readFile(path);
    ASSERT_EQ(f.size(), 5760u);
    EXPECT_EQ(card(f, 1), "BITPIX  =" + std::string(19, ' ') + "16" + std::string(50, ' '));
    EXPECT_EQ(card(f, 2), "NAXIS   =" + std::string(20, ' ') + "2" + std::string(50, ' '));
    EXPECT_EQ(card(f, 4), "NAXIS2  =" + std::string(20, ' ') + "2" + std::string(50, ' '));
    EXPECT_EQ(card(f, 5), "MIPS-HI =" + std::string(17, ' ') + "2560" + std::string(50, ' '));
    EXPECT_EQ(card(f, 6), "MIPS-LO =" + std::string(20, ' ') + "0" + std::string(50, ' '));
    EXPECT_EQ(std::string(f.begin() + 560, f.begin() + 2880), "END" + std::string(2317, ' '));
    // Row 1 (cells 3, 4, 5) first: 2003 = 0x07D3.
    const std::vector<std::uint8_t> data(f.begin() + 2880, f.begin() + 2892);
    EXPECT_EQ(data, (std::vector<std::uint8_t>{0x07, 0xD3, 0x07, 0xD4, 0x07, 0xD5, 0x07, 0xD0, 0x07, 0xD1, 0x07, 0xD2}));
    EXPECT_EQ(std::vector<std::uint8_t>(f.begin() + 2892, f.end()), std::vector<std::uint8_t>(2868, 0));
}

TEST_F(FitsWriter, ManyImagesAreScaledToFitSixteenBits) {
    std::vector<std::uint8_t> f = write(1, 1, 200, 51000);   // 51000 * 127 / 200 = 32385
    EXPECT_EQ(f[2880], 0x7E);
    EXPECT_EQ(f[2881], 0x81);
    EXPECT_EQ(card(f, 5), "MIPS-HI =" + std::string(16, ' ') + "32512" + std::string(50, ' '));
    f = write(1, 1, 127, 30000);
    EXPECT_EQ(f[2880] * 256 + f[2881], 30000);
    EXPECT_EQ(card(f, 5).substr(9, 21), std::string(16, ' ') + "32512");
    f = write(1, 1, 126, 30000);
    EXPECT_EQ(card(f, 5).substr(9, 21), std::string(16, ' ') + "32256");
}

TEST_F(FitsWriter, NoImageGivesZerosAndAnEmptyGridTheHeaderAlone) {
    std::vector<std::uint8_t> f = write(2, 2, 0, 77);
    EXPECT_EQ(card(f, 5).substr(9, 21), std::string(20, ' ') + "0");
    EXPECT_EQ(std::vector<std::uint8_t>(f.begin() + 2880, f.end()), std::vector<std::uint8_t>(2880, 0));
    f = write(4, 0, 3, 7);
    EXPECT_EQ(f.size(), 2880u);
}

TEST_F(FitsWriter, DataEndingOnABlockBoundaryGetsNoPadding) {
    EXPECT_EQ(write(1440, 1, 1, 3).size(), 5760u);
}

TEST_F(FitsWriter, AFileThatCannotBeCreatedIsReported) {
    settings.reference.width = 1;
    settings.reference.height = 1;
    settings.compositeSums.assign(1, CompositeCell{{1, 1, 1}});
    const std::string path = (dir / "missing/c.fit").string();
    bool ok = true;
    EXPECT_EQ(captureStdout([&] { ok = writeFitsChannel(path.c_str(), 0); }),
              "Erreur : impossible de creer le fichier " + path + "\n");
    EXPECT_FALSE(ok);
}

}  // namespace
