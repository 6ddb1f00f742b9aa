// Regression tests of what fuzzing and the fault runs found in the image files: a short
// 8-bit file announcing a large image, and a writer that wrote what the reader refuses.
#include <gtest/gtest.h>

#include <filesystem>

#include "imageio/bmp_reader.h"
#include "imageio/bmp_writer.h"
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

// Found by the fault runs: a 1 x 65535 frame (a 262 KB file) turned by 45 degrees was written
// as a 6.4 GB file whose 32-bit size field had wrapped. Sizes are checked before the file is
// created, so the pixel buffer is never read here.
TEST(BmpWriterLimits, AnImageLargerThanTheReaderAcceptsIsRefusedBeforeAnyFileIsCreated) {
    TempDir dir;
    const std::pair<std::int32_t, std::int32_t> sizes[] = {{65536, 1}, {1, 65536}, {46341, 46341}, {16385, 16384}};
    for (const auto& [width, height] : sizes) {
        SCOPED_TRACE(std::to_string(width) + " x " + std::to_string(height));
        Image im;
        im.width = width;
        im.height = height;
        const std::string path = (dir / "big.bmp").string();
        bool saved = true;
        const std::string out = captureStdout([&] { saved = saveBmp(im, path.c_str()); });
        EXPECT_FALSE(saved);
        EXPECT_EQ(out, "Sauvegarde d'une image " + path + " ERREUR : image trop grande (" + std::to_string(width) +
                           " x " + std::to_string(height) + " pixels; limite 65535 de cote, 268435456 en tout)\n");
        EXPECT_FALSE(std::filesystem::exists(path));
    }
}

TEST(BmpWriterLimits, TheLargestSidesTheReaderAcceptsAreWrittenAndReadBack) {
    TempDir dir;
    Image wide = makeImage(65535, 1, {1, 2, 3, 255});
    Image tall = makeImage(1, 65535, {4, 5, 6, 255});
    for (Image* im : {&wide, &tall}) {
        const std::string path = (dir / "edge.bmp").string();
        bool saved = false;
        captureStdout([&] { saved = saveBmp(*im, path.c_str()); });
        EXPECT_TRUE(saved);
        Image back;
        int result = -1;
        captureStdout([&] { result = loadBmp(back, path.c_str()); });
        ASSERT_EQ(result, kBmpLoaded);
        EXPECT_EQ(back.width, im->width);
        EXPECT_EQ(back.height, im->height);
        EXPECT_EQ(pixelOf(back, back.width - 1, back.height - 1), pixelOf(*im, im->width - 1, im->height - 1));
        releasePixels(back);
        releasePixels(*im);
    }
}

}  // namespace
