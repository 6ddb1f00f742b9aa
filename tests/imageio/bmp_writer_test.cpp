#include "imageio/bmp_writer.h"

#include <filesystem>

#include "imageio/bmp_reader.h"
#include "support/with_settings.h"

namespace {

class BmpWriter : public InFolder {
protected:
    bool save(const Image& im, const std::string& name) {
        return quiet([&] { return saveBmp(im, path(name).c_str()); });
    }
};

std::uint32_t le32(const std::vector<std::uint8_t>& b, std::size_t at) {
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | std::uint32_t(b[at + 3]) << 24;
}

TEST_F(BmpWriter, RowsArePaddedToFourBytesWithZeros) {
    const struct {
        std::int32_t width, height;
        std::uint32_t size;
    } cases[] = {{5, 3, 54 + 3 * 16}, {4, 2, 54 + 2 * 12}, {2, 1, 54 + 8}, {7, 0, 54}, {0, 3, 54 + 3 * 4}};
    for (const auto& c : cases) {
        OwnedImage im(makeImage(c.width, c.height, {1, 2, 3, 255}));
        ASSERT_TRUE(save(im.im, "rows.bmp"));
        const std::vector<std::uint8_t> b = readFile(dir / "rows.bmp");
        ASSERT_EQ(b.size(), c.size) << c.width << " x " << c.height;
        EXPECT_EQ(le32(b, 2), c.size);
        const std::size_t row = (b.size() - 54) / std::size_t(std::max(c.height, 1));
        for (std::size_t i = 54; i < b.size(); ++i)
            EXPECT_EQ(b[i], (i - 54) % row < 3 * std::size_t(c.width) ? 1 + (i - 54) % row % 3 : 0) << i;
    }
}

// An output written over a file already there holds exactly the new bytes, whether the old
// file was longer or shorter.
TEST_F(BmpWriter, OverwritesAnExistingFileWithExactlyTheNewBytes) {
    OwnedImage small(makeImage(3, 2, {1, 2, 3, 255})), large(makeImage(40, 30, {9, 8, 7, 255}));
    ASSERT_TRUE(save(small.im, "fresh.bmp"));
    const std::vector<std::uint8_t> smallBytes = readFile(dir / "fresh.bmp");
    ASSERT_TRUE(save(large.im, "fresh.bmp"));
    const std::vector<std::uint8_t> largeBytes = readFile(dir / "fresh.bmp");
    ASSERT_TRUE(save(small.im, "fresh.bmp"));
    EXPECT_EQ(readFile(dir / "fresh.bmp"), smallBytes);
    ASSERT_TRUE(save(large.im, "other.bmp"));
    EXPECT_EQ(readFile(dir / "other.bmp"), largeBytes);
}

// Found by the fault runs: a 1 x 65535 frame (a 262 KB file) turned by 45 degrees was written
// as a 6.4 GB file whose 32-bit size field had wrapped. Sizes are checked before the file is
// created, so the pixel buffer is never read here.
TEST_F(BmpWriter, AnImageLargerThanTheReaderAcceptsIsRefusedBeforeAnyFileIsCreated) {
    for (const auto& [width, height] : {std::pair{65536, 1}, {1, 65536}, {46341, 46341}, {16385, 16384}}) {
        const std::string size = std::to_string(width) + " x " + std::to_string(height);
        Image im;
        im.width = width;
        im.height = height;
        EXPECT_FALSE(save(im, "big.bmp")) << size;
        EXPECT_EQ(out, "Sauvegarde d'une image " + path("big.bmp") + " ERREUR : image trop grande (" + size +
                           " pixels; limite 65535 de cote, 268435456 en tout)\n");
        EXPECT_FALSE(std::filesystem::exists(dir / "big.bmp")) << size;
    }
}

TEST_F(BmpWriter, TheLargestSidesTheReaderAcceptsAreWrittenAndReadBack) {
    for (const auto& [width, height] : {std::pair{65535, 1}, {1, 65535}}) {
        OwnedImage im(makeImage(width, height, {1, 2, 3, 255}));
        EXPECT_TRUE(save(im.im, "edge.bmp"));
        OwnedImage back;
        ASSERT_EQ(quiet([&] { return loadBmp(back.im, path("edge.bmp").c_str()); }), kBmpLoaded);
        EXPECT_EQ(back.im.width, width);
        EXPECT_EQ(back.im.height, height);
        EXPECT_EQ(pixelOf(back.im, width - 1, height - 1), (std::array<std::uint8_t, 4>{1, 2, 3, 255}));
    }
}

}   // namespace
