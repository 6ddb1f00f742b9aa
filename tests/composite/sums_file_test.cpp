#include "composite/sums_file.h"

#include "composite/sums_merge.h"
#include "support/with_settings.h"

namespace {

class SumsFile : public InFolder {
protected:
    static SumsHeader header(std::int32_t width, std::int32_t height, std::int64_t listed, std::int64_t added) {
        SumsHeader h;
        h.reference = ReferenceIdentity{"ref.bmp", width, height, width / 2, -3, 0x0123456789abcdefull};
        h.framesListed = listed;
        h.framesAdded = added;
        h.runs = 1;
        return h;
    }
    std::string write(const std::string& name, const SumsHeader& h, const std::vector<CompositeCell>& sums) {
        EXPECT_TRUE(quiet([&] { return writeSumsFile(path(name).c_str(), h, sums); }));
        EXPECT_EQ(out, "");
        return path(name);
    }
    bool read(const std::string& file, SumsHeader& back, std::vector<CompositeCell>& sums) {
        return readSumsFile(file.c_str(), back, sums, why);
    }
    std::string why;
};

TEST_F(SumsFile, WhatIsWrittenReadsBackCellForCell) {
    // 240 x 1: data of exactly one block, no fill to write or read.
    for (const auto& [width, height] : {std::pair{1, 1}, {3, 2}, {7, 5}, {61, 17}, {240, 1}}) {
        std::vector<CompositeCell> sums(std::size_t(width) * std::size_t(height));
        for (std::uint32_t i = 0; i < sums.size(); ++i) sums[i] = CompositeCell{{i * 7 % 3001, 3000 - i % 3001, 0}};
        sums.back().sum[2] = 255u * 3000u;   // the largest sum 3000 frames can make
        const std::string file = write("s.fit", header(width, height, 3100, 3000), sums);
        EXPECT_EQ(readFile(file).size() % 2880, 0u);
        SumsHeader back;
        std::vector<CompositeCell> got;
        ASSERT_TRUE(read(file, back, got)) << why;
        const ReferenceIdentity& r = back.reference;
        EXPECT_EQ(std::tuple(r.name, r.width, r.height, r.x0, r.y0, r.checksum),
                  std::tuple(std::string("ref.bmp"), width, height, width / 2, -3, 0x0123456789abcdefull));
        EXPECT_EQ(back.framesListed, 3100);
        EXPECT_EQ(back.framesAdded, 3000);
        ASSERT_EQ(got.size(), sums.size());
        for (std::size_t i = 0; i < sums.size(); ++i)
            for (int c = 0; c < 3; ++c) ASSERT_EQ(got[i].sum[c], sums[i].sum[c]) << "cell " << i << " channel " << c;
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
        EXPECT_EQ(code.find_first_not_of("0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"),
                  std::string::npos);
        block.replace(80 + 11, 16, code);
        EXPECT_EQ(onesComplementSum(block.data(), block.size(), data), 0xFFFFFFFFu) << code;
    }
    EXPECT_EQ(addOnesComplement(0xFFFFFFFFu, 1), 1u);   // the carry goes round
}

TEST_F(SumsFile, ASumItsFramesCouldNotHaveMadeIsRefused) {
    std::vector<CompositeCell> sums(4, CompositeCell{{255, 255, 255}});
    sums[2].sum[1] = 256;
    SumsHeader back;
    std::vector<CompositeCell> got;
    EXPECT_FALSE(read(write("s.fit", header(2, 2, 1, 1), sums), back, got));
    EXPECT_EQ(why, "fichier endommage (une somme depasse 255 x le nombre d'images ajoutees)");
}

TEST_F(SumsFile, TheReferenceIsKnownByItsFileNameSizePointAndColourBytes) {
    OwnedImage im(makeImage(4, 3, {10, 20, 30, 255}, 2, 1));
    const ReferenceIdentity a = identifyReference(im.im,
                                                  "../night one/r\x8E"
                                                  "f.bmp");
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
    EXPECT_EQ(quiet([&] { return mergeSumsFiles(path("m"), {a, b}); }), 1);
    EXPECT_NE(out.find("Erreur : trop d'images en tout (18000000 listees, 18000000 ajoutees)"), std::string::npos)
        << out;
    EXPECT_FALSE(std::filesystem::exists(path("mS.fit")));
    EXPECT_FALSE(std::filesystem::exists(path("m.bmp")));
}

}   // namespace
