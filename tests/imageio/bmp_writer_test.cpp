#include "imageio/bmp_writer.h"

#include <filesystem>

#include "imageio/bmp_reader.h"
#include "support/with_settings.h"

namespace {

using Pixel = std::array<std::uint8_t, 4>;

class BmpWriter : public InFolder {
protected:
    bool save(const Image& im, const std::string& name) {
        return quiet([&] { return saveBmp(im, path(name).c_str()); });
    }
};

// Whole files against the test encoder, which leaves the resolution fields at zero. A row of
// width 0 still takes four bytes of fill.
TEST_F(BmpWriter, FilesAreTheHeaderThenBottomUpRowsPaddedToFourBytesWithZeros) {
    for (const auto& [width, height] : {std::pair{5, 3}, {4, 2}, {2, 1}, {7, 0}, {0, 3}}) {
        OwnedImage im(makeImageFrom(width, height, [](int x, int y) -> Pixel {
            return {std::uint8_t(x + 1), std::uint8_t(y + 1), 7, 255};
        }));
        ASSERT_TRUE(save(im.im, "rows.bmp"));
        std::vector<std::uint8_t> expected = encodeBmp24(im.im);
        expected[38] = expected[42] = 0x18;   // 2840 pixels a metre
        expected[39] = expected[43] = 0x0B;
        if (width == 0) expected.resize(std::size_t(expected[2] = std::uint8_t(54 + 4 * height)), 0);
        EXPECT_EQ(readFile(dir / "rows.bmp"), expected) << width << " x " << height;
    }
}

// Found by the fault runs: a 1 x 65535 frame (a 262 KB file) turned by 45 degrees was written
// as a 6.4 GB file whose 32-bit size field had wrapped. Sizes are checked before the file is
// created, so the pixel buffer is never read here.
TEST_F(BmpWriter, AnImageLargerThanTheReaderAcceptsIsRefusedBeforeAnyFileIsCreated) {
    for (const auto& [width, height] : {std::pair{65536, 1}, {1, 65536}, {46341, 46341}, {16385, 16384}}) {
        const std::string size = std::to_string(width) + " x " + std::to_string(height);
        EXPECT_FALSE(save(Image{nullptr, width, height, 0, 0}, "big.bmp")) << size;
        EXPECT_EQ(out, "Sauvegarde d'une image " + path("big.bmp") + " ERREUR : image trop grande (" + size +
                           " pixels; limite 65535 de cote, 268435456 en tout)\n");
        EXPECT_FALSE(std::filesystem::exists(dir / "big.bmp")) << size;
    }
}

TEST_F(BmpWriter, TheLargestSidesTheReaderAcceptsAreWrittenAndReadBack) {
    for (const auto& [width, height] : {std::pair{65535, 1}, {1, 65535}}) {
        OwnedImage im(makeImage(width, height, {1, 2, 3, 255})), back;
        EXPECT_TRUE(save(im.im, "edge.bmp"));
        ASSERT_EQ(quiet([&] { return loadBmp(back.im, path("edge.bmp").c_str()); }), kBmpLoaded);
        EXPECT_EQ(std::tuple(back.im.width, back.im.height, pixelOf(back.im, width - 1, height - 1)),
                  std::tuple(width, height, Pixel{1, 2, 3, 255}));
    }
}

}   // namespace
