#include "imageio/frame_source.h"

#include <fitsio.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>

#include "imageio/bmp_reader.h"

namespace {

constexpr std::int64_t kSerHeaderSize = 178;

// SER colour identifiers.
constexpr std::int32_t kSerMono = 0, kSerRggb = 8, kSerGrbg = 9, kSerGbrg = 10, kSerBggr = 11, kSerRgb = 100,
                       kSerBgr = 101;

long long sizeOfFile(std::FILE* file) {
    struct stat st {};
    if (::fstat(::fileno(file), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
    return static_cast<long long>(st.st_size);
}

bool readAt(std::FILE* file, std::int64_t offset, void* data, std::size_t size) {
    if (::fseeko(file, off_t(offset), SEEK_SET) != 0) return false;
    return std::fread(data, 1, size, file) == size;
}

std::int32_t littleInt32(const unsigned char* p) {
    return std::int32_t(std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
                        std::uint32_t(p[3]) << 24);
}

bool sizeAccepted(std::int64_t width, std::int64_t height) {
    if (width <= 0 || height <= 0 || width > kMaxImageSide || height > kMaxImageSide ||
        width * height > kMaxImagePixels) {
        std::printf("Erreur : taille d'image refusee (%lli x %lli pixels; limite %i de cote, %lli en tout)\n",
                    static_cast<long long>(width), static_cast<long long>(height), kMaxImageSide,
                    static_cast<long long>(kMaxImagePixels));
        return false;
    }
    return true;
}

// ---- SER ------------------------------------------------------------------------------

struct SerHeader {
    std::int32_t colourId = 0;
    std::int32_t littleEndianFlag = 0;
    std::int32_t width = 0, height = 0, depth = 0;
    std::int32_t announced = 0;   // FrameCount of the header
    std::int64_t frames = 0;      // whole frames in the file (at most announced)
    std::int32_t planes = 1;      // samples a pixel in the file
    std::int32_t sampleBytes = 1;
    std::int64_t frameBytes = 0;
    const char* pattern = nullptr;   // Bayer cell, or null
};

const char* serColourName(std::int32_t id) {
    switch (id) {
        case kSerMono:
            return "mono";
        case kSerRggb:
            return "RGGB";
        case kSerGrbg:
            return "GRBG";
        case kSerGbrg:
            return "GBRG";
        case kSerBggr:
            return "BGGR";
        case kSerRgb:
            return "RGB";
        case kSerBgr:
            return "BGR";
        default:
            return nullptr;
    }
}

// Reads and checks the header; reports (continuing the current line) and returns false
// when it is unusable. A video shorter than announced keeps its whole frames, reported.
bool readSerHeader(std::FILE* file, long long fileSize, SerHeader& h) {
    unsigned char b[kSerHeaderSize];
    if (fileSize < kSerHeaderSize || !readAt(file, 0, b, sizeof b)) {
        std::printf("Erreur : en-tete SER incomplet\n");
        return false;
    }
    h.colourId = littleInt32(b + 18);
    h.littleEndianFlag = littleInt32(b + 22);
    h.width = littleInt32(b + 26);
    h.height = littleInt32(b + 30);
    h.depth = littleInt32(b + 34);
    h.announced = littleInt32(b + 38);
    const char* name = serColourName(h.colourId);
    if (name == nullptr) {
        std::printf("Erreur : code couleur SER non supporte (%i)\n", h.colourId);
        return false;
    }
    if (h.depth < 1 || h.depth > 16) {
        std::printf("Erreur : profondeur SER non supportee (%i bits)\n", h.depth);
        return false;
    }
    if (!sizeAccepted(h.width, h.height)) return false;
    if (h.announced <= 0) {
        std::printf("Erreur : video SER sans image (%i annoncees)\n", h.announced);
        return false;
    }
    h.planes = h.colourId >= kSerRgb ? 3 : 1;
    h.sampleBytes = h.depth > 8 ? 2 : 1;
    h.pattern = h.colourId >= kSerRggb && h.colourId <= kSerBggr ? name : nullptr;
    h.frameBytes = std::int64_t(h.width) * h.height * h.planes * h.sampleBytes;   // below 2^31 * 6
    h.frames = std::min<std::int64_t>(h.announced, (fileSize - kSerHeaderSize) / h.frameBytes);
    if (h.frames == 0) {
        std::printf("Erreur : video SER tronquee, aucune image entiere (%lli octets, %i images annoncees)\n", fileSize,
                    h.announced);
        return false;
    }
    return true;
}

// The byte order of 16-bit samples, told from the data: the header's flag is written
// inverted by some capture programs. With fewer than 16 significant bits, the order under
// which fewer samples have a bit above the depth wins; otherwise (or on a tie) the order
// whose neighbouring samples of the same colour differ less in all; the flag decides a
// last tie (a flat frame).
bool samplesLittleEndian(const unsigned char* raw, const SerHeader& h) {
    const std::size_t count = std::size_t(h.width) * std::size_t(h.height) * std::size_t(h.planes);
    if (h.depth < 16) {
        std::uint64_t highLittle = 0, highBig = 0;
        for (std::size_t i = 0; i < count; ++i) {
            highLittle += (raw[2 * i + 1] >> (h.depth - 8)) != 0;
            highBig += (raw[2 * i] >> (h.depth - 8)) != 0;
        }
        if (highLittle != highBig) return highLittle < highBig;
    }
    // Neighbours of the same colour: the next pixel of an RGB row, two pixels on in a mosaic.
    const std::size_t step = h.pattern != nullptr ? 2 : std::size_t(h.planes);
    const std::size_t rowSamples = std::size_t(h.width) * std::size_t(h.planes);
    std::uint64_t roughLittle = 0, roughBig = 0;
    for (std::size_t y = 0; y < std::size_t(h.height); ++y) {
        const unsigned char* row = raw + 2 * y * rowSamples;
        for (std::size_t i = step; i < rowSamples; ++i) {
            const unsigned char* a = row + 2 * (i - step);
            const unsigned char* b = row + 2 * i;
            const std::int32_t la = a[0] | a[1] << 8, lb = b[0] | b[1] << 8;
            const std::int32_t ba = a[0] << 8 | a[1], bb = b[0] << 8 | b[1];
            roughLittle += std::uint64_t(std::abs(la - lb));
            roughBig += std::uint64_t(std::abs(ba - bb));
        }
    }
    if (roughLittle != roughBig) return roughLittle < roughBig;
    return h.littleEndianFlag != 0;
}

int loadSerFrame(std::FILE* file, long long fileSize, std::int64_t index, DeepImage& deep) {
    SerHeader h;
    if (!readSerHeader(file, fileSize, h)) return kFrameUnusable;
    if (index < 0 || index >= h.frames) {
        std::printf("Erreur : image %lli absente de la video (%lli images entieres)\n", static_cast<long long>(index),
                    static_cast<long long>(h.frames));
        return kFrameUnusable;
    }
    std::vector<unsigned char> raw;
    std::vector<float> samples;
    try {
        raw.resize(std::size_t(h.frameBytes));
        samples.resize(std::size_t(h.frameBytes / h.sampleBytes));
    } catch (const std::bad_alloc&) {
        std::printf("Erreur : pas assez de memoire \n");
        return kFrameUnusable;
    }
    if (!readAt(file, kSerHeaderSize + index * h.frameBytes, raw.data(), raw.size())) {
        std::printf("Erreur : lecture incomplete de l'image %lli\n", static_cast<long long>(index));
        return kFrameUnusable;
    }
    if (h.sampleBytes == 1) {
        for (std::size_t i = 0; i < samples.size(); ++i) samples[i] = float(raw[i]);
    } else if (samplesLittleEndian(raw.data(), h)) {
        for (std::size_t i = 0; i < samples.size(); ++i) samples[i] = float(raw[2 * i] | raw[2 * i + 1] << 8);
    } else {
        for (std::size_t i = 0; i < samples.size(); ++i) samples[i] = float(raw[2 * i] << 8 | raw[2 * i + 1]);
    }
    deep = DeepImage{};
    deep.width = h.width;
    deep.height = h.height;
    deep.depth = h.sampleBytes * 8;
    deep.range = h.sampleBytes == 1 ? 255.0f : 65535.0f;
    if (h.pattern != nullptr) {
        deep.samples = demosaicBilinear(samples, h.width, h.height, h.pattern);
        deep.channels = 3;
    } else if (h.colourId == kSerBgr) {
        for (std::size_t i = 0; i < samples.size(); i += 3) std::swap(samples[i], samples[i + 2]);
        deep.samples = std::move(samples);
        deep.channels = 3;
    } else {
        deep.samples = std::move(samples);
        deep.channels = h.planes;
    }
    return kFrameLoaded;
}

// ---- FITS -----------------------------------------------------------------------------

struct FitsLayout {
    int bitpix = 0;
    std::int64_t width = 0, height = 0, planes = 1;
    bool rgb = false;      // NAXIS3 = 3: one colour frame; otherwise planes grey frames
    std::string pattern;   // BAYERPAT, empty when absent
};

void reportFitsStatus(int status) {
    char text[FLEN_STATUS] = {0};
    fits_get_errstatus(status, text);
    std::printf("Erreur : fichier FITS illisible (%s)\n", text);
    fits_clear_errmsg();
}

// The primary image's layout; reports and returns false when it is not one the program reads.
bool readFitsLayout(fitsfile* f, long long fileSize, FitsLayout& l) {
    int status = 0, naxis = 0;
    LONGLONG axes[3] = {0, 0, 0};
    fits_get_img_paramll(f, 3, &l.bitpix, &naxis, axes, &status);
    if (status != 0) {
        reportFitsStatus(status);
        return false;
    }
    if (l.bitpix != 8 && l.bitpix != 16 && l.bitpix != 32 && l.bitpix != -32 && l.bitpix != -64) {
        std::printf("Erreur : BITPIX FITS non supporte (%i)\n", l.bitpix);
        return false;
    }
    if (naxis != 2 && naxis != 3) {
        std::printf("Erreur : NAXIS FITS non supporte (%i; 2 ou 3 attendu)\n", naxis);
        return false;
    }
    l.width = axes[0];
    l.height = axes[1];
    l.planes = naxis == 3 ? axes[2] : 1;
    if (!sizeAccepted(l.width, l.height)) return false;
    if (l.planes < 1) {
        std::printf("Erreur : NAXIS3 FITS refuse (%lli)\n", static_cast<long long>(l.planes));
        return false;
    }
    l.rgb = l.planes == 3;
    // The data must be in the file before anything is allocated for them.
    LONGLONG headStart = 0, dataStart = 0, dataEnd = 0;
    fits_get_hduaddrll(f, &headStart, &dataStart, &dataEnd, &status);
    const long double needed =
        (long double)(dataStart) + (long double)(l.width) * l.height * l.planes * (std::abs(l.bitpix) / 8);
    if (status != 0 || needed > (long double)(fileSize)) {
        std::printf("Erreur : fichier FITS tronque (%lli octets, %.0Lf attendus)\n", fileSize, needed);
        fits_clear_errmsg();
        return false;
    }
    char value[FLEN_VALUE] = {0};
    if (fits_read_key(f, TSTRING, "BAYERPAT", value, nullptr, &status) == 0) {
        std::string p(value);
        p.erase(std::remove(p.begin(), p.end(), ' '), p.end());
        if (p != "RGGB" && p != "GRBG" && p != "GBRG" && p != "BGGR") {
            std::printf("Erreur : BAYERPAT FITS non supporte (%s)\n", p.c_str());
            return false;
        }
        if (!l.rgb) l.pattern = p;
    }
    fits_clear_errmsg();
    return true;
}

// Plane `plane` (1 first) of the primary image, rows turned to top first.
bool readFitsPlane(fitsfile* f, const FitsLayout& l, std::int64_t plane, std::vector<float>& out) {
    const std::size_t count = std::size_t(l.width) * std::size_t(l.height);
    std::vector<float> stored(count);
    LONGLONG first[3] = {1, 1, plane};
    int status = 0, anyNull = 0;
    fits_read_pixll(f, TFLOAT, first, LONGLONG(count), nullptr, stored.data(), &anyNull, &status);
    if (status != 0) {
        reportFitsStatus(status);
        return false;
    }
    for (float& v : stored)
        if (!std::isfinite(v)) v = 0;
    if (!l.pattern.empty())
        stored = demosaicBilinear(stored, std::int32_t(l.width), std::int32_t(l.height), l.pattern.c_str());
    const std::size_t rowValues = stored.size() / std::size_t(l.height);
    out.resize(stored.size());
    for (std::size_t y = 0; y < std::size_t(l.height); ++y)
        std::memcpy(out.data() + y * rowValues, stored.data() + (std::size_t(l.height) - 1 - y) * rowValues,
                    rowValues * sizeof(float));
    return true;
}

int loadFitsFrame(const char* path, long long fileSize, std::int64_t index, DeepImage& deep) {
    fitsfile* f = nullptr;
    int status = 0;
    if (fits_open_diskfile(&f, path, READONLY, &status) != 0) {
        reportFitsStatus(status);
        return kFrameUnusable;
    }
    FitsLayout l;
    int result = kFrameUnusable;
    if (readFitsLayout(f, fileSize, l)) {
        const std::int64_t frames = l.rgb ? 1 : l.planes;
        if (index < 0 || index >= frames) {
            std::printf("Erreur : image %lli absente du fichier FITS (%lli images)\n", static_cast<long long>(index),
                        static_cast<long long>(frames));
        } else {
            DeepImage d;
            d.width = std::int32_t(l.width);
            d.height = std::int32_t(l.height);
            d.depth = l.bitpix;
            d.range = l.bitpix == 8 ? 255.0f : 65535.0f;
            bool ok = true;
            try {
                if (l.rgb) {
                    std::vector<float> planes[3];
                    for (int c = 0; c < 3 && ok; ++c) ok = readFitsPlane(f, l, c + 1, planes[c]);
                    if (ok) {
                        d.samples.resize(planes[0].size() * 3);
                        for (std::size_t i = 0; i < planes[0].size(); ++i)
                            for (int c = 0; c < 3; ++c) d.samples[3 * i + std::size_t(c)] = planes[c][i];
                    }
                    d.channels = 3;
                } else {
                    ok = readFitsPlane(f, l, index + 1, d.samples);
                    d.channels = l.pattern.empty() ? 1 : 3;
                }
            } catch (const std::bad_alloc&) {
                std::printf("Erreur : pas assez de memoire \n");
                ok = false;
            }
            if (ok) {
                deep = std::move(d);
                result = kFrameLoaded;
            }
        }
    }
    status = 0;
    fits_close_file(f, &status);
    fits_clear_errmsg();
    return result;
}

FrameFormat formatOf(std::FILE* file) {
    char head[14] = {0};
    const std::size_t n = std::fseek(file, 0, SEEK_SET) == 0 ? std::fread(head, 1, sizeof head, file) : 0;
    if (n >= 14 && std::memcmp(head, "LUCAM-RECORDER", 14) == 0) return FrameFormat::ser;
    if (n >= 10 && std::memcmp(head, "SIMPLE  = ", 10) == 0) return FrameFormat::fits;
    return FrameFormat::bmp;
}

}   // namespace

bool probeFrameSource(const char* path, FrameSourceInfo& info) {
    // Looked at before it is opened: opening a pipe or a device could wait or take its data.
    struct stat st {};
    if (::stat(path, &st) == 0 && !S_ISREG(st.st_mode)) {
        std::printf("Erreur : %s n'est pas un fichier ordinaire\n", path);
        return false;
    }
    std::FILE* file = std::fopen(path, "rb");
    if (file == nullptr) {
        std::printf("Erreur : impossible d'ouvrir le fichier %s\n", path);
        return false;
    }
    info = FrameSourceInfo{};
    info.format = formatOf(file);
    info.fileSize = sizeOfFile(file);
    bool ok = false;
    if (info.format == FrameFormat::ser) {
        SerHeader h;
        ok = readSerHeader(file, info.fileSize, h);
        if (ok) {
            info.width = h.width;
            info.height = h.height;
            info.depth = h.depth;
            info.frames = h.frames;
            info.announced = h.announced;
            info.colour = serColourName(h.colourId);
        }
    } else if (info.format == FrameFormat::fits) {
        fitsfile* f = nullptr;
        int status = 0;
        if (fits_open_diskfile(&f, path, READONLY, &status) != 0) {
            reportFitsStatus(status);
        } else {
            FitsLayout l;
            ok = readFitsLayout(f, info.fileSize, l);
            if (ok) {
                info.width = std::int32_t(l.width);
                info.height = std::int32_t(l.height);
                info.depth = l.bitpix;
                info.frames = info.announced = l.rgb ? 1 : l.planes;
                info.colour = l.rgb ? "RGB" : l.pattern.empty() ? "mono" : l.pattern;
            }
            status = 0;
            fits_close_file(f, &status);
            fits_clear_errmsg();
        }
    } else {
        std::printf("Erreur : le fichier %s n'est ni une video SER ni un fichier FITS\n", path);
    }
    std::fclose(file);
    return ok;
}

int loadFrame(const char* path, std::int64_t index, Image& image, DeepImage& deep) {
    // Only a regular file is looked at first: opening a pipe or a device could wait, and its
    // first bytes would be gone for the BMP reader, which takes everything else as before.
    struct stat st {};
    const bool regular = ::stat(path, &st) == 0 && S_ISREG(st.st_mode);
    std::FILE* file = regular ? std::fopen(path, "rb") : nullptr;
    const FrameFormat format = file != nullptr && sizeOfFile(file) >= 0 ? formatOf(file) : FrameFormat::bmp;
    if (format == FrameFormat::bmp) {
        if (file != nullptr) std::fclose(file);
        deep = DeepImage{};
        return loadBmp(image, path);
    }
    std::printf("Chargement du fichier %s (image %lli)\n", path, static_cast<long long>(index));
    const long long fileSize = sizeOfFile(file);
    int result;
    if (format == FrameFormat::ser) {
        result = loadSerFrame(file, fileSize, index, deep);
        std::fclose(file);
    } else {
        std::fclose(file);
        result = loadFitsFrame(path, fileSize, index, deep);
    }
    return result;
}

Image viewOf(const DeepImage& deep, float maximum) {
    Image out;
    out.width = deep.width;
    out.height = deep.height;
    out.pixels = allocatePixels(deep.width, deep.height);
    const std::size_t count = std::size_t(std::max(deep.width, 0)) * std::size_t(std::max(deep.height, 0));
    auto level = [&](float v) -> std::uint8_t {
        const double clipped = v > maximum ? double(maximum) : v > 0 ? double(v) : 0.0;
        return std::uint8_t(std::int32_t(clipped * 255.0 / double(maximum)));
    };
    for (std::size_t i = 0; i < count; ++i) {
        std::uint8_t* p = out.pixels + i * kBytesPerPixel;
        const float* v = deep.samples.data() + i * std::size_t(deep.channels);
        if (deep.channels == 1) {
            p[0] = p[1] = p[2] = level(v[0]);
        } else {
            p[0] = level(v[2]);
            p[1] = level(v[1]);
            p[2] = level(v[0]);
        }
        p[3] = deep.weight.empty() ? 255 : std::uint8_t(std::int32_t(255.0f * deep.weight[i]));
    }
    return out;
}

float largestSample(const DeepImage& deep) {
    float largest = 1;
    for (const float v : deep.samples) largest = std::max(largest, v);
    return largest;
}

DeepImage deepOf(const Image& image) {
    DeepImage d;
    d.width = image.width;
    d.height = image.height;
    d.channels = 3;
    const std::size_t count = pixelBytes(image.width, image.height) / kBytesPerPixel;
    d.samples.resize(count * 3);
    d.weight.resize(count);
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t* p = image.pixels + i * kBytesPerPixel;
        const float w = float(p[3]) / 255.0f;
        d.weight[i] = w;
        for (int c = 0; c < 3; ++c) d.samples[3 * i + std::size_t(c)] = float(p[2 - c]) * w;
    }
    return d;
}

std::vector<float> demosaicBilinear(const std::vector<float>& mosaic, std::int32_t width, std::int32_t height,
                                    const char* pattern) {
    auto colourAt = [&](std::int32_t x, std::int32_t y) {
        const char c = pattern[(y & 1) * 2 + (x & 1)];
        return c == 'R' ? 0 : c == 'G' ? 1 : 2;
    };
    std::vector<float> out(mosaic.size() * 3);
    for (std::int32_t y = 0; y < height; ++y) {
        for (std::int32_t x = 0; x < width; ++x) {
            float sum[3] = {0, 0, 0};
            int n[3] = {0, 0, 0};
            const int own = colourAt(x, y);
            // The 3x3 neighbourhood holds the two or four nearest samples of each other colour.
            for (std::int32_t dy = -1; dy <= 1; ++dy) {
                const std::int32_t yy = y + dy;
                if (yy < 0 || yy >= height) continue;
                for (std::int32_t dx = -1; dx <= 1; ++dx) {
                    const std::int32_t xx = x + dx;
                    if (xx < 0 || xx >= width || (dx == 0 && dy == 0)) continue;
                    const int c = colourAt(xx, yy);
                    if (c == own) continue;
                    sum[c] += mosaic[std::size_t(yy) * std::size_t(width) + std::size_t(xx)];
                    ++n[c];
                }
            }
            float* o = out.data() + (std::size_t(y) * std::size_t(width) + std::size_t(x)) * 3;
            for (int c = 0; c < 3; ++c) o[c] = n[c] > 0 ? sum[c] / float(n[c]) : 0.0f;
            o[own] = mosaic[std::size_t(y) * std::size_t(width) + std::size_t(x)];
        }
    }
    return out;
}
