#include "imageio/bmp_writer.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "imageio/output_file.h"
#include "imageio/pixel_rows.h"

namespace {

void put16(std::uint8_t* at, std::uint32_t v) {
    at[0] = std::uint8_t(v);
    at[1] = std::uint8_t(v >> 8);
}

void put32(std::uint8_t* at, std::uint32_t v) {
    put16(at, v);
    put16(at + 2, v >> 16);
}

}   // namespace

bool saveBmp(const Image& image, const char* path, bool durable) {
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
    OutputFile out;
    if (const OutputOpen opened = openOutput(out, path); opened != OutputOpen::opened) {
        std::printf(" %s\n", outputOpenError(opened));
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
    bool ok = std::fwrite(header, 1, sizeof header, out.file) == sizeof header;

    ok = ok && writeBmpRows(out.file, image, rowSize);
    if (!ok) discardOutput(out);
    if (!ok || !commitOutput(out, durable)) {
        std::printf(" ERREUR : ecriture incomplete du fichier (disque plein ?)\n");
        return false;
    }
    std::printf(" FIN\n");
    return true;
}
