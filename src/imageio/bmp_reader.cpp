#include "imageio/bmp_reader.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "driver/fatal_stop.h"
#include "imageio/pixel_rows.h"

namespace {

bool readField(std::FILE* file, long offset, int size, std::uint32_t& value) {
    unsigned char bytes[4] = {0, 0, 0, 0};
    if (std::fseek(file, offset, SEEK_SET) != 0) return false;
    if (std::fread(bytes, 1, std::size_t(size), file) != std::size_t(size)) return false;
    value = std::uint32_t(bytes[0]) | std::uint32_t(bytes[1]) << 8 | std::uint32_t(bytes[2]) << 16 |
            std::uint32_t(bytes[3]) << 24;
    return true;
}

long long fileLength(std::FILE* file) {
    if (std::fseek(file, 0, SEEK_END) != 0) return -1;
    return std::ftell(file);
}

// Row size in the file for bytesPerPixel x width bytes, padded to 4.
std::int64_t fileRowSize(int bytesPerPixel, std::int32_t width) {
    return ((std::int64_t(bytesPerPixel) * width - 1) / 4) * 4 + 4;
}

int unusable(std::FILE* file) {
    std::fclose(file);
    return kBmpUnusable;
}

}   // namespace

int loadBmp(Image& image, const char* path) {
    std::printf("Chargement du fichier %s", path);
    std::FILE* file = std::fopen(path, "rb");
    if (file == nullptr) {
        std::printf("Erreur : impossible d'ouvrir l'image %s\n", path);
        return kBmpNotOpened;
    }
    std::uint32_t dataOffset = 0, rawWidth = 0, rawHeight = 0, bitsPerPixel = 0, compression = 0;
    if (!readField(file, 10, 4, dataOffset) || !readField(file, 18, 4, rawWidth) ||
        !readField(file, 22, 4, rawHeight) || !readField(file, 28, 2, bitsPerPixel) ||
        !readField(file, 30, 4, compression)) {
        std::printf("Erreur : en-tete BMP incomplet\n");
        return unusable(file);
    }
    if (compression != 0) {
        std::printf("Fichier BMP compresse: chargement impossible\n");
        fatalStop();
    }
    if (bitsPerPixel != 8 && bitsPerPixel != 24) {
        std::printf("Erreur fatale: mode d'image non supporte\n");
        fatalStop();
    }
    const std::int32_t width = std::int32_t(rawWidth);
    const std::int32_t signedHeight = std::int32_t(rawHeight);
    // A negative height marks rows stored from the top of the picture.
    const bool topDown = signedHeight < 0;
    const std::int64_t height64 = topDown ? -std::int64_t(signedHeight) : signedHeight;
    if (width < 0) {
        std::printf("Erreur : largeur d'image negative (%i)\n", width);
        return unusable(file);
    }
    if (width > kMaxImageSide || height64 > kMaxImageSide || std::int64_t(width) * height64 > kMaxImagePixels) {
        std::printf("Erreur : image trop grande (%i x %lli pixels; limite %i de cote, %lli en tout)\n", width,
                    static_cast<long long>(height64), kMaxImageSide, static_cast<long long>(kMaxImagePixels));
        return unusable(file);
    }
    const std::int32_t height = std::int32_t(height64);
    const int bytesPerPixel = bitsPerPixel == 24 ? 3 : 1;
    const std::int64_t rowSize = fileRowSize(bytesPerPixel, width);

    if (width > 0 && height > 0) {
        // Every pixel byte must be in the file; only the fill of the last row may be missing.
        // This holds for 8-bit files too, whose pixels are not read: a few bytes must not
        // announce an image of a gigabyte.
        const std::int64_t needed =
            std::int64_t(dataOffset) + rowSize * (height - 1) + bytesPerPixel * std::int64_t(width);
        const long long length = fileLength(file);
        if (length < needed) {
            std::printf("Erreur : fichier BMP tronque (%lli octets, %lli attendus)\n", length,
                        static_cast<long long>(needed));
            return unusable(file);
        }
    }

    std::uint8_t* pixels = nullptr;
    const std::size_t bytes = pixelBytes(width, height);
    if (bytes != 0) {
        // 24-bit rows fill every byte; the pixels of an 8-bit file are not read and stay 0.
        pixels = bitsPerPixel == 24 ? new (std::nothrow) std::uint8_t[bytes] : new (std::nothrow) std::uint8_t[bytes]();
        if (pixels == nullptr) {
            std::printf("Erreur : pas assez de memoire \n");
            fatalStop();
        }
    }

    if (bitsPerPixel == 24) {
        if (pixels != nullptr && (std::fseek(file, long(dataOffset), SEEK_SET) != 0 ||
                                  !readBmpRows(file, rowSize, width, height, topDown, pixels))) {
            delete[] pixels;
            std::printf("Erreur : lecture incomplete des lignes de l'image\n");
            return unusable(file);
        }
    } else {
        for (int i = 0; i < 100; ++i) std::printf("La sauvegarde en N&B n'est pas encore possible\n");
    }
    std::fclose(file);
    image.pixels = pixels;
    image.width = width;
    image.height = height;
    return kBmpLoaded;
}
