#include "composite/deep_stack.h"

#include <png.h>

#include <algorithm>
#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "common/parallel.h"
#include "common/precision.h"
#include "imageio/fits_writer.h"
#include "imageio/output_file.h"

namespace {

constexpr std::size_t kFitsBlock = 2880;

// Writes the sample (and weight) of the frame at integer position (ix, iy) and fractions
// (fx, fy), by samplePixel's rule: bilinear inside, a copy on the last column or row,
// zeros elsewhere; single precision, nothing truncated.
void sampleDeep(const DeepImage& f, std::int32_t ix, std::int32_t iy, float fx, float fy, float* out, float& weight) {
    const std::int32_t n = f.channels;
    const bool whole = f.weight.empty();
    if (ix >= 0 && ix < f.width - 1 && iy >= 0 && iy < f.height - 1) {
        const std::size_t i00 = std::size_t(iy) * std::size_t(f.width) + std::size_t(ix);
        const std::size_t i10 = i00 + 1, i01 = i00 + std::size_t(f.width), i11 = i01 + 1;
        const float gx = 1.0f - fx, gy = 1.0f - fy;
        const float w00 = gx * gy, w10 = fx * gy, w01 = gx * fy, w11 = fx * fy;
        const float* s = f.samples.data();
        for (std::int32_t c = 0; c < n; ++c)
            out[c] = s[i00 * n + c] * w00 + s[i10 * n + c] * w10 + s[i01 * n + c] * w01 + s[i11 * n + c] * w11;
        weight = whole ? w00 + w10 + w01 + w11
                       : f.weight[i00] * w00 + f.weight[i10] * w10 + f.weight[i01] * w01 + f.weight[i11] * w11;
    } else if (ix >= 0 && ix < f.width && iy >= 0 && iy < f.height) {
        const std::size_t i = std::size_t(iy) * std::size_t(f.width) + std::size_t(ix);
        for (std::int32_t c = 0; c < n; ++c) out[c] = f.samples[i * n + c];
        weight = whole ? 1.0f : f.weight[i];
    } else {
        for (std::int32_t c = 0; c < n; ++c) out[c] = 0;
        weight = 0;
    }
}

void sampleDeepAt(const DeepImage& f, float sx, float sy, float* out, float& weight) {
    const std::int32_t ix = std::int32_t(sx), iy = std::int32_t(sy);
    sampleDeep(f, ix, iy, sx - float(ix), sy - float(iy), out, weight);
}

DeepImage emptyLike(const DeepImage& frame, std::int32_t width, std::int32_t height) {
    DeepImage out;
    out.width = width;
    out.height = height;
    out.channels = frame.channels;
    out.depth = frame.depth;
    out.range = frame.range;
    const std::size_t count = std::size_t(std::max(width, 0)) * std::size_t(std::max(height, 0));
    out.samples.assign(count * std::size_t(frame.channels), 0.0f);
    out.weight.assign(count, 0.0f);
    return out;
}

void appendCard(std::string& out, const std::string& card) {
    std::string line = card.substr(0, 80);
    line.append(80 - line.size(), ' ');
    out += line;
}

void appendStringCard(std::string& out, const char* keyword, const std::string& value, const char* comment) {
    std::string v = "'" + value;
    if (value.size() < 8) v.append(8 - value.size(), ' ');
    v += "'";
    std::string line = keyword;
    line.append(8 - line.size(), ' ');
    line += "= " + v;
    if (line.size() < 30) line.append(30 - line.size(), ' ');
    line += std::string(" / ") + comment;
    appendCard(out, line);
}

bool commitBytes(const std::string& bytes, const char* path) {
    OutputFile file;
    if (const OutputOpen opened = openOutput(file, path); opened != OutputOpen::opened) {
        std::printf("Erreur : impossible de creer le fichier %s%s\n", path, outputOpenError(opened));
        return false;
    }
    if (std::fwrite(bytes.data(), 1, bytes.size(), file.file) != bytes.size()) {
        discardOutput(file);
        std::printf("Erreur : ecriture incomplete du fichier %s (disque plein ?)\n", path);
        return false;
    }
    if (!commitOutput(file, true)) {
        std::printf("Erreur : ecriture incomplete du fichier %s (disque plein ?)\n", path);
        return false;
    }
    return true;
}

void pngWrite(png_structp png, png_bytep data, png_size_t length) {
    static_cast<std::string*>(png_get_io_ptr(png))->append(reinterpret_cast<const char*>(data), length);
}

void pngFlush(png_structp) {}

// The libpng calls, apart from any C++ object with a destructor: libpng reports its errors
// by longjmp.
bool encodePng(std::string* bytes, std::uint32_t width, std::uint32_t height, int colourType, png_bytepp rows) {
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    if (png == nullptr) return false;
    png_infop info = png_create_info_struct(png);
    if (info == nullptr || setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return false;
    }
    png_set_write_fn(png, bytes, pngWrite, pngFlush);
    png_set_IHDR(png, info, width, height, 16, colourType, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    png_write_image(png, rows);
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    return true;
}

}   // namespace

DeepImage rotateAndShiftDeep(const DeepImage& frame, const RigidGeometry& rigid, const Image& box) {
    DeepImage out = emptyLike(frame, box.width, box.height);
    const double cosA = std::cos(double(rigid.angle)), sinA = std::sin(double(rigid.angle));
    const Extended c = cosA, s = sinA;
    parallelFor(box.height, [&](std::int64_t row) {
        const std::int32_t v = std::int32_t(row) - box.y0;
        const Extended sv = s * v, cv = c * v;
        for (std::int32_t col = 0; col < box.width; ++col) {
            const Extended cu = c * (col - box.x0), su = s * (col - box.x0);
            const float sx = float(cu - sv + rigid.x0 + rigid.shiftX);
            const float sy = float(su + cv + rigid.y0 + rigid.shiftY);
            const std::size_t i = std::size_t(row) * std::size_t(box.width) + std::size_t(col);
            sampleDeepAt(frame, sx, sy, out.samples.data() + i * std::size_t(frame.channels), out.weight[i]);
        }
    });
    return out;
}

DeepImage deformDeep(const DeepImage& frame, const BlockDeformation& blocks) {
    const BlockGrid& grid = blocks.grid;
    if (grid.columns <= 0 || grid.rows <= 0) return frame;
    DeepImage out = emptyLike(frame, frame.width, frame.height);
    const std::int32_t nx = grid.columns;
    std::vector<NodeWeight> wx(std::size_t(std::max(frame.width, 0)));
    for (std::int32_t x = 0; x < frame.width; ++x) wx[std::size_t(x)] = nodeWeight(x, blocks.spacing, grid.columns);
    parallelFor(frame.height, [&](std::int64_t row) {
        const std::int32_t y = std::int32_t(row);
        const NodeWeight wy = nodeWeight(y, blocks.spacing, grid.rows);
        for (std::int32_t x = 0; x < frame.width; ++x) {
            const NodeWeight& w = wx[std::size_t(x)];
            const std::size_t k00 = std::size_t(wy.index) * nx + w.index, k10 = std::size_t(wy.index) * nx + w.next;
            const std::size_t k01 = std::size_t(wy.next) * nx + w.index, k11 = std::size_t(wy.next) * nx + w.next;
            const float sx = float(x) - interpolated(grid.offsetX.data(), k00, k10, k01, k11, w.weight, wy.weight);
            const float sy = float(y) - interpolated(grid.offsetY.data(), k00, k10, k01, k11, w.weight, wy.weight);
            const std::size_t i = std::size_t(y) * std::size_t(frame.width) + std::size_t(x);
            sampleDeepAt(frame, sx, sy, out.samples.data() + i * std::size_t(frame.channels), out.weight[i]);
        }
    });
    return out;
}

DeepStack startDeepStack(const Image& reference, const DeepImage& referenceDeep) {
    DeepStack stack;
    stack.width = reference.width;
    stack.height = reference.height;
    stack.x0 = reference.x0;
    stack.y0 = reference.y0;
    stack.channels = referenceDeep.channels == 1 ? 1 : 3;
    stack.range = referenceDeep.range;
    const std::size_t cells = pixelBytes(reference.width, reference.height) / kBytesPerPixel;
    stack.sums.assign(cells * std::size_t(stack.channels), 0.0);
    stack.weights.assign(cells, 0.0);
    return stack;
}

void addToDeepStack(DeepStack& stack, const DeepImage& im, std::int32_t x0, std::int32_t y0) {
    const std::int32_t dx = x0 - stack.x0, dy = y0 - stack.y0;
    const std::int32_t xBegin = std::max(0, -dx), xEnd = std::min(stack.width, im.width - dx);
    const std::int32_t yBegin = std::max(0, -dy), yEnd = std::min(stack.height, im.height - dy);
    ++stack.frames;
    if (xBegin >= xEnd || yBegin >= yEnd) return;
    const double scale = double(stack.range) / double(im.range);
    const std::size_t n = std::size_t(im.channels), m = std::size_t(stack.channels);
    for (std::int32_t y = yBegin; y < yEnd; ++y) {
        for (std::int32_t x = xBegin; x < xEnd; ++x) {
            const std::size_t src = std::size_t(y + dy) * std::size_t(im.width) + std::size_t(x + dx);
            const std::size_t cell = std::size_t(y) * std::size_t(stack.width) + std::size_t(x);
            const double w = im.weight.empty() ? 1.0 : double(im.weight[src]);
            if (w == 0) continue;
            const float* v = im.samples.data() + src * n;
            double* sum = stack.sums.data() + cell * m;
            if (n == m) {
                for (std::size_t c = 0; c < m; ++c) sum[c] += double(v[c]) * scale;
            } else if (n == 1) {
                for (std::size_t c = 0; c < m; ++c) sum[c] += double(v[0]) * scale;
            } else {
                sum[0] += (double(v[0]) + double(v[1]) + double(v[2])) / 3.0 * scale;
            }
            stack.weights[cell] += w;
        }
    }
}

float deepMean(const DeepStack& stack, std::size_t cell, std::int32_t channel) {
    const double w = stack.weights[cell];
    return w > 0 ? float(stack.sums[cell * std::size_t(stack.channels) + std::size_t(channel)] / w) : 0.0f;
}

std::string deepStackFits(const DeepStack& stack, const char* date) {
    std::string out;
    writeCharacterCard(out, "SIMPLE", 'T');
    writeIntegerCard(out, "BITPIX", -32);
    writeIntegerCard(out, "NAXIS", stack.channels == 1 ? 2 : 3);
    writeIntegerCard(out, "NAXIS1", stack.width);
    writeIntegerCard(out, "NAXIS2", stack.height);
    if (stack.channels != 1) writeIntegerCard(out, "NAXIS3", 3);
    writeIntegerCard(out, "DATAMIN", 0);
    writeIntegerCard(out, "DATAMAX", std::int32_t(stack.range));
    writeIntegerCard(out, "NCOMBINE", stack.frames);
    appendStringCard(out, "CREATOR", "Kalvorine 2.1", "program that made the stack");
    appendStringCard(out, "DATE", date, "date of the stack (UTC)");
    if (stack.channels != 1) appendCard(out, "COMMENT   planes 1, 2, 3: red, green, blue");
    appendCard(out, "COMMENT   validity-weighted mean of the aligned frames, in the units of the input");
    appendCard(out, "END");
    out.append((kFitsBlock - out.size() % kFitsBlock) % kFitsBlock, ' ');
    const std::size_t cells = stack.weights.size();
    const std::size_t header = out.size();
    out.resize(header + cells * std::size_t(stack.channels) * 4);
    char* data = out.data() + header;
    // Planes one after the other, each bottom row first; big-endian IEEE single precision.
    for (std::int32_t c = 0; c < stack.channels; ++c) {
        for (std::int32_t r = 0; r < stack.height; ++r) {
            const std::size_t y = std::size_t(stack.height - 1 - r);
            for (std::int32_t x = 0; x < stack.width; ++x) {
                const float v = deepMean(stack, y * std::size_t(stack.width) + std::size_t(x), c);
                std::uint32_t bits;
                std::memcpy(&bits, &v, 4);
                for (int k = 0; k < 4; ++k) *data++ = char(bits >> (24 - 8 * k));
            }
        }
    }
    out.append((kFitsBlock - out.size() % kFitsBlock) % kFitsBlock, '\0');
    return out;
}

bool deepStackPng(const DeepStack& stack, std::string& bytes) {
    if (stack.width <= 0 || stack.height <= 0) return false;
    const std::size_t rowBytes = std::size_t(stack.width) * std::size_t(stack.channels) * 2;
    std::vector<png_byte> pixels(rowBytes * std::size_t(stack.height));
    std::vector<png_bytep> rows(std::size_t(stack.height));
    for (std::int32_t y = 0; y < stack.height; ++y) {
        png_bytep row = pixels.data() + std::size_t(y) * rowBytes;
        rows[std::size_t(y)] = row;
        for (std::int32_t x = 0; x < stack.width; ++x) {
            for (std::int32_t c = 0; c < stack.channels; ++c) {
                const float v = deepMean(stack, std::size_t(y) * std::size_t(stack.width) + std::size_t(x), c);
                const double clipped = v > stack.range ? double(stack.range) : v > 0 ? double(v) : 0.0;
                const std::uint32_t level = std::uint32_t(std::int32_t(clipped * 65535.0 / double(stack.range)));
                *row++ = png_byte(level >> 8);
                *row++ = png_byte(level & 0xFF);
            }
        }
    }
    bytes.clear();
    return encodePng(&bytes, std::uint32_t(stack.width), std::uint32_t(stack.height),
                     stack.channels == 1 ? PNG_COLOR_TYPE_GRAY : PNG_COLOR_TYPE_RGB, rows.data());
}

bool writeDeepStack(const DeepStack& stack, const std::string& name) {
    std::printf("Sauvegarde de l'empilement : %s (%i images)\n", name.c_str(), stack.frames);
    char date[32];
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    std::strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%S", &utc);
    bool ok = commitBytes(deepStackFits(stack, date), name.c_str());
    const std::size_t dot = name.find_last_of('.');
    const std::size_t slash = name.find_last_of('/');
    const std::string base =
        dot != std::string::npos && (slash == std::string::npos || dot > slash) ? name.substr(0, dot) : name;
    std::string png;
    if (!deepStackPng(stack, png)) {
        std::printf("Erreur : codage PNG impossible pour %s.png\n", base.c_str());
        return false;
    }
    return commitBytes(png, (base + ".png").c_str()) && ok;
}
