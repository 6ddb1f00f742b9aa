#include "imageio/bmp_reader.h"

#include <gtest/gtest.h>

#include <csignal>

#include "support/test_images.h"

namespace {

class BmpReader : public ::testing::Test {
protected:
    TempDir dir;
    Image im;
    std::string out;
    void TearDown() override { releasePixels(im); }
    int load(const std::vector<std::uint8_t>& bytes) {
        writeFile(dir / "in.bmp", bytes);
        const std::string path = (dir / "in.bmp").string();
        int result = -1;
        out = captureStdout([&] { result = loadBmp(im, path.c_str()); });
        return result;
    }
    std::string loading() const { return "Chargement du fichier " + (dir / "in.bmp").string(); }
};

TEST_F(BmpReader, OnePixelWideRowsArePaddedToFourBytesAndStoredBottomUp) {
    ASSERT_EQ(load(bmpBytes(1, 2, 24, 0, 54, {10, 20, 30, 0, 40, 50, 60, 0})), kBmpLoaded);
    EXPECT_EQ(im.width, 1);
    EXPECT_EQ(im.height, 2);
    EXPECT_EQ(pixelOf(im, 0, 0), (std::array<std::uint8_t, 4>{40, 50, 60, 255}));   // second row stored
    EXPECT_EQ(pixelOf(im, 0, 1), (std::array<std::uint8_t, 4>{10, 20, 30, 255}));
    EXPECT_EQ(out, "Chargement du fichier " + (dir / "in.bmp").string());
}

TEST_F(BmpReader, WidthFourHasNoFillAndWidthFiveHasOneFillByte) {
    std::vector<std::uint8_t> rows;
    for (int i = 0; i < 12; ++i) rows.push_back(std::uint8_t(i));
    ASSERT_EQ(load(bmpBytes(4, 1, 24, 0, 54, rows)), kBmpLoaded);
    EXPECT_EQ(pixelOf(im, 3, 0), (std::array<std::uint8_t, 4>{9, 10, 11, 255}));
    releasePixels(im);
    rows.clear();
    for (int r = 0; r < 2; ++r)
        for (int i = 0; i < 16; ++i) rows.push_back(std::uint8_t(r * 16 + i));
    ASSERT_EQ(load(bmpBytes(5, 2, 24, 0, 54, rows)), kBmpLoaded);
    EXPECT_EQ(pixelOf(im, 4, 1), (std::array<std::uint8_t, 4>{12, 13, 14, 255}));
    EXPECT_EQ(pixelOf(im, 0, 0), (std::array<std::uint8_t, 4>{16, 17, 18, 255}));
}

TEST_F(BmpReader, PixelDataOffsetIsHonouredAndTheSignatureIsNotChecked) {
    std::vector<std::uint8_t> bytes = bmpBytes(1, 1, 24, 0, 1078, {7, 8, 9, 0});
    bytes[0] = 'X';
    bytes[1] = 'Y';
    ASSERT_EQ(load(bytes), kBmpLoaded);
    EXPECT_EQ(pixelOf(im, 0, 0), (std::array<std::uint8_t, 4>{7, 8, 9, 255}));
}

TEST_F(BmpReader, ANegativeHeightMarksTopDownRows) {
    ASSERT_EQ(load(bmpBytes(1, -2, 24, 0, 54, {10, 20, 30, 0, 40, 50, 60, 0})), kBmpLoaded);
    EXPECT_EQ(im.height, 2);
    EXPECT_EQ(pixelOf(im, 0, 0), (std::array<std::uint8_t, 4>{10, 20, 30, 255}));
    EXPECT_EQ(pixelOf(im, 0, 1), (std::array<std::uint8_t, 4>{40, 50, 60, 255}));
}

TEST_F(BmpReader, EightBitFilesGiveAnInvalidImageAndAHundredNotices) {
    ASSERT_EQ(load(bmpBytes(3, 2, 8, 0, 54, std::vector<std::uint8_t>(8, 77))), kBmpLoaded);
    EXPECT_EQ(im.width, 3);
    EXPECT_EQ(im.height, 2);
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 3; ++x) EXPECT_EQ(pixelOf(im, x, y), (std::array<std::uint8_t, 4>{0, 0, 0, 0}));
    std::string expected = "Chargement du fichier " + (dir / "in.bmp").string();
    for (int i = 0; i < 100; ++i) expected += "La sauvegarde en N&B n'est pas encore possible\n";
    EXPECT_EQ(out, expected);
}

TEST_F(BmpReader, ZeroWidthOrHeightGivesAnImageWithoutPixels) {
    ASSERT_EQ(load(bmpBytes(5, 0, 24, 0, 54, {})), kBmpLoaded);
    EXPECT_EQ(im.pixels, nullptr);
    EXPECT_EQ(im.width, 5);
    ASSERT_EQ(load(bmpBytes(0, 3, 24, 0, 54, std::vector<std::uint8_t>(12, 0))), kBmpLoaded);
    EXPECT_EQ(im.pixels, nullptr);
    EXPECT_EQ(im.height, 3);
}

TEST_F(BmpReader, AMissingFileLeavesTheImageUntouched) {
    im.width = 7;
    const std::string path = (dir / "none.bmp").string();
    int result = -1;
    out = captureStdout([&] { result = loadBmp(im, path.c_str()); });
    EXPECT_EQ(result, kBmpNotOpened);
    EXPECT_EQ(im.width, 7);
    EXPECT_EQ(out, "Chargement du fichier " + path + "Erreur : impossible d'ouvrir l'image " + path + "\n");
}

TEST_F(BmpReader, UnusableFilesAreReportedAndLeaveTheImageUntouched) {
    struct Case {
        const char* name;
        std::vector<std::uint8_t> bytes;
        const char* message;
    };
    std::vector<std::uint8_t> truncated = bmpBytes(4, 4, 24, 0, 54, std::vector<std::uint8_t>(48, 1));
    truncated.resize(54 + 12 * 2 + 5);
    std::vector<std::uint8_t> offsetBeyond = bmpBytes(1, 1, 24, 0, 54, {1, 2, 3, 0});
    offsetBeyond[10] = 0xFF;   // pixel data at 4095
    offsetBeyond[11] = 0x0F;
    std::vector<std::uint8_t> lastFillMissing = bmpBytes(1, 2, 24, 0, 54, {1, 2, 3, 0, 4, 5, 6});
    const Case cases[] = {
        {"short header", std::vector<std::uint8_t>(20, 0), "Erreur : en-tete BMP incomplet\n"},
        {"negative width", bmpBytes(-3, 2, 24, 0, 54, std::vector<std::uint8_t>(24, 0)),
         "Erreur : largeur d'image negative (-3)\n"},
        {"huge in 100 bytes", bmpBytes(30000, 30000, 24, 0, 54, std::vector<std::uint8_t>(46, 0)),
         "Erreur : image trop grande (30000 x 30000 pixels; limite 65535 de cote, 268435456 en tout)\n"},
        {"reallybig", bmpBytes(3000000, 2000000, 24, 0, 54, {}),
         "Erreur : image trop grande (3000000 x 2000000 pixels; limite 65535 de cote, 268435456 en tout)\n"},
        {"height of a billion", bmpBytes(0, 1000000000, 24, 0, 54, {}),
         "Erreur : image trop grande (0 x 1000000000 pixels; limite 65535 de cote, 268435456 en tout)\n"},
        {"truncated rows", truncated, "Erreur : fichier BMP tronque (83 octets, 102 attendus)\n"},
        {"offset beyond the file", offsetBeyond, "Erreur : fichier BMP tronque (58 octets, 4098 attendus)\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        im = Image{};
        im.width = 9;
        EXPECT_EQ(load(c.bytes), kBmpUnusable);
        EXPECT_EQ(im.width, 9);
        EXPECT_EQ(im.pixels, nullptr);
        EXPECT_EQ(out, "Chargement du fichier " + (dir / "in.bmp").string() + c.message);
    }
    im = Image{};
    EXPECT_EQ(load(lastFillMissing), kBmpLoaded) << "only the fill of the last row is missing";
    EXPECT_EQ(pixelOf(im, 0, 0), (std::array<std::uint8_t, 4>{4, 5, 6, 255}));
}

// Found by the BMP reader's fuzz target: g/pal8topdown.bmp (127 x -64, 8 bits, pixel data at
// 1062, 9254 bytes) cut to 5034 bytes was accepted as a whole 8-bit image, and so, the rows being never
// read, 100 bytes could announce 16000 x 16000 pixels: a gigabyte of memory, then the same
// again for every aligned copy.
TEST_F(BmpReader, AnEightBitFileShorterThanItsRowsIsUnusable) {
    im.width = 9;
    EXPECT_EQ(load(bmpBytes(127, -64, 8, 0, 1062, std::vector<std::uint8_t>(5034 - 1062, 1))), kBmpUnusable);
    EXPECT_EQ(out, loading() + "Erreur : fichier BMP tronque (5034 octets, 9253 attendus)\n");
    EXPECT_EQ(im.width, 9);
    EXPECT_EQ(im.pixels, nullptr);
    EXPECT_EQ(load(bmpBytes(16000, 16000, 8, 0, 54, std::vector<std::uint8_t>(46, 0))), kBmpUnusable);
    EXPECT_EQ(out, loading() + "Erreur : fichier BMP tronque (100 octets, 256000054 attendus)\n");
    EXPECT_EQ(im.pixels, nullptr);
}

TEST_F(BmpReader, AWholeEightBitFileStillLoadsEvenWithoutTheFillOfItsLastRow) {
    // 5 x 2 at 8 bits: rows of 8 bytes; the last row needs only its 5 pixel bytes.
    ASSERT_EQ(load(bmpBytes(5, 2, 8, 0, 54, std::vector<std::uint8_t>(8 + 5, 3))), kBmpLoaded);
    EXPECT_EQ(im.width, 5);
    EXPECT_EQ(im.height, 2);
    EXPECT_EQ(pixelOf(im, 4, 1), (std::array<std::uint8_t, 4>{0, 0, 0, 0}));
    releasePixels(im);
    im = Image{};
    EXPECT_EQ(load(bmpBytes(5, 2, 8, 0, 54, std::vector<std::uint8_t>(8 + 4, 3))), kBmpUnusable);
    EXPECT_EQ(out, loading() + "Erreur : fichier BMP tronque (66 octets, 67 attendus)\n");
}

using BmpReaderDeathTest = BmpReader;

TEST_F(BmpReaderDeathTest, CompressionIsTestedBeforeDepthAndUnsupportedDepthsAreFatal) {
    for (const auto& [bits, compression] : std::vector<std::pair<int, int>>{{24, 1}, {32, 3}, {1, 0}, {4, 0}, {16, 0}, {32, 0}}) {
        SCOPED_TRACE(bits);
        writeFile(dir / "in.bmp", bmpBytes(2, 2, std::uint16_t(bits), std::uint32_t(compression), 54,
                                           std::vector<std::uint8_t>(16, 0)));
        const std::string path = (dir / "in.bmp").string();
        EXPECT_EXIT(loadBmp(im, path.c_str()), ::testing::KilledBySignal(SIGABRT), "");
    }
}

}  // namespace
