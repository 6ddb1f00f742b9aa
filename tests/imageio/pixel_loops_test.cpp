// The vectorised, parallel per-pixel loops of the files and the composite against the
// straightforward ones kept in tests/reference: the same bytes for every width (the
// vector loops stop short of a row's end by different amounts), both row orders, partial
// composite overlaps and every FITS scaling, with AVX2 and SSE2, with one and three threads.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "common/cpu.h"
#include "common/parallel.h"
#include "composite/composite.h"
#include "imageio/pixel_rows.h"
#include "reference/plain.h"
#include "support/random.h"
#include "support/test_images.h"
#include "support/with_settings.h"

namespace {

class PixelLoops : public WithKernelChoice {
protected:
    // Each way of running the fast loops: {AVX2, threads}.
    static std::vector<std::pair<bool, int>> ways() {
        const bool avx2 = useAvx2();
        return {{avx2, 3}, {false, 1}};
    }
    static void use(const std::pair<bool, int>& way) {
        setUseAvx2(way.first);
        setWorkerCount(way.second);
    }
};

std::int64_t rowSizeOf(std::int32_t width) { return ((3 * std::int64_t(width) - 1) / 4) * 4 + 4; }

// A stream holding the first length bytes of bytes, positioned after the first skip of
// them: a temporary file, or the read end of a pipe (the rows are then read in sequence).
std::FILE* streamWith(const std::string& bytes, std::size_t length, std::size_t skip, bool pipe) {
    std::FILE* file = nullptr;
    if (pipe) {
        int ends[2];
        if (::pipe(ends) != 0) return nullptr;
        for (std::size_t done = 0; done < length;) {   // within the pipe's capacity
            const ssize_t n = ::write(ends[1], bytes.data() + done, length - done);
            if (n <= 0) break;
            done += std::size_t(n);
        }
        ::close(ends[1]);
        file = ::fdopen(ends[0], "rb");
        std::string prefix(skip, '\0');
        if (skip > 0 && std::fread(prefix.data(), 1, skip, file) != skip) return file;
    } else {
        file = std::tmpfile();
        std::fwrite(bytes.data(), 1, length, file);
        std::fseek(file, long(skip), SEEK_SET);
    }
    return file;
}

// What writeBmpRows (or the plain one) leaves in a stream after a prefix: the whole content,
// and whether the stream's position is at its end.
template <typename Write>
std::string writtenAfter(const std::string& prefix, bool pipe, Write write, bool& atEnd) {
    std::string content;
    if (pipe) {
        int ends[2];
        if (::pipe(ends) != 0) return content;
        std::FILE* file = ::fdopen(ends[1], "wb");
        std::fwrite(prefix.data(), 1, prefix.size(), file);
        const bool ok = write(file);
        std::fclose(file);
        char buffer[4096];
        for (ssize_t n; (n = ::read(ends[0], buffer, sizeof buffer)) > 0;) content.append(buffer, std::size_t(n));
        ::close(ends[0]);
        atEnd = ok;
        return content;
    }
    std::FILE* file = std::tmpfile();
    std::fwrite(prefix.data(), 1, prefix.size(), file);
    const bool ok = write(file);
    const long position = std::ftell(file);
    std::rewind(file);
    for (int c; (c = std::fgetc(file)) != EOF;) content += char(c);
    atEnd = ok && position == long(content.size());
    std::fclose(file);
    return content;
}

Image randomImage(TestRandom& rng, std::int32_t width, std::int32_t height) {
    Image im = makeImage(width, height, {0, 0, 0, 0});
    // Validity mostly whole, sometimes partial or zero, so both composite routes run.
    for (std::size_t i = 0; i < pixelBytes(width, height); ++i)
        im.pixels[i] = i % 4 == 3 && rng.chance(80) ? 255 : std::uint8_t(rng.range(0, 255));
    return im;
}

TEST_F(PixelLoops, BmpRowsMatchThePlainLoops) {
    TestRandom rng(41);
    for (int trial = 0; trial < 120; ++trial) {
        const std::int32_t width = trial < 40 ? trial + 1 : rng.range(1, 300);
        const std::int32_t height = rng.range(1, trial % 7 == 0 ? 400 : 12);
        const std::int64_t rowSize = rowSizeOf(width);
        Image im = randomImage(rng, width, height);
        // A header before the rows; pipes (small files only: they must fit in the pipe).
        std::string prefix(std::size_t(rng.range(0, 60)), '\0');
        for (char& c : prefix) c = char(rng.range(0, 255));
        const bool pipe = trial % 3 == 1 && prefix.size() + std::size_t(rowSize * height) < 60000;
        bool atEnd = false;
        const std::string written = writtenAfter(
            prefix, false, [&](std::FILE* f) { return plain::writeBmpRows(f, im, rowSize); }, atEnd);
        ASSERT_TRUE(atEnd);
        ASSERT_EQ(written.size(), prefix.size() + std::size_t(rowSize * height));
        for (const auto& way : ways()) {
            use(way);
            const std::string fast = writtenAfter(
                prefix, pipe, [&](std::FILE* f) { return writeBmpRows(f, im, rowSize); }, atEnd);
            EXPECT_TRUE(atEnd) << "trial " << trial;
            EXPECT_EQ(fast, written) << "trial " << trial << ", width " << width;
            // Read back both ways, both row orders; the last row's fill may be missing.
            for (const bool topDown : {false, true}) {
                std::vector<std::uint8_t> plainPixels(pixelBytes(width, height), 1), pixels(plainPixels.size(), 2);
                const bool cut = rng.chance(50);
                const std::size_t length = written.size() - (cut ? std::size_t(rowSize - 3 * std::int64_t(width)) : 0);
                std::FILE* in = streamWith(written, length, prefix.size(), false);
                ASSERT_TRUE(plain::readBmpRows(in, rowSize, width, height, topDown, plainPixels.data()));
                std::fclose(in);
                in = streamWith(written, length, prefix.size(), pipe);
                ASSERT_TRUE(readBmpRows(in, rowSize, width, height, topDown, pixels.data()));
                EXPECT_EQ(pixels, plainPixels) << "trial " << trial << ", width " << width;
                std::fclose(in);
                // One pixel byte short: refused.
                in = streamWith(written,
                                prefix.size() + std::size_t(rowSize * (height - 1) + 3 * std::int64_t(width) - 1),
                                prefix.size(), pipe);
                EXPECT_FALSE(readBmpRows(in, rowSize, width, height, topDown, pixels.data())) << "trial " << trial;
                std::fclose(in);
            }
        }
        releasePixels(im);
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
        auto composite = [&](bool fast, std::string& fits, std::vector<std::uint8_t>& average) {
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
            fits.clear();
            for (const int count : counts) {
                settings.imageCount = count;
                std::string data(std::size_t(width) * std::size_t(height) * 2, '\0');
                for (int channel = 0; channel < 3; ++channel) {
                    fast ? writeFitsRows(channel, data.data()) : plain::writeFitsRows(channel, data.data());
                    fits += data;
                }
                Image out = makeImage(width, height, {0, 0, 0, 0});
                fast ? averageComposite(out) : plain::averageComposite(out);
                average.insert(average.end(), out.pixels, out.pixels + pixelBytes(width, height));
                releasePixels(out);
            }
            releasePixels(settings.reference);
        };
        const TestRandom start = rng;
        std::string plainFits;
        std::vector<std::uint8_t> plainAverage;
        composite(false, plainFits, plainAverage);
        for (const auto& way : ways()) {
            use(way);
            rng = start;   // the same reference point and large sums
            std::string fits;
            std::vector<std::uint8_t> average;
            composite(true, fits, average);
            EXPECT_EQ(fits, plainFits) << "trial " << trial;
            EXPECT_EQ(average, plainAverage) << "trial " << trial;
        }
        for (Image& im : images) releasePixels(im);
    }
}

TEST_F(PixelLoops, CompositeWeighsEveryByteByEveryValidityAsThePlainLoop) {
    // All 65536 pairs of a byte and a validity, in every channel.
    OwnedImage all(makeImageFrom(256, 256, [](int x, int y) -> std::array<std::uint8_t, 4> {
        return {std::uint8_t(x), std::uint8_t(255 - x), std::uint8_t(x ^ 0x5A), std::uint8_t(y)};
    }));
    std::vector<CompositeCell> expected;
    for (const bool fast : {false, true}) {
        settings.reference = makeImage(256, 256, {0, 0, 0, 255});
        startComposite();
        fast ? addToComposite(all.im) : plain::addToComposite(all.im);
        if (!fast) expected = settings.compositeSums;
        releasePixels(settings.reference);
    }
    ASSERT_EQ(settings.compositeSums.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i)
        for (int k = 0; k < 3; ++k) ASSERT_EQ(settings.compositeSums[i].sum[k], expected[i].sum[k]) << i << " " << k;
}

}   // namespace
