// The BMP reader on small files made byte by byte, and the BMP writer.
#include <filesystem>
#include <numeric>

#include "imageio/bmp_reader.h"
#include "imageio/bmp_writer.h"
#include "support/with_settings.h"

namespace {

using Pixel = std::array<std::uint8_t, 4>;

// One file given to the reader and what must come of it. A refused file leaves the image
// untouched (it comes in as 9 x 0 without pixels). The files that reach the fatal stop
// (compressed, other depths), 8-bit files and a really big one are run by the BMP Suite
// whole runs.
struct BmpCase {
    const char* what;
    std::vector<std::uint8_t> bytes;   // empty: no file at all
    int result;
    std::string message;   // printed after "Chargement du fichier <path>"
    std::int32_t width, height;
    std::vector<std::tuple<std::int32_t, std::int32_t, Pixel>> probes;   // x, y and the pixel there
};

std::vector<std::uint8_t> patched(std::vector<std::uint8_t> bytes, std::initializer_list<std::pair<int, int>> at) {
    for (const auto& [i, v] : at) bytes[std::size_t(i)] = std::uint8_t(v);
    return bytes;
}

std::vector<std::uint8_t> counting(int n) {
    std::vector<std::uint8_t> v(std::size_t(n), 0);
    std::iota(v.begin(), v.end(), 0);
    return v;
}

std::string tooLarge(const char* size) {
    return std::string("Erreur : image trop grande (") + size + " pixels; limite 65535 de cote, 268435456 en tout)\n";
}

std::string hundredNotices() {
    std::string s;
    for (int i = 0; i < 100; ++i) s += "La sauvegarde en N&B n'est pas encore possible\n";
    return s;
}

// One case a line, as a table reads (not reflowed by clang-format).
// clang-format off
const std::vector<BmpCase>& bmpCases() {
    static const std::vector<BmpCase> cases = {
        {"rows of one pixel padded to four bytes, stored bottom up", bmpBytes(1, 2, 24, 0, 54, {10, 20, 30, 0, 40, 50, 60, 0}),
         kBmpLoaded, "", 1, 2, {{0, 0, {40, 50, 60, 255}}, {0, 1, {10, 20, 30, 255}}}},
        {"a negative height marks top-down rows", bmpBytes(1, -2, 24, 0, 54, {10, 20, 30, 0, 40, 50, 60, 0}),
         kBmpLoaded, "", 1, 2, {{0, 0, {10, 20, 30, 255}}, {0, 1, {40, 50, 60, 255}}}},
        {"width 4: no fill", bmpBytes(4, 1, 24, 0, 54, counting(12)), kBmpLoaded, "", 4, 1, {{3, 0, {9, 10, 11, 255}}}},
        {"width 5: one fill byte", bmpBytes(5, 2, 24, 0, 54, counting(32)), kBmpLoaded, "", 5, 2,
         {{4, 1, {12, 13, 14, 255}}, {0, 0, {16, 17, 18, 255}}}},
        {"the data offset is honoured, the signature not checked",
         patched(bmpBytes(1, 1, 24, 0, 1078, {7, 8, 9, 0}), {{0, 'X'}, {1, 'Y'}}), kBmpLoaded, "", 1, 1, {{0, 0, {7, 8, 9, 255}}}},
        {"only the fill of the last row missing", bmpBytes(1, 2, 24, 0, 54, {1, 2, 3, 0, 4, 5, 6}), kBmpLoaded, "", 1, 2,
         {{0, 0, {4, 5, 6, 255}}}},
        {"8 bits, 5 x 2: the last row needs only its 5 pixel bytes", bmpBytes(5, 2, 8, 0, 54, std::vector<std::uint8_t>(13, 3)),
         kBmpLoaded, hundredNotices(), 5, 2, {{4, 1, {0, 0, 0, 0}}}},
        {"zero height", bmpBytes(5, 0, 24, 0, 54, {}), kBmpLoaded, "", 5, 0, {}},
        {"zero width", bmpBytes(0, 3, 24, 0, 54, std::vector<std::uint8_t>(12, 0)), kBmpLoaded, "", 0, 3, {}},
        {"missing file", {}, kBmpNotOpened, "", 9, 0, {}},
        {"short header", std::vector<std::uint8_t>(20, 0), kBmpUnusable, "Erreur : en-tete BMP incomplet\n", 9, 0, {}},
        {"negative width", bmpBytes(-3, 2, 24, 0, 54, std::vector<std::uint8_t>(24, 0)), kBmpUnusable,
         "Erreur : largeur d'image negative (-3)\n", 9, 0, {}},
        {"huge in 100 bytes", bmpBytes(30000, 30000, 24, 0, 54, std::vector<std::uint8_t>(46, 0)), kBmpUnusable,
         tooLarge("30000 x 30000"), 9, 0, {}},
        {"a height of a billion", bmpBytes(0, 1000000000, 24, 0, 54, {}), kBmpUnusable, tooLarge("0 x 1000000000"), 9, 0, {}},
        {"truncated rows", bmpBytes(4, 4, 24, 0, 54, std::vector<std::uint8_t>(29, 1)), kBmpUnusable,
         "Erreur : fichier BMP tronque (83 octets, 102 attendus)\n", 9, 0, {}},
        {"data offset beyond the file", patched(bmpBytes(1, 1, 24, 0, 54, {1, 2, 3, 0}), {{10, 0xFF}, {11, 0x0F}}),
         kBmpUnusable, "Erreur : fichier BMP tronque (58 octets, 4098 attendus)\n", 9, 0, {}},
        // Found by the BMP reader's fuzz target: a cut 8-bit file was accepted whole, its
        // rows never read, so 100 bytes could announce 16000 x 16000 pixels (a gigabyte,
        // then as much again for every aligned copy).
        {"8 bits cut short", bmpBytes(127, -64, 8, 0, 1062, std::vector<std::uint8_t>(5034 - 1062, 1)), kBmpUnusable,
         "Erreur : fichier BMP tronque (5034 octets, 9253 attendus)\n", 9, 0, {}},
        {"8 bits, 16000 x 16000 in 100 bytes", bmpBytes(16000, 16000, 8, 0, 54, std::vector<std::uint8_t>(46, 0)),
         kBmpUnusable, "Erreur : fichier BMP tronque (100 octets, 256000054 attendus)\n", 9, 0, {}},
        {"8 bits, one pixel byte short", bmpBytes(5, 2, 8, 0, 54, std::vector<std::uint8_t>(12, 3)), kBmpUnusable,
         "Erreur : fichier BMP tronque (66 octets, 67 attendus)\n", 9, 0, {}},
    };
    return cases;
}
// clang-format on

class BmpReader : public InFolder, public ::testing::WithParamInterface<BmpCase> {};

TEST_P(BmpReader, LoadsOrRefusesAsAnnounced) {
    const BmpCase& c = GetParam();
    const std::string file = path("in.bmp");
    if (!c.bytes.empty()) writeFile(file, c.bytes);
    OwnedImage im;
    im.im.width = 9;
    ASSERT_EQ(quiet([&] { return loadBmp(im.im, file.c_str()); }), c.result) << out;
    const std::string notOpened =
        c.result == kBmpNotOpened ? "Erreur : impossible d'ouvrir l'image " + file + "\n" : "";
    EXPECT_EQ(out, "Chargement du fichier " + file + notOpened + c.message);
    EXPECT_EQ(std::tuple(im.im.width, im.im.height, im.im.pixels != nullptr),
              std::tuple(c.width, c.height, c.width * c.height != 0));
    for (const auto& [x, y, pixel] : c.probes) EXPECT_EQ(pixelOf(im.im, x, y), pixel) << x << "," << y;
}

INSTANTIATE_TEST_SUITE_P(Files, BmpReader, ::testing::ValuesIn(bmpCases()),
                         [](const auto& info) { return caseName(info.param.what); });

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
