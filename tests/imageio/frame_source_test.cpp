#include "imageio/frame_source.h"

#include "support/camera_files.h"
#include "support/random.h"
#include "support/with_settings.h"

namespace {

using Pixel = std::array<std::uint8_t, 4>;

struct SerCase {
    std::int32_t colourId, depth;
    bool littleEndian;
    std::int32_t flag;   // the header's LittleEndian field as written
};

class FrameSource : public InFolder {
protected:
    Image im;
    DeepImage deep;
    void TearDown() override {
        releasePixels(im);
        InFolder::TearDown();
    }
    int load(const std::vector<std::uint8_t>& bytes, std::int64_t index = 0, const char* name = "in.dat") {
        writeFile(dir / name, bytes);
        deep = DeepImage{};
        return quiet([&] { return loadFrame(path(name).c_str(), index, im, deep); });
    }
    void expectSerRoundTrip(const SerCase& c);
};

TEST_F(FrameSource, EverySerColourDepthAndByteOrderReadsBackToTheSamplesWritten) {
    for (const std::int32_t id : {0, 8, 9, 10, 11, 100, 101})
        for (const std::int32_t depth : {8, 12, 16})
            for (const bool little : {true, false})
                for (const bool inverted : {false, true})   // the flag some capture programs write
                    if (depth > 8 || (little && inverted))
                        expectSerRoundTrip({id, depth, little, little != inverted ? 1 : 0});
}

void FrameSource::expectSerRoundTrip(const SerCase& c) {
    SCOPED_TRACE(std::to_string(c.colourId) + " " + std::to_string(c.depth) + " bits " +
                 (c.littleEndian ? "LE" : "BE") + " flag " + std::to_string(c.flag));
    SerVideo v{c.colourId, c.depth, c.littleEndian, c.flag, 12, 6, -1, {}, true};
    // Smooth fields with a little noise, below 2^depth: neighbours differ little, as in a
    // picture, so that the byte order can be told from the data.
    const std::int32_t top = (1 << c.depth) - 1, planes = c.colourId >= 100 ? 3 : 1;
    TestRandom random(1);
    for (std::size_t k = 0; k < 3; ++k) {
        v.frames.emplace_back();
        for (std::int32_t i = 0; i < 72 * planes; ++i)
            v.frames[k].push_back(std::uint16_t(
                std::min(top, (i / planes % 12 * 37 + i / planes / 12 * 23 + i % planes * 101) * top / 882 +
                                  random.range(0, top / 64))));
    }
    for (std::int64_t k = 0; k < 3; ++k) {
        ASSERT_EQ(load(serBytes(v), k), kFrameLoaded) << out;
        std::vector<float> expected(v.frames[std::size_t(k)].begin(), v.frames[std::size_t(k)].end());
        if (c.colourId == 101)
            for (std::size_t i = 0; i < expected.size(); i += 3) std::swap(expected[i], expected[i + 2]);
        if (c.colourId >= 8 && c.colourId <= 11)
            expected = demosaicBilinear(expected, 12, 6, std::array{"RGGB", "GRBG", "GBRG", "BGGR"}[c.colourId - 8]);
        EXPECT_EQ(std::tuple(deep.width, deep.height, deep.range, deep.channels),
                  std::tuple(12, 6, c.depth > 8 ? 65535.0f : 255.0f, c.colourId == 0 ? 1 : 3));
        EXPECT_EQ(deep.samples, expected) << "frame " << k;
    }
}

TEST_F(FrameSource, ATruncatedVideoKeepsItsWholeFramesAndReportsTheRest) {
    std::vector<std::uint8_t> bytes = serBytes(SerVideo{0, 8, true, 1, 4, 2, 3, {}, false});
    for (std::uint16_t k = 1; k <= 3; ++k) bytes.insert(bytes.end(), 8, std::uint8_t(k));
    bytes.resize(bytes.size() - 3);   // the last frame cut short
    writeFile(dir / "probe.dat", bytes);
    FrameSourceInfo info;
    ASSERT_TRUE(quiet([&] { return probeFrameSource(path("probe.dat").c_str(), info); }));
    EXPECT_EQ(std::tuple(info.frames, info.announced, out), std::tuple(2, 3, std::string()));
    ASSERT_EQ(load(bytes, 1), kFrameLoaded);
    EXPECT_EQ(deep.samples, std::vector<float>(8, 2.0f));
    EXPECT_EQ(load(bytes, 2), kFrameUnusable);
    EXPECT_NE(out.find("Erreur : image 2 absente de la video (2 images entieres)"), std::string::npos) << out;
}

TEST_F(FrameSource, BadCameraFilesAreReportedInFrench) {
    auto ser = [](std::int32_t colourId, std::int32_t depth, std::int32_t width, std::int32_t height,
                  std::int32_t announced) {
        return serBytes(
            SerVideo{colourId, depth, true, 1, width, height, announced, {std::vector<std::uint16_t>(8, 1)}, false});
    };
    std::vector<std::uint8_t> cut = ser(0, 8, 4, 2, 1);
    cut.resize(100);
    const std::vector<std::pair<std::vector<std::uint8_t>, const char*>> cases = {
        {ser(7, 8, 4, 2, 1), "Erreur : code couleur SER non supporte (7)"},
        {ser(0, 17, 4, 2, 1), "Erreur : profondeur SER non supportee (17 bits)"},
        {ser(0, 8, 70000, 1, 1), "Erreur : taille d'image refusee (70000 x 1 pixels"},
        {ser(0, 8, -4, 2, 1), "Erreur : taille d'image refusee (-4 x 2 pixels"},
        {ser(0, 8, 4, 2, 0), "Erreur : video SER sans image (0 annoncees)"},
        {ser(0, 16, 4000, 4000, 2000000000), "Erreur : video SER tronquee, aucune image entiere"},
        {cut, "Erreur : en-tete SER incomplet"},
        {fitsBytes(8, 2, 2, 0, {1, 2, 3, 4}, {"BAYERPAT= 'RGBG'"}), "Erreur : BAYERPAT FITS non supporte (RGBG)"},
        {fitsBytes(8, 70000, 1, 0, {}), "Erreur : taille d'image refusee (70000 x 1 pixels"},
        {fitsBytes(16, 300, 300, 0, {1, 2}), "Erreur : fichier FITS tronque"},
        {fitsBytes(8, 2, 2, 0, {}, {"NAXIS   =                    1"}), "Erreur : "},
    };
    for (const auto& [bytes, message] : cases) {
        EXPECT_EQ(load(bytes), kFrameUnusable) << message;
        EXPECT_NE(out.find(message), std::string::npos) << message << ": " << out;
        EXPECT_EQ(deep.channels, 0) << message;
    }
}

TEST_F(FrameSource, TheFormatIsToldByContentNotByName) {
    ASSERT_EQ(load(serBytes(SerVideo{0, 8, true, 1, 2, 1, -1, {{7, 9}}, false}), 0, "video.bmp"), kFrameLoaded);
    EXPECT_EQ(std::tuple(deep.samples, im.pixels), std::tuple(std::vector<float>{7, 9}, nullptr));
    // A BMP goes to the BMP reader, messages and all, whatever its name.
    ASSERT_EQ(load(bmpBytes(1, 1, 24, 0, 54, {10, 20, 30, 0}), 0, "frame.ser"), kFrameLoaded);
    EXPECT_EQ(std::tuple(out, deep.channels, pixelOf(im, 0, 0)),
              std::tuple("Chargement du fichier " + path("frame.ser"), 0, Pixel{10, 20, 30, 255}));
}

struct FitsCase {
    std::int32_t bitpix;
    std::int32_t planes;   // 0: NAXIS 2
    float range;
};

TEST_F(FrameSource, FitsSamplesOfEveryBitpixAndLayoutComeBackTopRowFirst) {
    for (const FitsCase& c : {FitsCase{8, 0, 255},
                              {16, 0, 65535},
                              {32, 0, 65535},
                              {-32, 0, 65535},
                              {-64, 0, 65535},
                              {8, 3, 255},
                              {16, 3, 65535},
                              {-32, 3, 65535},
                              {16, 1, 65535}}) {
        SCOPED_TRACE(std::to_string(c.bitpix) + " " + std::to_string(c.planes));
        const std::int32_t w = 5, h = 3, planes = std::max(c.planes, 1), channels = c.planes == 3 ? 3 : 1;
        const double top = c.bitpix == 8 ? 255 : c.bitpix == 16 ? 65535 : c.bitpix == 32 ? 1e6 : 1234.5;
        std::vector<double> values;   // file order: plane, bottom row first
        for (std::int32_t i = 0; i < planes * h * w; ++i)
            values.push_back(c.bitpix < 0 ? top * i / 45.0 : double(std::int64_t(top * i) / 45));
        ASSERT_EQ(load(fitsBytes(c.bitpix, w, h, c.planes, values)), kFrameLoaded) << out;
        ASSERT_EQ(std::tuple(deep.range, deep.channels), std::tuple(c.range, channels));
        std::vector<float> expected;
        for (std::int32_t y = 0; y < h; ++y)
            for (std::int32_t x = 0; x < w; ++x)
                for (std::int32_t p = 0; p < channels; ++p)
                    expected.push_back(float(values[std::size_t(p * w * h + (h - 1 - y) * w + x)]));
        EXPECT_EQ(deep.samples, expected);
    }
}

// A cube is a sequence of grey frames (the readers' runs align one), RGB planes a colour frame.
TEST_F(FrameSource, ABayerPatternCardMeansAMosaicInFileRowOrder) {
    ASSERT_EQ(load(fitsBytes(8, 2, 2, 0, {10, 20, 30, 40}, {"BAYERPAT= 'RGGB    '"})), kFrameLoaded) << out;
    // Demosaiced in stored order (rows (10 20) then (30 40)), then turned top row first.
    const std::vector<float> stored = demosaicBilinear({10, 20, 30, 40}, 2, 2, "RGGB");
    std::vector<float> expected(stored.begin() + 6, stored.end());
    expected.insert(expected.end(), stored.begin(), stored.begin() + 6);
    EXPECT_EQ(deep.samples, expected);
}

}   // namespace
