// make-ser: a 16-bit grey SER video from 24-bit BMP frames, for trying camera input on the
// sample sequence. Each sample is (red + 2 green + blue) * 64 (0..65280), little-endian,
// with the header's flag saying so and one timestamp a frame after the frames.
//
//   make-ser OUT.ser FRAME.bmp [FRAME.bmp ...]
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "make_sequence/sequence.h"

namespace {

void putInt32(std::vector<std::uint8_t>& out, std::size_t at, std::int32_t v) {
    for (int k = 0; k < 4; ++k) out[at + std::size_t(k)] = std::uint8_t(std::uint32_t(v) >> (8 * k));
}

}   // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: make-ser OUT.ser FRAME.bmp [FRAME.bmp ...]\n");
        return 2;
    }
    std::vector<std::uint8_t> out(178, 0);
    std::memcpy(out.data(), "LUCAM-RECORDER", 14);
    std::memcpy(out.data() + 122, "kalvorine make-ser", 18);
    std::int32_t width = 0, height = 0;
    for (int k = 2; k < argc; ++k) {
        kalseq::Raster frame;
        std::string error;
        if (!kalseq::readBmp(argv[k], frame, error)) {
            std::fprintf(stderr, "make-ser: %s: %s\n", argv[k], error.c_str());
            return 1;
        }
        if (k == 2) {
            width = frame.width;
            height = frame.height;
        } else if (frame.width != width || frame.height != height) {
            std::fprintf(stderr, "make-ser: %s: size differs from the first frame\n", argv[k]);
            return 1;
        }
        for (std::size_t i = 0; i + 2 < frame.bgr.size(); i += 3) {
            const std::uint32_t v = (std::uint32_t(frame.bgr[i]) + 2u * frame.bgr[i + 1] + frame.bgr[i + 2]) * 64u;
            out.push_back(std::uint8_t(v & 0xFF));
            out.push_back(std::uint8_t(v >> 8));
        }
    }
    putInt32(out, 22, 1);   // little-endian samples
    putInt32(out, 26, width);
    putInt32(out, 30, height);
    putInt32(out, 34, 16);
    putInt32(out, 38, argc - 2);
    for (int k = 2; k < argc; ++k)
        for (int b = 0; b < 8; ++b) out.push_back(std::uint8_t((0x08D0000000000000ull + std::uint64_t(k)) >> (8 * b)));
    std::FILE* file = std::fopen(argv[1], "wb");
    if (file == nullptr || std::fwrite(out.data(), 1, out.size(), file) != out.size() || std::fclose(file) != 0) {
        std::fprintf(stderr, "make-ser: cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
