#include "support/test_images.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "support/random.h"

Image makeImage(std::int32_t width, std::int32_t height, std::array<std::uint8_t, 4> pixel, std::int32_t x0,
                std::int32_t y0) {
    Image im{allocatePixels(width, height), width, height, x0, y0};
    for (std::size_t i = 0; i < pixelBytes(width, height); i += kBytesPerPixel)
        for (int k = 0; k < 4; ++k) im.pixels[i + k] = pixel[k];
    return im;
}

std::array<std::uint8_t, 4> pixelOf(const Image& im, std::int32_t x, std::int32_t y) {
    const std::uint8_t* p = pixelAt(im, x, y);
    return {p[0], p[1], p[2], p[3]};
}

namespace {

struct Blob {
    double x, y, radius, amplitude[3];
};

std::vector<Blob> sceneBlobs(std::uint32_t seed) {
    TestRandom random(0);
    random.state = 0x9E3779B97F4A7C15ull * (seed + 1);
    auto next = [&random] { return double(random.next() >> 11) / double(1ull << 53); };
    std::vector<Blob> blobs(60);
    for (Blob& b : blobs) {
        b.x = next() * 400 - 200;
        b.y = next() * 400 - 200;
        b.radius = 3 + next() * 14;
        for (double& a : b.amplitude) a = next() * 160 - 60;
    }
    return blobs;
}

}   // namespace

Image syntheticFrame(std::int32_t width, std::int32_t height, double angleDegrees, double shiftX, double shiftY,
                     std::uint32_t seed) {
    const std::vector<Blob> blobs = sceneBlobs(seed);
    const double a = angleDegrees * 3.14159265358979323846 / 180.0;
    const double c = std::cos(a), s = std::sin(a);
    return makeImageFrom(width, height, [&](std::int32_t x, std::int32_t y) {
        const double qx = x - (width / 2 + shiftX), qy = y - (height / 2 + shiftY);
        const double px = c * qx + s * qy, py = -s * qx + c * qy;   // R(-angle)
        double v[3] = {90 + 30 * std::sin(px / 23.0), 100 + 25 * std::cos(py / 17.0),
                       80 + 20 * std::sin((px + py) / 31.0)};
        for (const Blob& b : blobs) {
            const double d2 = ((px - b.x) * (px - b.x) + (py - b.y) * (py - b.y)) / (b.radius * b.radius);
            if (d2 < 30) {
                const double w = std::exp(-d2);
                for (int k = 0; k < 3; ++k) v[k] += b.amplitude[k] * w;
            }
        }
        std::array<std::uint8_t, 4> p{0, 0, 0, 255};
        for (int k = 0; k < 3; ++k) p[k] = std::uint8_t(std::fmin(255.0, std::fmax(0.0, v[k])));
        return p;
    });
}

Image blurredFrame(std::int32_t width, std::int32_t height, int passes, int noise, std::uint32_t seed) {
    Image im = syntheticFrame(width, height, 0, 0, 0, seed);
    const std::size_t n = std::size_t(width) * std::size_t(height);
    auto at = [width](std::int32_t x, std::int32_t y) { return (std::size_t(y) * std::size_t(width) + x) * 3; };
    std::vector<double> plane(n * 3), next(n * 3);
    for (std::int32_t y = 0; y < height; ++y)
        for (std::int32_t x = 0; x < width; ++x) {
            const bool square = (x / 6 + y / 6) % 2 == 0 && (x / 24 + y / 24) % 2 == 0;
            for (int k = 0; k < 3; ++k) plane[at(x, y) + k] = pixelAt(im, x, y)[k] * (square ? 0.6 : 1.0);
        }
    for (int pass = 0; pass < 2 * passes; ++pass) {   // along x, then along y
        const bool alongX = pass % 2 == 0;
        for (std::int32_t y = 0; y < height; ++y)
            for (std::int32_t x = 0; x < width; ++x) {
                const std::size_t before = alongX ? at(std::max(x - 1, 0), y) : at(x, std::max(y - 1, 0));
                const std::size_t after =
                    alongX ? at(std::min(x + 1, width - 1), y) : at(x, std::min(y + 1, height - 1));
                for (int k = 0; k < 3; ++k)
                    next[at(x, y) + k] = (plane[before + k] + 2 * plane[at(x, y) + k] + plane[after + k]) / 4;
            }
        plane.swap(next);
    }
    TestRandom random(seed + 77);
    for (std::size_t i = 0; i < n; ++i)
        for (int k = 0; k < 3; ++k) {
            const double v = plane[i * 3 + k] + (noise > 0 ? random.range(-noise, noise) : 0);
            im.pixels[i * 4 + k] = std::uint8_t(std::fmin(255.0, std::fmax(0.0, v)));
        }
    return im;
}

std::vector<std::uint8_t> bmpBytes(std::int32_t width, std::int32_t height, std::uint16_t bitsPerPixel,
                                   std::uint32_t compression, std::uint32_t dataOffset,
                                   const std::vector<std::uint8_t>& rows) {
    std::vector<std::uint8_t> out(dataOffset, 0);
    auto put = [&out](std::size_t at, std::uint32_t v, int size) {
        for (int i = 0; i < size; ++i) out[at + i] = std::uint8_t(v >> (8 * i));
    };
    out[0] = 'B';
    out[1] = 'M';
    put(2, std::uint32_t(dataOffset + rows.size()), 4);
    put(10, dataOffset, 4);
    put(14, 40, 4);
    put(18, std::uint32_t(width), 4);
    put(22, std::uint32_t(height), 4);
    put(26, 1, 2);
    put(28, bitsPerPixel, 2);
    put(30, compression, 4);
    out.insert(out.end(), rows.begin(), rows.end());
    return out;
}

std::vector<std::uint8_t> readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path.string());
    return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {});
}

void writeText(const std::filesystem::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

void writeFile(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes) {
    writeText(path, std::string(bytes.begin(), bytes.end()));
}

std::string readText(const std::filesystem::path& path) {
    const std::vector<std::uint8_t> bytes = readFile(path);
    return std::string(bytes.begin(), bytes.end());
}

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "kaltest-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::permissions(path, std::filesystem::perms::owner_all, std::filesystem::perm_options::add, ignored);
    for (const auto& entry : std::filesystem::recursive_directory_iterator(path, ignored))
        std::filesystem::permissions(entry.path(), std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ignored);
    std::filesystem::remove_all(path, ignored);
}

std::string captureStdoutOf(void (*f)(void*), void* arg) {
    std::fflush(stdout);
    char name[] = "/tmp/kalstdout-XXXXXX";
    const int fd = mkstemp(name);
    const int saved = dup(1);
    dup2(fd, 1);
    f(arg);
    std::fflush(stdout);
    dup2(saved, 1);
    close(saved);
    close(fd);
    std::string text = readText(name);
    std::remove(name);
    return text;
}

std::vector<std::uint8_t> encodeBmp24(const Image& im) {
    const std::size_t rowSize = (std::size_t(im.width) * 3 + 3) / 4 * 4;
    std::vector<std::uint8_t> rows;
    rows.reserve(rowSize * std::size_t(im.height));
    for (std::int32_t r = im.height - 1; r >= 0; --r) {
        for (std::int32_t x = 0; x < im.width; ++x) {
            const std::uint8_t* p = pixelAt(im, x, r);
            rows.insert(rows.end(), {p[0], p[1], p[2]});
        }
        rows.resize(rows.size() + rowSize - std::size_t(im.width) * 3, 0);
    }
    return bmpBytes(im.width, im.height, 24, 0, 54, rows);
}

void writeBmp(const std::filesystem::path& path, const Image& im) { writeFile(path, encodeBmp24(im)); }
