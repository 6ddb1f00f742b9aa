#include "composite/sums_file.h"

#include <gtest/gtest.h>

#include "composite/sums_merge.h"
#include "support/test_images.h"
#include "support/with_settings.h"

namespace {

class SumsFile : public WithSettings {
protected:
    TempDir dir;

    static SumsHeader header(std::int32_t width, std::int32_t height, std::int64_t listed, std::int64_t added) {
        SumsHeader h;
        h.reference.name = "ref.bmp";
        h.reference.width = width;
        h.reference.height = height;
        h.reference.x0 = width / 2;
        h.reference.y0 = -3;
        h.reference.checksum = 0x0123456789abcdefull;
        h.framesListed = listed;
        h.framesAdded = added;
        h.runs = 1;
        return h;
    }
    std::string write(const std::string& name, const SumsHeader& h, const std::vector<CompositeCell>& sums) {
        const std::string path = (dir / name).string();
        EXPECT_EQ(captureStdout([&] { EXPECT_TRUE(writeSumsFile(path.c_str(), h, sums)); }), "");
        return path;
    }
};

TEST_F(SumsFile, WhatIsWrittenReadsBackCellForCell) {
    // 240 x 1: data of exactly one block, no fill to write or read.
    const std::pair<std::int32_t, std::int32_t> sizes[] = {{1, 1}, {3, 2}, {7, 5}, {61, 17}, {240, 1}};
    for (const auto& [width, height] : sizes) {
        std::vector<CompositeCell> sums(std::size_t(width) * std::size_t(height));
        for (std::uint32_t i = 0; i < sums.size(); ++i) sums[i] = CompositeCell{{i * 7 % 3001, 3000 - i % 3001, 0}};
        sums.back().sum[2] = 255u * 3000u;   // the largest sum 3000 frames can make
        const SumsHeader h = header(width, height, 3100, 3000);
        const std::string path = write("s.fit", h, sums);
        EXPECT_EQ(readFile(path).size() % 2880, 0u);
        SumsHeader back;
        std::vector<CompositeCell> read;
        std::string why;
        ASSERT_TRUE(readSumsFile(path.c_str(), back, read, why)) << why;
        EXPECT_EQ(back.reference.name, "ref.bmp");
        EXPECT_EQ(back.reference.width, width);
        EXPECT_EQ(back.reference.x0, width / 2);
        EXPECT_EQ(back.reference.y0, -3);
        EXPECT_EQ(back.reference.checksum, 0x0123456789abcdefull);
        EXPECT_EQ(back.framesListed, 3100);
        EXPECT_EQ(back.framesAdded, 3000);
        ASSERT_EQ(read.size(), sums.size());
        for (std::size_t i = 0; i < sums.size(); ++i)
            for (int c = 0; c < 3; ++c) ASSERT_EQ(read[i].sum[c], sums[i].sum[c]) << "cell " << i << " channel " << c;
    }
}

TEST_F(SumsFile, TheChecksumEncodingMakesTheWholeSumNegativeZero) {
    // A card-aligned block with the CHECKSUM placeholder at column 12 of its second card.
    for (std::uint32_t seed : {0u, 1u, 77u, 4242u, 99999u}) {
        std::string block(160, ' ');
        for (std::size_t i = 0; i < 80; ++i) block[i] = char(' ' + (seed * 31 + i * i) % 90);
        block.replace(80 + 11, 16, "0000000000000000");
        const std::uint32_t data = seed * 2654435761u;
        const std::string code = encodeChecksum(onesComplementSum(block.data(), block.size(), data));
        EXPECT_EQ(code.find_first_not_of("0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"), std::string::npos);
        block.replace(80 + 11, 16, code);
        EXPECT_EQ(onesComplementSum(block.data(), block.size(), data), 0xFFFFFFFFu) << code;
    }
    EXPECT_EQ(addOnesComplement(0xFFFFFFFFu, 1), 1u);   // the carry goes round
}

TEST_F(SumsFile, ASumItsFramesCouldNotHaveMadeIsRefused) {
    std::vector<CompositeCell> sums(4, CompositeCell{{255, 255, 255}});
    sums[2].sum[1] = 256;
    const std::string path = write("s.fit", header(2, 2, 1, 1), sums);
    SumsHeader back;
    std::vector<CompositeCell> read;
    std::string why;
    EXPECT_FALSE(readSumsFile(path.c_str(), back, read, why));
    EXPECT_EQ(why, "fichier endommage (une somme depasse 255 x le nombre d'images ajoutees)");
}

TEST_F(SumsFile, TheReferenceIsKnownByItsFileNameSizePointAndColourBytes) {
    OwnedImage im(makeImage(4, 3, {10, 20, 30, 255}, 2, 1));
    const ReferenceIdentity a = identifyReference(im.im, "../night one/r\x8E" "f.bmp");
    EXPECT_EQ(a.name, "r?f.bmp");
    EXPECT_EQ(a.width, 4);
    EXPECT_EQ(a.x0, 2);
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
    const std::string stem = (dir / "m").string();
    int status = -1;
    const std::string out = captureStdout([&] { status = mergeSumsFiles(stem, {a, b}); });
    EXPECT_EQ(status, 1);
    EXPECT_NE(out.find("Erreur : trop d'images en tout (18000000 listees, 18000000 ajoutees)"), std::string::npos) << out;
    EXPECT_FALSE(std::filesystem::exists(stem + "S.fit"));
    EXPECT_FALSE(std::filesystem::exists(stem + ".bmp"));
}

}  // namespace
