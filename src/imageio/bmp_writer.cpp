#include "imageio/bmp_writer.h"

#include <immintrin.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "common/cpu.h"
#include "common/parallel.h"
#include "imageio/output_file.h"

namespace {

void put16(std::uint8_t* at, std::uint32_t v) {
    at[0] = std::uint8_t(v);
    at[1] = std::uint8_t(v >> 8);
}

void put32(std::uint8_t* at, std::uint32_t v) {
    put16(at, v);
    put16(at + 2, v >> 16);
}

// Four-byte pixels to their first three bytes, four at a time; each sixteen-byte write
// runs four bytes into pixels of the same row still to be written. Returns the number done.
__attribute__((target("avx2"))) std::int32_t narrowPixels(const std::uint8_t* in, std::int32_t width, std::uint8_t* out) {
    const __m128i pack = _mm_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1);
    std::int32_t x = 0;
    for (; x + 6 <= width; x += 4, in += 4 * kBytesPerPixel, out += 12) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_shuffle_epi8(v, pack));
    }
    return x;
}

}  // namespace

bool saveBmp(const Image& image, const char* path) {
    std::printf("Sauvegarde d'une image %s", path);
    if (image.width < 0 || image.height < 0) {
        std::printf(" ERREUR : dimensions d'image invalides\n");
        return false;
    }
    // Nothing is written that the reader would refuse: this also bounds the file (under
    // 1 GiB) when a turned frame grows far beyond the frame it came from.
    if (image.width > kMaxImageSide || image.height > kMaxImageSide ||
        std::int64_t(image.width) * image.height > kMaxImagePixels) {
        std::printf(" ERREUR : image trop grande (%i x %i pixels; limite %i de cote, %lli en tout)\n", image.width,
                    image.height, kMaxImageSide, static_cast<long long>(kMaxImagePixels));
        return false;
    }
    std::FILE* file = openForRewrite(path);
    if (file == nullptr) {
        std::printf(" ERREUR : impossible de creer le fichier\n");
        return false;
    }
    const std::int64_t rowSize = ((3 * std::int64_t(image.width) - 1) / 4) * 4 + 4;
    std::uint8_t header[54] = {};
    header[0] = 'B';
    header[1] = 'M';
    put32(header + 2, std::uint32_t(54 + rowSize * image.height));
    put32(header + 10, 54);
    put32(header + 14, 40);
    put32(header + 18, std::uint32_t(image.width));
    put32(header + 22, std::uint32_t(image.height));
    put16(header + 26, 1);
    put16(header + 28, 24);
    put32(header + 38, 2840);
    put32(header + 42, 2840);
    bool ok = std::fwrite(header, 1, sizeof header, file) == sizeof header;

    // Blocks of rows, each converted in parallel and written at once.
    const std::int64_t rowsPerBlock = std::max<std::int64_t>(1, (std::int64_t(1) << 18) / rowSize);
    std::vector<std::uint8_t> block(std::size_t(std::min<std::int64_t>(rowsPerBlock, image.height) * rowSize), 0);
    for (std::int64_t first = 0; ok && first < image.height; first += rowsPerBlock) {
        const std::int64_t rows = std::min<std::int64_t>(rowsPerBlock, image.height - first);
        if (image.width > 0) {
            parallelFor(rows, [&](std::int64_t k) {
                const std::int64_t r = first + k;
                const std::uint8_t* in = pixelAt(image, 0, std::int32_t(image.height - 1 - r));
                std::uint8_t* out = block.data() + std::size_t(k * rowSize);
                // Four bytes at a time, three apart: each write's fourth byte is overwritten by
                // the next pixel; the last pixel copies its three bytes alone, leaving the fill.
                std::int32_t x = useAvx2() ? narrowPixels(in, image.width, out) : 0;
                in += std::size_t(x) * kBytesPerPixel;
                out += std::size_t(x) * 3;
                for (; x + 1 < image.width; ++x, in += kBytesPerPixel, out += 3) std::memcpy(out, in, 4);
                std::memcpy(out, in, 3);
            });
        }
        const std::size_t bytes = std::size_t(rows * rowSize);
        ok = std::fwrite(block.data(), 1, bytes, file) == bytes;
    }
    if (!closeRewritten(file)) ok = false;
    if (!ok) {
        std::remove(path);
        std::printf(" ERREUR : ecriture incomplete du fichier (disque plein ?)\n");
        return false;
    }
    std::printf(" FIN\n");
    return true;
}
