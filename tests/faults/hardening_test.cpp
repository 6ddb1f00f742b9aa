// Regression tests of what fuzzing found in the image files: a short 8-bit file announcing
// a large image.
#include <gtest/gtest.h>

#include "imageio/bmp_reader.h"
#include "support/test_images.h"

namespace {

class ShortFiles : public ::testing::Test {
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

// Found by the BMP reader's fuzz target: g/pal8topdown.bmp (127 x -64, 8 bits, pixel data at
// 1062, 9254 bytes) cut to 5034 bytes was accepted as a whole 8-bit image, and so, the rows being never
// read, 100 bytes could announce 16000 x 16000 pixels: a gigabyte of memory, then the same
// again for every aligned copy.
TEST_F(ShortFiles, AnEightBitFileShorterThanItsRowsIsUnusable) {
    im.width = 9;
    EXPECT_EQ(load(bmpBytes(127, -64, 8, 0, 1062, std::vector<std::uint8_t>(5034 - 1062, 1))), kBmpUnusable);
    EXPECT_EQ(out, loading() + "Erreur : fichier BMP tronque (5034 octets, 9253 attendus)\n");
    EXPECT_EQ(im.width, 9);
    EXPECT_EQ(im.pixels, nullptr);
    EXPECT_EQ(load(bmpBytes(16000, 16000, 8, 0, 54, std::vector<std::uint8_t>(46, 0))), kBmpUnusable);
    EXPECT_EQ(out, loading() + "Erreur : fichier BMP tronque (100 octets, 256000054 attendus)\n");
    EXPECT_EQ(im.pixels, nullptr);
}

TEST_F(ShortFiles, AWholeEightBitFileStillLoadsEvenWithoutTheFillOfItsLastRow) {
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

}  // namespace
