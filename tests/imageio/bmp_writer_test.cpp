#include "imageio/bmp_writer.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sys/stat.h>

#include "imageio/bmp_reader.h"
#include "support/test_images.h"

namespace {

class BmpWriter : public ::testing::Test {
protected:
    TempDir dir;
    std::string out;
    bool save(const Image& im, const std::string& name) {
        const std::string path = (dir / name).string();
        bool ok = false;
        out = captureStdout([&] { ok = saveBmp(im, path.c_str()); });
        return ok;
    }
};

std::uint32_t le32(const std::vector<std::uint8_t>& b, std::size_t at) {
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | std::uint32_t(b[at + 3]) << 24;
}

TEST_F(BmpWriter, WritesTheFixedHeaderAndBottomUpPaddedRows) {
    OwnedImage im(makeImageFrom(1, 2, [](int, int y) -> std::array<std::uint8_t, 4> {
        return {std::uint8_t(10 + y), std::uint8_t(20 + y), std::uint8_t(30 + y), 0};
    }));
    ASSERT_TRUE(save(im.im, "one.bmp"));
    EXPECT_EQ(out, "Sauvegarde d'une image " + (dir / "one.bmp").string() + " FIN\n");
    const std::vector<std::uint8_t> expected = {
        'B', 'M', 62, 0, 0, 0, 0, 0, 0, 0, 54, 0, 0, 0, 40, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 1, 0, 24, 0,
        0, 0, 0, 0, 0, 0, 0, 0, 0x18, 0x0B, 0, 0, 0x18, 0x0B, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        11, 21, 31, 0, 10, 20, 30, 0};
    EXPECT_EQ(readFile(dir / "one.bmp"), expected);
}

TEST_F(BmpWriter, RowSizesFollowTheWidth) {
    OwnedImage five(makeImage(5, 3, {1, 2, 3, 255}));
    ASSERT_TRUE(save(five.im, "five.bmp"));
    std::vector<std::uint8_t> b = readFile(dir / "five.bmp");
    EXPECT_EQ(b.size(), 102u);
    EXPECT_EQ(le32(b, 2), 102u);
    EXPECT_EQ(b[54 + 15], 0);
    OwnedImage four(makeImage(4, 2, {1, 2, 3, 255}));
    ASSERT_TRUE(save(four.im, "four.bmp"));
    EXPECT_EQ(readFile(dir / "four.bmp").size(), 54u + 24u);
    OwnedImage flat(makeImage(7, 0, {1, 2, 3, 255}));
    ASSERT_TRUE(save(flat.im, "flat.bmp"));
    b = readFile(dir / "flat.bmp");
    EXPECT_EQ(b.size(), 54u);
    EXPECT_EQ(le32(b, 2), 54u);
    OwnedImage thin(makeImage(0, 3, {1, 2, 3, 255}));
    ASSERT_TRUE(save(thin.im, "thin.bmp"));
    b = readFile(dir / "thin.bmp");
    EXPECT_EQ(b.size(), 54u + 12u);
    EXPECT_EQ(std::vector<std::uint8_t>(b.begin() + 54, b.end()), std::vector<std::uint8_t>(12, 0));
}

TEST_F(BmpWriter, ReadThenWrittenKeepsEveryPixelByte) {
    OwnedImage scene(syntheticFrame(37, 23, 10, 1, 2));
    writeBmp(dir / "in.bmp", scene.im);
    OwnedImage loaded;
    const std::string in = (dir / "in.bmp").string();
    captureStdout([&] { loadBmp(loaded.im, in.c_str()); });
    ASSERT_TRUE(save(loaded.im, "again.bmp"));
    const std::vector<std::uint8_t> again = readFile(dir / "again.bmp"), original = readFile(dir / "in.bmp");
    ASSERT_EQ(again.size(), original.size());
    EXPECT_TRUE(std::equal(again.begin() + 54, again.end(), original.begin() + 54));
    EXPECT_EQ(le32(again, 38), 2840u);   // the header is rewritten with its own resolution
}

TEST_F(BmpWriter, AFileThatCannotBeCreatedIsReportedWithoutFin) {
    OwnedImage im(makeImage(2, 2, {1, 2, 3, 255}));
    EXPECT_FALSE(save(im.im, "no such folder/x.bmp"));
    EXPECT_EQ(out, "Sauvegarde d'une image " + (dir / "no such folder/x.bmp").string() +
                       " ERREUR : impossible de creer le fichier\n");
}

}  // namespace

namespace {

// An output written over a file already there holds exactly the new bytes, whether the old
// file was longer or shorter; outputs that are not regular files are written as before.
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
    bool ok = false;
    captureStdout([&] { ok = saveBmp(large.im, "/dev/null"); });
    EXPECT_TRUE(ok);
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
