#include "imageio/fits_writer.h"

#include "support/with_settings.h"

namespace {

using FitsWriter = InFolder;

// A grid whose every cell holds the same sum: the stored value, the display maximum and the
// file's size (blocks of 2880 bytes, no fill when the data end on a block boundary).
TEST_F(FitsWriter, ManyImagesAreScaledToFitSixteenBits) {
    const struct {
        std::int32_t width, height, images;
        std::uint32_t sum;
        int stored;
        const char* mipsHi;
        std::size_t size;
    } cases[] = {
        {1, 1, 200, 51000, 32385, "32512", 5760},   // 51000 * 127 / 200
        {1, 1, 127, 30000, 30000, "32512", 5760},
        {1, 1, 126, 30000, 30000, "32256", 5760},
        {2, 2, 0, 77, 0, "0", 5760},
        {4, 0, 3, 7, 0, "768", 2880},
        {1440, 1, 1, 3, 3, "256", 5760},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.images);
        settings.reference.width = c.width;
        settings.reference.height = c.height;
        settings.imageCount = c.images;
        settings.compositeSums.assign(std::size_t(c.width) * std::size_t(c.height),
                                      CompositeCell{{c.sum, c.sum, c.sum}});
        EXPECT_TRUE(quiet([&] { return writeFitsChannel(path("c.fit").c_str(), 1); }));
        EXPECT_EQ(out, "");
        const std::vector<std::uint8_t> f = readFile(dir / "c.fit");
        ASSERT_EQ(f.size(), c.size);
        char card[81];   // the sixth card, its value ending in column 30
        std::snprintf(card, sizeof card, "MIPS-HI = %20s%50s", c.mipsHi, "");
        EXPECT_EQ(std::string(f.begin() + 400, f.begin() + 480), card);
        for (std::size_t i = 2880; i < f.size(); i += 2) {
            const bool cell = i - 2880 < 2 * settings.compositeSums.size();
            ASSERT_EQ(f[i] * 256 + f[i + 1], cell ? c.stored : 0) << i;
        }
    }
}

}   // namespace
