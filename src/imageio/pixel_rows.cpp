#include "imageio/pixel_rows.h"

#include <immintrin.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <vector>

#include "common/cpu.h"
#include "common/parallel.h"
#include "common/precision.h"
#include "driver/run_settings.h"

namespace {

// Three-byte pixels to four-byte ones with validity 255, four at a time while the sixteen
// bytes read stay within the row's pixels; returns the number converted.
__attribute__((target("avx2"))) std::int32_t widenPixels(const std::uint8_t* in, std::int32_t width,
                                                         std::uint8_t* out) {
    const __m128i spread = _mm_setr_epi8(0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1);
    const __m128i validity = _mm_set1_epi32(std::int32_t(0xFF000000u));
    std::int32_t x = 0;
    for (; x + 6 <= width; x += 4, in += 12, out += 4 * kBytesPerPixel) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_or_si128(_mm_shuffle_epi8(v, spread), validity));
    }
    return x;
}

// Four-byte pixels to their first three bytes, four at a time; each sixteen-byte write
// runs four bytes into pixels of the same row still to be written. Returns the number done.
__attribute__((target("avx2"))) std::int32_t narrowPixels(const std::uint8_t* in, std::int32_t width,
                                                          std::uint8_t* out) {
    const __m128i pack = _mm_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1);
    std::int32_t x = 0;
    for (; x + 6 <= width; x += 4, in += 4 * kBytesPerPixel, out += 12) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_shuffle_epi8(v, pack));
    }
    return x;
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
        const __m128i bytes = _mm_or_si128(
            _mm_or_si128(_mm_shuffle_epi8(_mm_loadu_si128(sums), m0), _mm_shuffle_epi8(_mm_loadu_si128(sums + 1), m1)),
            _mm_shuffle_epi8(_mm_loadu_si128(sums + 2), m2));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out), bytes);
    }
    return x;
}

// One file row (3-byte pixels) to an image row (4-byte pixels, validity 255); the input holds
// at least one byte past the row's pixels.
void widenRow(const std::uint8_t* in, std::int32_t width, std::uint8_t* out) {
    std::int32_t x = useAvx2() ? widenPixels(in, width, out) : 0;
    in += std::size_t(x) * 3;
    out += std::size_t(x) * kBytesPerPixel;
    for (; x < width; ++x, in += 3, out += kBytesPerPixel) {
        std::uint32_t v;
        std::memcpy(&v, in, 4);
        v |= 0xFF000000u;
        std::memcpy(out, &v, 4);
    }
}

// One image row to a file row; the fill after the pixels is left as it is.
void narrowRow(const std::uint8_t* in, std::int32_t width, std::uint8_t* out) {
    // Four bytes at a time, three apart: each write's fourth byte is overwritten by the next
    // pixel; the last pixel copies its three bytes alone, leaving the fill.
    std::int32_t x = useAvx2() ? narrowPixels(in, width, out) : 0;
    in += std::size_t(x) * kBytesPerPixel;
    out += std::size_t(x) * 3;
    for (; x + 1 < width; ++x, in += kBytesPerPixel, out += 3) std::memcpy(out, in, 4);
    std::memcpy(out, in, 3);
}

// The descriptor of a regular file and the stream's position in it, -1 for anything else
// (a pipe, a device): rows of regular files are read and written in parallel at their
// offsets, the others in sequence through the stream.
long regularFileOffset(std::FILE* file) {
    struct stat info;
    if (::fstat(::fileno(file), &info) != 0 || !S_ISREG(info.st_mode)) return -1;
    return std::ftell(file);
}

// Rows handled together by one thread: about 64 KiB of file.
std::int64_t rowsPerChunk(std::int64_t rowSize) { return std::max<std::int64_t>(1, (std::int64_t(1) << 16) / rowSize); }

}   // namespace

bool readBmpRows(std::FILE* file, std::int64_t rowSize, std::int32_t width, std::int32_t height, bool topDown,
                 std::uint8_t* pixels) {
    auto rowOut = [&](std::int64_t r) {
        return pixels + std::size_t(topDown ? r : height - 1 - r) * std::size_t(width) * kBytesPerPixel;
    };
    const long start = regularFileOffset(file);
    if (start >= 0) {
        const std::int64_t chunk = rowsPerChunk(rowSize);
        std::atomic<bool> complete{true};
        parallelFor((height + chunk - 1) / chunk, [&](std::int64_t k) {
            const std::int64_t first = k * chunk, rows = std::min<std::int64_t>(chunk, height - first);
            // One byte more than the rows: each pixel is copied as four bytes, the fourth then replaced.
            thread_local std::vector<std::uint8_t> block;
            block.resize(std::size_t(rows * rowSize) + 1);
            const std::size_t wanted = std::size_t(rows * rowSize);
            std::size_t got = 0;
            while (got < wanted) {
                const ssize_t n = ::pread(::fileno(file), block.data() + got, wanted - got,
                                          off_t(start + first * rowSize) + off_t(got));
                if (n < 0 && errno == EINTR) continue;
                if (n <= 0) break;
                got += std::size_t(n);
            }
            // Only the fill of the file's last row may be missing.
            const std::size_t needed =
                first + rows == height ? std::size_t((rows - 1) * rowSize + 3 * std::int64_t(width)) : wanted;
            if (got < needed) {
                complete.store(false);
                return;
            }
            for (std::int64_t j = 0; j < rows; ++j)
                widenRow(block.data() + std::size_t(j * rowSize), width, rowOut(first + j));
        });
        return complete.load();
    }
    // A block of rows at a time, the rows of a block converted in parallel.
    const std::int64_t rowsPerBlock = std::max<std::int64_t>(1, (std::int64_t(1) << 18) / rowSize);
    std::vector<std::uint8_t> block(std::size_t(std::min<std::int64_t>(rowsPerBlock, height) * rowSize) + 1);
    for (std::int64_t first = 0; first < height; first += rowsPerBlock) {
        const std::int64_t rows = std::min<std::int64_t>(rowsPerBlock, height - first);
        const std::size_t wanted = std::size_t(rows * rowSize);
        const std::size_t got = std::fread(block.data(), 1, wanted, file);
        if (got < std::size_t((rows - 1) * rowSize + 3 * std::int64_t(width))) return false;
        parallelFor(
            rows, [&](std::int64_t k) { widenRow(block.data() + std::size_t(k * rowSize), width, rowOut(first + k)); });
    }
    return true;
}

bool writeBmpRows(std::FILE* file, const Image& image, std::int64_t rowSize) {
    auto rowIn = [&](std::int64_t r) { return pixelAt(image, 0, std::int32_t(image.height - 1 - r)); };
    const long start = std::fflush(file) == 0 ? regularFileOffset(file) : -1;
    if (start >= 0) {
        const std::int64_t chunk = rowsPerChunk(rowSize);
        std::atomic<bool> ok{true};
        parallelFor((image.height + chunk - 1) / chunk, [&](std::int64_t k) {
            const std::int64_t first = k * chunk, rows = std::min<std::int64_t>(chunk, image.height - first);
            thread_local std::vector<std::uint8_t> block;
            block.resize(std::size_t(rows * rowSize));
            const std::size_t pixelBytes = 3 * std::size_t(image.width);
            for (std::int64_t j = 0; j < rows; ++j) {
                std::uint8_t* out = block.data() + std::size_t(j * rowSize);
                if (image.width > 0) narrowRow(rowIn(first + j), image.width, out);
                std::memset(out + pixelBytes, 0, std::size_t(rowSize) - pixelBytes);   // the fill
            }
            std::size_t done = 0;
            while (done < block.size()) {
                const ssize_t n = ::pwrite(::fileno(file), block.data() + done, block.size() - done,
                                           off_t(start + first * rowSize) + off_t(done));
                if (n < 0 && errno == EINTR) continue;
                if (n <= 0) {
                    ok.store(false);
                    return;
                }
                done += std::size_t(n);
            }
        });
        // The stream goes on (and the file is cut, when rewritten) after the rows.
        return ok.load() && std::fseek(file, start + long(rowSize * image.height), SEEK_SET) == 0;
    }
    // Blocks of rows, each converted in parallel and written at once.
    const std::int64_t rowsPerBlock = std::max<std::int64_t>(1, (std::int64_t(1) << 18) / rowSize);
    std::vector<std::uint8_t> block(std::size_t(std::min<std::int64_t>(rowsPerBlock, image.height) * rowSize), 0);
    bool ok = true;
    for (std::int64_t first = 0; ok && first < image.height; first += rowsPerBlock) {
        const std::int64_t rows = std::min<std::int64_t>(rowsPerBlock, image.height - first);
        if (image.width > 0)
            parallelFor(rows, [&](std::int64_t k) {
                narrowRow(rowIn(first + k), image.width, block.data() + std::size_t(k * rowSize));
            });
        const std::size_t bytes = std::size_t(rows * rowSize);
        ok = std::fwrite(block.data(), 1, bytes, file) == bytes;
    }
    return ok;
}

void writeFitsRows(int channel, char* data) {
    const RunSettings& s = settings;
    const std::int32_t width = s.reference.width, height = s.reference.height;
    const float fitsScale = s.imageCount <= 126 ? float(s.imageCount) : 127.0f;
    // File row k holds picture row height - 1 - k.
    parallelFor(height, [&](std::int64_t k) {
        const std::int32_t y = height - 1 - std::int32_t(k);
        char* out = data + std::size_t(k) * std::size_t(width) * 2;
        const CompositeCell* cell = s.compositeSums.data() + std::size_t(y) * std::size_t(width);
        std::int32_t x = 0;
        if (s.imageCount != 0 && s.imageCount <= 126 && useAvx2()) {
            x = bigEndianSums(cell, width, channel, out);
            cell += x;
            out += std::size_t(x) * 2;
        }
        for (; x < width; ++x, ++cell, out += 2) {
            std::int32_t v = 0;
            if (s.imageCount > 126) {
                v = std::int32_t(float(InterD(cell->sum[channel]) * fitsScale / s.imageCount));
            } else if (s.imageCount != 0) {
                // fitsScale is imageCount: S * n is exact and so is its quotient by n, S
                // itself (at most 255 * 126, exact in single precision too).
                v = std::int32_t(cell->sum[channel]);
            }
            out[0] = char(std::uint8_t(v / 256));
            out[1] = char(std::uint8_t(v));
        }
    });
}
