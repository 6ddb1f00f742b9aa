// The vectorised, parallel per-pixel loops of the files (against the test's own BMP encoder)
// and of the composite (against the straightforward ones kept in reference/): the same bytes
// for every width (the
// vector loops stop short of a row's end by different amounts), both row orders, partial
// composite overlaps and every FITS scaling, with AVX2 and SSE2, with one and three threads.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "composite/composite.h"
#include "imageio/pixel_rows.h"
#include "reference/plain.h"
#include "support/random.h"
#include "support/with_settings.h"

namespace {

class PixelLoops : public WithKernelChoice {
protected:
    // Each way of running the fast loops: AVX2 (when the machine has it) with three threads,
    // SSE2 with one.
    void use(int way) {
        setUseAvx2(way == 0 && useAvx2Default);
        setWorkerCount(way == 0 ? 3 : 1);
    }
    const bool useAvx2Default = useAvx2();
};

// readBmpRows (or the plain one) given the bytes after skip of them, from a temporary file
// (rows read in parallel at their offsets) or from a stream in memory (no descriptor: rows
// read in sequence).
template <typename Read>
bool readFrom(std::string bytes, std::size_t skip, bool regular, Read read) {
    std::FILE* file = regular ? std::tmpfile() : fmemopen(bytes.data(), bytes.size(), "rb");
    if (regular) std::fwrite(bytes.data(), 1, bytes.size(), file);
    std::fseek(file, long(skip), SEEK_SET);
    const bool ok = read(file);
    std::fclose(file);
    return ok;
}

// What writeBmpRows (or the plain one) leaves in a stream (as readFrom) after a prefix: the
// whole content, or "failed" unless it succeeds and leaves the stream at the content's end.
template <typename Write>
std::string writtenAfter(const std::string& prefix, bool regular, Write write) {
    char* memory = nullptr;
    std::size_t size = 0;
    std::FILE* file = regular ? std::tmpfile() : open_memstream(&memory, &size);
    std::fwrite(prefix.data(), 1, prefix.size(), file);
    const bool ok = write(file);
    const long position = std::ftell(file);
    std::string content;
    if (regular) std::rewind(file);   // a stream in memory would end at its position
    for (int c; regular && (c = std::fgetc(file)) != EOF;) content += char(c);
    std::fclose(file);
    if (!regular) content.assign(memory, size);
    std::free(memory);
    return ok && position == long(content.size()) ? content : "failed";
}

Image randomImage(TestRandom& rng, std::int32_t width, std::int32_t height) {
    Image im = makeImage(width, height, {0, 0, 0, 0});
    // Validity mostly whole, sometimes partial or zero, so both composite routes run.
    for (std::size_t i = 0; i < pixelBytes(width, height); ++i)
        im.pixels[i] = i % 4 == 3 && rng.chance(80) ? 255 : std::uint8_t(rng.range(0, 255));
    return im;
}

TEST_F(PixelLoops, BmpRowsMatchTheEncodedImage) {
    TestRandom rng(41);
    for (int trial = 0; trial < 120; ++trial) {
        const std::int32_t width = trial < 40 ? trial + 1 : rng.range(1, 300);
        const std::int32_t height = rng.range(1, trial % 7 == 0 ? 400 : 12);
        const std::int64_t rowSize = (3 * std::int64_t(width) + 3) / 4 * 4;
        const bool regular = trial % 2 == 0;
        OwnedImage im(randomImage(rng, width, height));
        std::string prefix(std::size_t(rng.range(0, 60)), '\0');   // a header before the rows
        for (char& c : prefix) c = char(rng.range(0, 255));
        const std::vector<std::uint8_t> file = encodeBmp24(im.im);   // the test's own encoder
        const std::string written = prefix + std::string(file.begin() + 54, file.end());
        const std::size_t pixelsEnd = prefix.size() + std::size_t(rowSize * (height - 1) + 3 * std::int64_t(width));
        for (const int way : {0, 1}) {
            use(way);
            SCOPED_TRACE("trial " + std::to_string(trial) + ", width " + std::to_string(width));
            EXPECT_EQ(writtenAfter(prefix, regular, [&](std::FILE* f) { return writeBmpRows(f, im.im, rowSize); }),
                      written);
            // Read back both ways, both row orders; the last row's fill may be missing, not a
            // pixel byte.
            for (const bool topDown : {false, true}) {
                std::vector<std::uint8_t> expected, pixels(pixelBytes(width, height), 2);
                for (std::int32_t y = 0; y < height; ++y)   // the image, its rows in the order read
                    for (std::int32_t x = 0; x < width; ++x) {
                        const std::uint8_t* p = pixelAt(im.im, x, topDown ? height - 1 - y : y);
                        expected.insert(expected.end(), {p[0], p[1], p[2], 255});
                    }
                auto fast = [&](std::FILE* f) {
                    return readBmpRows(f, rowSize, width, height, topDown, pixels.data());
                };
                const std::string bytes = rng.chance(50) ? written.substr(0, pixelsEnd) : written;
                ASSERT_TRUE(readFrom(bytes, prefix.size(), regular, fast));
                EXPECT_EQ(pixels, expected);
                EXPECT_FALSE(readFrom(written.substr(0, pixelsEnd - 1), prefix.size(), regular, fast));
            }
        }
    }
}

TEST_F(PixelLoops, CompositeAndFitsRowsMatchThePlainLoops) {
    TestRandom rng(43);
    for (int trial = 0; trial < 60; ++trial) {
        const std::int32_t width = rng.range(1, 70), height = rng.range(1, 20);
        const int counts[] = {0, 1, 7, 126, 127, 300};
        const int frames = rng.range(1, 4);
        std::vector<Image> images;
        for (int f = 0; f < frames; ++f) {
            images.push_back(randomImage(rng, rng.range(1, 80), rng.range(1, 25)));
            images.back().x0 = rng.range(-10, 10);
            images.back().y0 = rng.range(-10, 10);
        }
        // The FITS rows and averaged pixels for every image count, one after the other.
        auto composite = [&](bool fast) {
            std::string bytes;
            resetRunSettings();
            settings.reference = makeImage(width, height, {0, 0, 0, 255});
            settings.reference.x0 = rng.range(0, 5);
            settings.reference.y0 = rng.range(0, 5);
            startComposite();
            for (const Image& im : images) fast ? addToComposite(im) : plain::addToComposite(im);
            // Sums as large as many frames give, for the scalings past 126 images.
            if (trial % 3 == 0)
                for (CompositeCell& c : settings.compositeSums)
                    for (std::uint32_t& v : c.sum) v = v * 97 + std::uint32_t(rng.range(0, 96));
            for (const int count : counts) {
                settings.imageCount = count;
                std::string data(std::size_t(width) * std::size_t(height) * 2, '\0');
                for (int channel = 0; channel < 3; ++channel) {
                    fast ? writeFitsRows(channel, data.data()) : plain::writeFitsRows(channel, data.data());
                    bytes += data;
                }
                Image out = makeImage(width, height, {0, 0, 0, 0});
                fast ? averageComposite(out) : plain::averageComposite(out);
                bytes.append(reinterpret_cast<const char*>(out.pixels), pixelBytes(width, height));
                releasePixels(out);
            }
            releasePixels(settings.reference);
            return bytes;
        };
        const TestRandom start = rng;
        const std::string expected = composite(false);
        for (const int way : {0, 1}) {
            use(way);
            rng = start;   // the same reference point and large sums
            EXPECT_EQ(composite(true), expected) << "trial " << trial;
        }
        for (Image& im : images) releasePixels(im);
    }
}

}   // namespace
