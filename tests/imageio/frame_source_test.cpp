#include "imageio/frame_source.h"

#include <gtest/gtest.h>

#include "support/camera_files.h"
#include "support/random.h"
#include "support/test_images.h"

namespace {

class FrameSource : public ::testing::Test {
protected:
    TempDir dir;
    Image im;
    DeepImage deep;
    std::string out;
    void TearDown() override { releasePixels(im); }
    int load(const std::vector<std::uint8_t>& bytes, std::int64_t index = 0, const char* name = "in.dat") {
        writeFile(dir / name, bytes);
        const std::string path = (dir / name).string();
        int result = -1;
        out = captureStdout([&] { result = loadFrame(path.c_str(), index, im, deep); });
        return result;
    }
    bool probe(const std::vector<std::uint8_t>& bytes, FrameSourceInfo& info) {
        writeFile(dir / "probe.dat", bytes);
        const std::string path = (dir / "probe.dat").string();
        bool ok = false;
        out = captureStdout([&] { ok = probeFrameSource(path.c_str(), info); });
        return ok;
    }
};

// A smooth field with a little noise, below 2^depth: neighbours differ little, as in a
// picture, so that the byte order can be told from the data.
std::vector<std::uint16_t> smoothSamples(std::int32_t width, std::int32_t height, std::int32_t planes,
                                         std::int32_t depth, std::uint64_t seed) {
    TestRandom random(seed);
    const std::int32_t top = (1 << depth) - 1;
    std::vector<std::uint16_t> v;
    for (std::int32_t y = 0; y < height; ++y)
        for (std::int32_t x = 0; x < width; ++x)
            for (std::int32_t c = 0; c < planes; ++c) {
                const std::int32_t base = (x * 37 + y * 23 + c * 101) * top / (width * 37 + height * 23 + 300);
                v.push_back(std::uint16_t(std::min(top, base + random.range(0, top / 64))));
            }
    return v;
}

struct SerCase {
    std::int32_t colourId;
    std::int32_t depth;
    bool littleEndian;
    std::int32_t flag;   // as written: the inverted flag some capture programs write
};

class SerRoundTrip : public FrameSource, public ::testing::WithParamInterface<SerCase> {};

TEST_P(SerRoundTrip, EveryFrameReadsBackToTheSamplesWritten) {
    const SerCase c = GetParam();
    SerVideo v;
    v.colourId = c.colourId;
    v.depth = c.depth;
    v.littleEndian = c.littleEndian;
    v.endianFlag = c.flag;
    v.width = 12;
    v.height = 6;
    v.timestamps = true;
    const std::int32_t planes = c.colourId >= 100 ? 3 : 1;
    for (std::uint64_t k = 0; k < 3; ++k) v.frames.push_back(smoothSamples(v.width, v.height, planes, c.depth, k + 1));
    for (std::int64_t k = 0; k < 3; ++k) {
        ASSERT_EQ(load(serBytes(v), k), kFrameLoaded) << out;
        ASSERT_EQ(deep.width, 12);
        ASSERT_EQ(deep.height, 6);
        EXPECT_EQ(deep.range, c.depth > 8 ? 65535.0f : 255.0f);
        const std::vector<std::uint16_t>& f = v.frames[std::size_t(k)];
        std::vector<float> expected(f.begin(), f.end());
        if (c.colourId == 101)
            for (std::size_t i = 0; i < expected.size(); i += 3) std::swap(expected[i], expected[i + 2]);
        if (c.colourId >= 8 && c.colourId <= 11) {
            const char* patterns[] = {"RGGB", "GRBG", "GBRG", "BGGR"};
            expected = demosaicBilinear(expected, 12, 6, patterns[c.colourId - 8]);
        }
        EXPECT_EQ(deep.channels, c.colourId == 0 ? 1 : 3);
        EXPECT_EQ(deep.samples, expected) << "frame " << k;
    }
}

std::vector<SerCase> serCases() {
    std::vector<SerCase> cases;
    for (const std::int32_t id : {0, 8, 9, 10, 11, 100, 101}) {
        cases.push_back({id, 8, true, 0});
        for (const std::int32_t depth : {12, 16})
            for (const bool little : {true, false})
                for (const bool inverted : {false, true}) cases.push_back({id, depth, little, (little != inverted) ? 1 : 0});
    }
    return cases;
}

INSTANTIATE_TEST_SUITE_P(EveryColourDepthAndOrder, SerRoundTrip, ::testing::ValuesIn(serCases()));

TEST_F(FrameSource, ATruncatedVideoKeepsItsWholeFramesAndReportsTheRest) {
    SerVideo v;
    v.width = 4;
    v.height = 2;
    v.frames = {std::vector<std::uint16_t>(8, 1), std::vector<std::uint16_t>(8, 2), std::vector<std::uint16_t>(8, 3)};
    std::vector<std::uint8_t> bytes = serBytes(v);
    bytes.resize(bytes.size() - 3);   // the last frame cut short
    FrameSourceInfo info;
    ASSERT_TRUE(probe(bytes, info));
    EXPECT_EQ(info.frames, 2);
    EXPECT_EQ(info.announced, 3);
    EXPECT_EQ(out, "");
    ASSERT_EQ(load(bytes, 1), kFrameLoaded);
    EXPECT_EQ(deep.samples, std::vector<float>(8, 2.0f));
    EXPECT_EQ(load(bytes, 2), kFrameUnusable);
    EXPECT_NE(out.find("Erreur : image 2 absente de la video (2 images entieres)"), std::string::npos) << out;
}

struct BadSer {
    const char* what;
    std::int32_t colourId, depth, width, height, announced;
    const char* message;
};

TEST_F(FrameSource, BadSerHeadersAreReportedInFrench) {
    const BadSer cases[] = {
        {"colour", 7, 8, 4, 2, 1, "Erreur : code couleur SER non supporte (7)"},
        {"depth", 0, 17, 4, 2, 1, "Erreur : profondeur SER non supportee (17 bits)"},
        {"width", 0, 8, 70000, 1, 1, "Erreur : taille d'image refusee (70000 x 1 pixels"},
        {"area", 0, 8, 65535, 65535, 1, "Erreur : taille d'image refusee (65535 x 65535 pixels"},
        {"negative", 0, 8, -4, 2, 1, "Erreur : taille d'image refusee (-4 x 2 pixels"},
        {"no frames", 0, 8, 4, 2, 0, "Erreur : video SER sans image (0 annoncees)"},
        {"huge count", 0, 16, 4000, 4000, 2000000000, "Erreur : video SER tronquee, aucune image entiere"},
    };
    for (const BadSer& c : cases) {
        SerVideo v;
        v.colourId = c.colourId;
        v.depth = c.depth;
        v.width = c.width;
        v.height = c.height;
        v.announced = c.announced;
        v.frames = {std::vector<std::uint16_t>(8, 1)};
        EXPECT_EQ(load(serBytes(v)), kFrameUnusable) << c.what;
        EXPECT_NE(out.find(c.message), std::string::npos) << c.what << ": " << out;
        EXPECT_EQ(deep.channels, 0) << c.what;
    }
    std::vector<std::uint8_t> shortHeader = serBytes(SerVideo{});
    shortHeader.resize(100);
    EXPECT_EQ(load(shortHeader), kFrameUnusable);
    EXPECT_NE(out.find("Erreur : en-tete SER incomplet"), std::string::npos);
}

TEST_F(FrameSource, TheFormatIsToldByContentNotByName) {
    SerVideo v;
    v.width = 2;
    v.height = 1;
    v.frames = {{7, 9}};
    ASSERT_EQ(load(serBytes(v), 0, "video.bmp"), kFrameLoaded);
    EXPECT_EQ(deep.samples, (std::vector<float>{7, 9}));
    EXPECT_EQ(im.pixels, nullptr);
    // A BMP goes to the BMP reader, messages and all, whatever its name.
    ASSERT_EQ(load(bmpBytes(1, 1, 24, 0, 54, {10, 20, 30, 0}), 0, "frame.ser"), kFrameLoaded);
    EXPECT_EQ(out, "Chargement du fichier " + (dir / "frame.ser").string());
    EXPECT_EQ(deep.channels, 0);
    EXPECT_EQ(pixelOf(im, 0, 0), (std::array<std::uint8_t, 4>{10, 20, 30, 255}));
    const std::string missing = (dir / "none.ser").string();
    int result = -1;
    out = captureStdout([&] { result = loadFrame(missing.c_str(), 0, im, deep); });
    EXPECT_EQ(result, kFrameNotOpened);
    EXPECT_EQ(out, "Chargement du fichier " + missing + "Erreur : impossible d'ouvrir l'image " + missing + "\n");
}

struct FitsCase {
    std::int32_t bitpix;
    std::int32_t planes;   // 0: NAXIS 2
    float range;
};

class FitsRoundTrip : public FrameSource, public ::testing::WithParamInterface<FitsCase> {};

TEST_P(FitsRoundTrip, SamplesComeBackTopRowFirst) {
    const FitsCase c = GetParam();
    const std::int32_t w = 5, h = 3, planes = std::max(c.planes, 1);
    const double top = c.bitpix == 8 ? 255 : c.bitpix == 16 ? 65535 : c.bitpix == 32 ? 1e6 : 1234.5;
    std::vector<double> values;   // file order: plane, bottom row first
    for (std::int32_t p = 0; p < planes; ++p)
        for (std::int32_t r = 0; r < h; ++r)
            for (std::int32_t x = 0; x < w; ++x) values.push_back(c.bitpix < 0 ? top * (p * 15 + r * 5 + x) / 45.0 : double(std::int64_t(top * (p * 15 + r * 5 + x)) / 45));
    ASSERT_EQ(load(fitsBytes(c.bitpix, w, h, c.planes, values)), kFrameLoaded) << out;
    EXPECT_EQ(deep.range, c.range);
    const std::int32_t channels = c.planes == 3 ? 3 : 1;
    ASSERT_EQ(deep.channels, channels);
    for (std::int32_t p = 0; p < channels; ++p)
        for (std::int32_t y = 0; y < h; ++y)
            for (std::int32_t x = 0; x < w; ++x)
                EXPECT_EQ(deep.samples[std::size_t((y * w + x) * channels + p)],
                          float(values[std::size_t(p * w * h + (h - 1 - y) * w + x)]));
}

INSTANTIATE_TEST_SUITE_P(EveryBitpixAndLayout, FitsRoundTrip,
                         ::testing::Values(FitsCase{8, 0, 255}, FitsCase{16, 0, 65535}, FitsCase{32, 0, 65535},
                                           FitsCase{-32, 0, 65535}, FitsCase{-64, 0, 65535}, FitsCase{8, 3, 255},
                                           FitsCase{16, 3, 65535}, FitsCase{-32, 3, 65535}, FitsCase{16, 1, 65535}));

TEST_F(FrameSource, AFitsCubeIsASequenceOfGreyFrames) {
    std::vector<double> values;
    for (int p = 0; p < 5; ++p)
        for (int i = 0; i < 4; ++i) values.push_back(p * 10 + i);
    const std::vector<std::uint8_t> bytes = fitsBytes(16, 2, 2, 5, values);
    FrameSourceInfo info;
    ASSERT_TRUE(probe(bytes, info));
    EXPECT_EQ(info.frames, 5);
    EXPECT_EQ(info.format, FrameFormat::fits);
    ASSERT_EQ(load(bytes, 3), kFrameLoaded);
    EXPECT_EQ(deep.samples, (std::vector<float>{32, 33, 30, 31}));
    EXPECT_EQ(load(bytes, 5), kFrameUnusable);
}

TEST_F(FrameSource, ABayerPatternCardMeansAMosaicInFileRowOrder) {
    const std::vector<double> values = {10, 20, 30, 40};   // stored rows: (10 20) then (30 40)
    ASSERT_EQ(load(fitsBytes(8, 2, 2, 0, values, {"BAYERPAT= 'RGGB    '"})), kFrameLoaded) << out;
    ASSERT_EQ(deep.channels, 3);
    // Demosaiced in stored order, then turned top row first.
    const std::vector<float> stored = demosaicBilinear({10, 20, 30, 40}, 2, 2, "RGGB");
    std::vector<float> expected(stored.begin() + 6, stored.end());
    expected.insert(expected.end(), stored.begin(), stored.begin() + 6);
    EXPECT_EQ(deep.samples, expected);
}

TEST_F(FrameSource, UnsupportedFitsLayoutsAreReported) {
    const struct {
        std::vector<std::uint8_t> bytes;
        const char* message;
    } cases[] = {
        {fitsBytes(8, 2, 2, 0, {1, 2, 3, 4}, {"BAYERPAT= 'RGBG'"}), "Erreur : BAYERPAT FITS non supporte (RGBG)"},
        {fitsBytes(8, 70000, 1, 0, {}), "Erreur : taille d'image refusee (70000 x 1 pixels"},
        {fitsBytes(16, 300, 300, 0, {1, 2}), "Erreur : fichier FITS tronque"},
        {fitsBytes(8, 2, 2, 0, {}, {"NAXIS   =                    1"}), "Erreur : "},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(load(c.bytes), kFrameUnusable) << c.message;
        EXPECT_NE(out.find(c.message), std::string::npos) << out;
    }
}

TEST(Demosaic, UniformColourPlanesComeBackEverywhere) {
    // A mosaic of a uniform colour (R 100, G 50, B 10) gives that colour at every pixel,
    // border included, for each of the four cell orders.
    for (const char* pattern : {"RGGB", "GRBG", "GBRG", "BGGR"}) {
        std::vector<float> mosaic;
        for (int y = 0; y < 5; ++y)
            for (int x = 0; x < 7; ++x) {
                const char c = pattern[(y & 1) * 2 + (x & 1)];
                mosaic.push_back(c == 'R' ? 100.0f : c == 'G' ? 50.0f : 10.0f);
            }
        const std::vector<float> rgb = demosaicBilinear(mosaic, 7, 5, pattern);
        for (std::size_t i = 0; i < rgb.size(); i += 3) {
            EXPECT_EQ(rgb[i], 100.0f) << pattern;
            EXPECT_EQ(rgb[i + 1], 50.0f) << pattern;
            EXPECT_EQ(rgb[i + 2], 10.0f) << pattern;
        }
    }
}

TEST(Demosaic, MissingGreenIsTheMeanOfItsFourNeighbours) {
    const std::vector<float> mosaic = {0, 1, 0, 2, 50, 4, 0, 8, 0};   // RGGB: centre (1,1) is blue
    const std::vector<float> rgb = demosaicBilinear(mosaic, 3, 3, "RGGB");
    EXPECT_EQ(rgb[4 * 3 + 1], (1 + 2 + 4 + 8) / 4.0f);
    EXPECT_EQ(rgb[4 * 3 + 2], 50.0f);
}

TEST(FrameView, SamplesAreScaledByTheMaximumAndClipped) {
    DeepImage d;
    d.width = 4;
    d.height = 1;
    d.channels = 1;
    d.samples = {0, 1000, 4000, 70000};
    Image v = viewOf(d, 4000);
    EXPECT_EQ(pixelOf(v, 1, 0), (std::array<std::uint8_t, 4>{63, 63, 63, 255}));   // 1000 * 255 / 4000 = 63.75
    EXPECT_EQ(pixelOf(v, 2, 0), (std::array<std::uint8_t, 4>{255, 255, 255, 255}));
    EXPECT_EQ(pixelOf(v, 3, 0), (std::array<std::uint8_t, 4>{255, 255, 255, 255}));
    EXPECT_EQ(largestSample(d), 70000.0f);
    releasePixels(v);
    d.channels = 3;
    d.width = 1;
    d.samples = {10, 20, 30};
    v = viewOf(d, 255);
    EXPECT_EQ(pixelOf(v, 0, 0), (std::array<std::uint8_t, 4>{30, 20, 10, 255}));   // blue, green, red
    releasePixels(v);
}

}  // namespace
