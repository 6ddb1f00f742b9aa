#include "imageio/fits_writer.h"

#include <immintrin.h>

#include <cstdio>
#include <cstring>

#include "common/cpu.h"
#include "common/parallel.h"
#include "common/precision.h"
#include "driver/run_settings.h"
#include "imageio/output_file.h"

namespace {

constexpr std::size_t kFitsBlock = 2880;

void writeCard(std::string& out, const char* keyword, const char* valueText) {
    const std::size_t keywordLength = std::strlen(keyword);
    const std::size_t valueLength = std::strlen(valueText);
    out += keyword;
    out.append(8 - keywordLength, ' ');
    out += '=';
    out.append(21 - valueLength, ' ');
    out += valueText;
    out.append(50, ' ');
}

// Channel `channel` of count cells as 16-bit big-endian values, the sums themselves (below
// 2^15 for up to 126 images), four cells at a time; returns the number written.
__attribute__((target("avx2"))) std::int32_t bigEndianSums(const CompositeCell* cell, std::int32_t count, int channel,
                                                           char* out) {
    // Output byte j holds byte 1 (j even) or 0 (j odd) of the sum of cell j / 2: value
    // 3 (j / 2) + channel of the twelve loaded, in register e / 4, lane e % 4.
    alignas(16) std::int8_t masks[3][16];
    for (int r = 0; r < 3; ++r)
        for (int j = 0; j < 16; ++j) masks[r][j] = -1;
    for (int j = 0; j < 8; ++j) {
        const int e = 3 * (j / 2) + channel;
        masks[e / 4][j] = std::int8_t(4 * (e % 4) + (j % 2 == 0 ? 1 : 0));
    }
    const __m128i m0 = _mm_load_si128(reinterpret_cast<const __m128i*>(masks[0]));
    const __m128i m1 = _mm_load_si128(reinterpret_cast<const __m128i*>(masks[1]));
    const __m128i m2 = _mm_load_si128(reinterpret_cast<const __m128i*>(masks[2]));
    std::int32_t x = 0;
    for (; x + 4 <= count; x += 4, cell += 4, out += 8) {
        const __m128i* sums = reinterpret_cast<const __m128i*>(cell->sum);
        const __m128i bytes =
            _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(_mm_loadu_si128(sums), m0), _mm_shuffle_epi8(_mm_loadu_si128(sums + 1), m1)),
                         _mm_shuffle_epi8(_mm_loadu_si128(sums + 2), m2));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out), bytes);
    }
    return x;
}

}  // namespace

void writeIntegerCard(std::string& out, const char* keyword, std::int32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "%i", value);
    writeCard(out, keyword, text);
}

void writeCharacterCard(std::string& out, const char* keyword, char value) {
    const char text[2] = {value, '\0'};
    writeCard(out, keyword, text);
}

bool writeFitsChannel(const char* path, int channel) {
    const RunSettings& s = settings;
    const std::int32_t width = s.reference.width, height = s.reference.height;
    const float fitsScale = s.imageCount <= 126 ? float(s.imageCount) : 127.0f;

    std::string out;
    writeCharacterCard(out, "SIMPLE", 'T');
    writeIntegerCard(out, "BITPIX", 16);
    writeIntegerCard(out, "NAXIS", 2);
    writeIntegerCard(out, "NAXIS1", width);
    writeIntegerCard(out, "NAXIS2", height);
    writeIntegerCard(out, "MIPS-HI", std::int32_t(fitsScale * 256.0f));
    writeIntegerCard(out, "MIPS-LO", 0);
    out += "END";
    out.append(kFitsBlock - out.size(), ' ');

    if (width > 0 && height > 0) {
        const std::size_t header = out.size();
        out.resize(header + std::size_t(width) * std::size_t(height) * 2);
        // File row k holds picture row height - 1 - k.
        parallelFor(height, [&](std::int64_t k) {
            const std::int32_t y = height - 1 - std::int32_t(k);
            char* data = out.data() + header + std::size_t(k) * std::size_t(width) * 2;
            const CompositeCell* cell = s.compositeSums.data() + std::size_t(y) * std::size_t(width);
            std::int32_t x = 0;
            if (s.imageCount != 0 && s.imageCount <= 126 && useAvx2()) {
                x = bigEndianSums(cell, width, channel, data);
                cell += x;
                data += std::size_t(x) * 2;
            }
            for (; x < width; ++x, ++cell, data += 2) {
                std::int32_t v = 0;
                if (s.imageCount > 126) {
                    v = std::int32_t(float(InterD(cell->sum[channel]) * fitsScale / s.imageCount));
                } else if (s.imageCount != 0) {
                    // fitsScale is imageCount: S * n is exact and so is its quotient by n, S
                    // itself (at most 255 * 126, exact in single precision too).
                    v = std::int32_t(cell->sum[channel]);
                }
                data[0] = char(std::uint8_t(v / 256));
                data[1] = char(std::uint8_t(v));
            }
        });
    }
    out.append((kFitsBlock - out.size() % kFitsBlock) % kFitsBlock, '\0');

    std::FILE* file = openForRewrite(path);
    if (file == nullptr) {
        std::printf("Erreur : impossible de creer le fichier %s\n", path);
        return false;
    }
    bool ok = std::fwrite(out.data(), 1, out.size(), file) == out.size();
    if (!closeRewritten(file)) ok = false;
    if (!ok) {
        std::remove(path);
        std::printf("Erreur : ecriture incomplete du fichier %s (disque plein ?)\n", path);
    }
    return ok;
}
