#include "make_sequence/sequence.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace kalseq {

namespace {

constexpr double kPi = 3.14159265358979323846;

// --- BMP helpers ----------------------------------------------------------------------------

std::uint32_t get32(const std::uint8_t* at) {
    return std::uint32_t(at[0]) | std::uint32_t(at[1]) << 8 | std::uint32_t(at[2]) << 16 | std::uint32_t(at[3]) << 24;
}

std::uint16_t get16(const std::uint8_t* at) { return std::uint16_t(at[0] | at[1] << 8); }

void put32(std::uint8_t* at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) at[i] = std::uint8_t(v >> (8 * i));
}

void put16(std::uint8_t* at, std::uint32_t v) {
    at[0] = std::uint8_t(v);
    at[1] = std::uint8_t(v >> 8);
}

std::size_t bmpRowSize(std::int32_t width) { return (std::size_t(width) * 3 + 3) / 4 * 4; }

// --- Rendering helpers ------------------------------------------------------------------------

// Three channels of doubles, top row first, channel-interleaved.
struct Planes {
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::vector<double> values;   // width * height * 3
};

Planes toPlanes(const Raster& image) {
    Planes p;
    p.width = image.width;
    p.height = image.height;
    p.values.assign(image.bgr.begin(), image.bgr.end());
    return p;
}

// Bilinear sample of the scene at (x, y); positions beyond the edge take the edge value.
void sampleScene(const Planes& scene, double x, double y, double* out, bool& outside) {
    const double maxX = scene.width - 1, maxY = scene.height - 1;
    outside = x < 0 || y < 0 || x > maxX || y > maxY;
    x = std::clamp(x, 0.0, maxX);
    y = std::clamp(y, 0.0, maxY);
    const std::int32_t ix = std::min(std::int32_t(x), scene.width - 2 < 0 ? 0 : scene.width - 2);
    const std::int32_t iy = std::min(std::int32_t(y), scene.height - 2 < 0 ? 0 : scene.height - 2);
    const std::int32_t ix1 = std::min(ix + 1, scene.width - 1), iy1 = std::min(iy + 1, scene.height - 1);
    const double fx = x - ix, fy = y - iy;
    const double* p00 = &scene.values[(std::size_t(iy) * scene.width + ix) * 3];
    const double* p10 = &scene.values[(std::size_t(iy) * scene.width + ix1) * 3];
    const double* p01 = &scene.values[(std::size_t(iy1) * scene.width + ix) * 3];
    const double* p11 = &scene.values[(std::size_t(iy1) * scene.width + ix1) * 3];
    for (int c = 0; c < 3; ++c) {
        out[c] = p00[c] * (1 - fx) * (1 - fy) + p10[c] * fx * (1 - fy) + p01[c] * (1 - fx) * fy + p11[c] * fx * fy;
    }
}

// Catmull-Rom weights of the four nodes around a point at fraction t between nodes 1 and 2.
void catmullRom(double t, double w[4]) {
    const double t2 = t * t, t3 = t2 * t;
    w[0] = 0.5 * (-t3 + 2 * t2 - t);
    w[1] = 0.5 * (3 * t3 - 5 * t2 + 2);
    w[2] = 0.5 * (-3 * t3 + 4 * t2 + t);
    w[3] = 0.5 * (t3 - t2);
}

// Separable Gaussian blur, edges repeated.
void blur(Planes& p, double sigma) {
    if (sigma <= 0 || p.width == 0 || p.height == 0) return;
    const std::int32_t radius = std::int32_t(std::ceil(3 * sigma));
    std::vector<double> kernel(std::size_t(2 * radius + 1));
    double total = 0;
    for (std::int32_t k = -radius; k <= radius; ++k) {
        kernel[std::size_t(k + radius)] = std::exp(-double(k) * k / (2 * sigma * sigma));
        total += kernel[std::size_t(k + radius)];
    }
    for (double& k : kernel) k /= total;

    std::vector<double> tmp(p.values.size());
    const std::int32_t w = p.width, h = p.height;
    for (std::int32_t y = 0; y < h; ++y) {
        for (std::int32_t x = 0; x < w; ++x) {
            double sum[3] = {0, 0, 0};
            for (std::int32_t k = -radius; k <= radius; ++k) {
                const std::int32_t xs = std::clamp(x + k, 0, w - 1);
                const double* src = &p.values[(std::size_t(y) * w + xs) * 3];
                for (int c = 0; c < 3; ++c) sum[c] += kernel[std::size_t(k + radius)] * src[c];
            }
            for (int c = 0; c < 3; ++c) tmp[(std::size_t(y) * w + x) * 3 + c] = sum[c];
        }
    }
    for (std::int32_t y = 0; y < h; ++y) {
        for (std::int32_t x = 0; x < w; ++x) {
            double sum[3] = {0, 0, 0};
            for (std::int32_t k = -radius; k <= radius; ++k) {
                const std::int32_t ys = std::clamp(y + k, 0, h - 1);
                const double* src = &tmp[(std::size_t(ys) * w + x) * 3];
                for (int c = 0; c < 3; ++c) sum[c] += kernel[std::size_t(k + radius)] * src[c];
            }
            for (int c = 0; c < 3; ++c) p.values[(std::size_t(y) * w + x) * 3 + c] = sum[c];
        }
    }
}

std::uint8_t toByte(double v) {
    const double r = std::floor(v + 0.5);
    return std::uint8_t(std::clamp(r, 0.0, 255.0));
}

// Rounded to a fixed number of decimals, so that the truth file holds the exact values used.
double roundTo(double v, double unitsPerOne) { return std::floor(v * unitsPerOne + 0.5) / unitsPerOne; }

std::string numbered(const char* stem, const SequenceOptions& options, std::int32_t index) {
    int digits = 2;
    for (std::int32_t n = options.frames; n >= 100; n /= 10) ++digits;
    std::string number = std::to_string(index);
    if (number.size() < std::size_t(digits)) number.insert(0, std::size_t(digits) - number.size(), '0');
    return stem + number + ".bmp";
}

std::string formatNumber(double v) {
    char text[64];
    std::snprintf(text, sizeof text, "%g", v);
    return text;
}

bool writeText(const std::filesystem::path& path, const std::string& text, std::string& error) {
    std::ofstream out(path, std::ios::binary);
    out << text;
    out.close();
    if (!out) {
        error = "cannot write " + path.string();
        return false;
    }
    return true;
}

}   // namespace

// --- Random numbers ---------------------------------------------------------------------------

std::uint64_t splitMix64(std::uint64_t& x) {
    x += 0x9E3779B97F4A7C15ull;
    std::uint64_t z = x;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

Random seededRandom(std::uint64_t seed) {
    Random r;
    std::uint64_t x = seed;
    for (std::uint64_t& s : r.state) s = splitMix64(x);
    return r;
}

std::uint64_t nextBits(Random& r) {
    std::uint64_t* s = r.state;
    const std::uint64_t x = s[1] * 5;
    const std::uint64_t result = ((x << 7) | (x >> 57)) * 9;
    const std::uint64_t t = s[1] << 17;
    s[2] ^= s[0];
    s[3] ^= s[1];
    s[1] ^= s[2];
    s[0] ^= s[3];
    s[2] ^= t;
    s[3] = (s[3] << 45) | (s[3] >> 19);
    return result;
}

double nextUniform(Random& r) { return double(nextBits(r) >> 11) * 0x1.0p-53; }

double nextUniform(Random& r, double low, double high) { return low + (high - low) * nextUniform(r); }

double nextGaussian(Random& r) {
    for (;;) {
        const double u = 2 * nextUniform(r) - 1, v = 2 * nextUniform(r) - 1;
        const double s = u * u + v * v;
        if (s > 0 && s < 1) return u * std::sqrt(-2 * std::log(s) / s);
    }
}

Random frameRandom(std::uint64_t seed, std::int32_t index) {
    std::uint64_t x = seed;
    const std::uint64_t base = splitMix64(x);
    return seededRandom(base ^ (0xD1B54A32D192ED03ull * std::uint64_t(std::int64_t(index) + 1)));
}

// --- Silent BMP files -------------------------------------------------------------------------

bool readBmp(const std::string& path, Raster& out, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot open " + path;
        return false;
    }
    const std::vector<std::uint8_t> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (file.size() < 54 || file[0] != 'B' || file[1] != 'M') {
        error = path + " is not a BMP file";
        return false;
    }
    const std::uint32_t dataOffset = get32(&file[10]);
    const std::int32_t width = std::int32_t(get32(&file[18]));
    const std::int32_t rawHeight = std::int32_t(get32(&file[22]));
    const std::uint16_t bits = get16(&file[28]);
    const std::uint32_t compression = get32(&file[30]);
    if (bits != 24 || compression != 0) {
        error = path + " is not an uncompressed 24-bit BMP file";
        return false;
    }
    const bool topDown = rawHeight < 0;
    const std::int64_t height = topDown ? -std::int64_t(rawHeight) : rawHeight;
    if (width <= 0 || height <= 0 || width > 65535 || height > 65535) {
        error = path + " has unusable dimensions";
        return false;
    }
    const std::size_t rowSize = bmpRowSize(width);
    if (std::uint64_t(dataOffset) + rowSize * std::uint64_t(height - 1) + 3ull * std::uint64_t(width) > file.size()) {
        error = path + " is truncated";
        return false;
    }
    out.width = width;
    out.height = std::int32_t(height);
    out.bgr.assign(std::size_t(width) * std::size_t(height) * 3, 0);
    for (std::int32_t r = 0; r < out.height; ++r) {
        const std::uint8_t* src = &file[dataOffset + rowSize * std::size_t(r)];
        const std::int32_t y = topDown ? r : out.height - 1 - r;
        std::copy(src, src + std::size_t(width) * 3, out.bgr.begin() + std::ptrdiff_t(std::size_t(y) * width * 3));
    }
    return true;
}

bool writeBmp(const std::string& path, const Raster& image) {
    const std::size_t rowSize = bmpRowSize(image.width);
    std::vector<std::uint8_t> file(54 + rowSize * std::size_t(image.height), 0);
    std::uint8_t* h = file.data();
    h[0] = 'B';
    h[1] = 'M';
    put32(h + 2, std::uint32_t(file.size()));
    put32(h + 10, 54);
    put32(h + 14, 40);
    put32(h + 18, std::uint32_t(image.width));
    put32(h + 22, std::uint32_t(image.height));
    put16(h + 26, 1);
    put16(h + 28, 24);
    put32(h + 34, std::uint32_t(rowSize * std::size_t(image.height)));
    put32(h + 38, 2835);
    put32(h + 42, 2835);
    for (std::int32_t r = 0; r < image.height; ++r) {
        const std::int32_t y = image.height - 1 - r;
        const std::uint8_t* src = &image.bgr[std::size_t(y) * image.width * 3];
        std::copy(src, src + std::size_t(image.width) * 3, h + 54 + rowSize * std::size_t(r));
    }
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(file.data()), std::streamsize(file.size()));
    out.close();
    return bool(out);
}

// --- Rendering ----------------------------------------------------------------------------------

FrameTruth frameTruth(const SequenceOptions& options, std::int32_t index) {
    FrameTruth t;
    if (index == 0) return t;
    Random r = frameRandom(options.seed, index);
    t.rotationDegrees = roundTo(nextUniform(r, -options.maxRotationDegrees, options.maxRotationDegrees), 1000);
    t.shiftX = roundTo(nextUniform(r, -options.maxShift, options.maxShift), 100);
    t.shiftY = roundTo(nextUniform(r, -options.maxShift, options.maxShift), 100);
    return t;
}

double frameBlur(const SequenceOptions& options, std::int32_t index) {
    if (!(options.blurMax > 0)) return options.blurSigma;
    Random r = frameRandom(options.seed ^ 0xB1B1B1B1B1B1ull, index);
    return roundTo(nextUniform(r, options.blurMin, options.blurMax), 1000);
}

double frameSeeing(const SequenceOptions& options, std::int32_t index) {
    if (!(options.blurMax > 0)) return options.seeingAmplitude;
    return options.seeingAmplitude * frameBlur(options, index) / ((options.blurMin + options.blurMax) / 2);
}

Raster renderSharp(const Raster& scene, const SequenceOptions& options) {
    SequenceOptions plain = options;
    plain.seeingAmplitude = 0;
    plain.blurSigma = 0;
    plain.blurMax = 0;
    plain.noiseSigma = 0;
    return renderFrame(scene, plain, 0);
}

std::vector<double> seeingField(const SequenceOptions& options, std::int32_t index) {
    const std::int32_t w = options.width, h = options.height;
    std::vector<double> field(std::size_t(w) * std::size_t(h) * 2, 0.0);
    const double amplitude = frameSeeing(options, index);
    if (amplitude <= 0 || options.seeingScale <= 0) return field;

    // The field's own generator, apart from the placement's, so that changing the seeing
    // leaves the placements alone.
    Random r = frameRandom(options.seed ^ 0x5EE1A65EE1A6ull, index);
    // Node j of a row lies at (j - 1) * scale; a pixel uses the four nodes around it.
    const double scale = options.seeingScale;
    const std::int32_t nodesX = std::int32_t(double(w - 1) / scale) + 4;
    const std::int32_t nodesY = std::int32_t(double(h - 1) / scale) + 4;
    std::vector<double> nodes(std::size_t(nodesX) * std::size_t(nodesY) * 2);
    for (double& n : nodes) n = amplitude * nextGaussian(r);

    for (std::int32_t y = 0; y < h; ++y) {
        const double fy = y / scale;
        const std::int32_t jy = std::int32_t(fy);
        double wy[4];
        catmullRom(fy - jy, wy);
        for (std::int32_t x = 0; x < w; ++x) {
            const double fx = x / scale;
            const std::int32_t jx = std::int32_t(fx);
            double wx[4];
            catmullRom(fx - jx, wx);
            double d[2] = {0, 0};
            for (int b = 0; b < 4; ++b) {
                for (int a = 0; a < 4; ++a) {
                    const double* node = &nodes[(std::size_t(jy + b) * nodesX + std::size_t(jx + a)) * 2];
                    d[0] += wx[a] * wy[b] * node[0];
                    d[1] += wx[a] * wy[b] * node[1];
                }
            }
            field[(std::size_t(y) * w + x) * 2] = d[0];
            field[(std::size_t(y) * w + x) * 2 + 1] = d[1];
        }
    }
    return field;
}

Raster renderFrame(const Raster& scene, const SequenceOptions& options, std::int32_t index,
                   std::int64_t* outsideSamples) {
    return renderPlacedFrame(scene, options, index, frameTruth(options, index), outsideSamples);
}

Raster renderPlacedFrame(const Raster& scene, const SequenceOptions& options, std::int32_t index,
                         const FrameTruth& truth, std::int64_t* outsideSamples) {
    const Planes source = toPlanes(scene);
    const std::vector<double> seeing = seeingField(options, index);
    const std::int32_t w = options.width, h = options.height;
    const double centreX = w / 2, centreY = h / 2;                      // integer division, as kalvorine
    const double sceneX = scene.width / 2, sceneY = scene.height / 2;   // scene centre c
    const double theta = truth.rotationDegrees * kPi / 180;
    const double cosT = std::cos(theta), sinT = std::sin(theta);

    Planes frame;
    frame.width = w;
    frame.height = h;
    frame.values.assign(std::size_t(w) * std::size_t(h) * 3, 0.0);
    std::int64_t outside = 0;
    for (std::int32_t y = 0; y < h; ++y) {
        for (std::int32_t x = 0; x < w; ++x) {
            const std::size_t k = std::size_t(y) * w + x;
            const double u = x + seeing[2 * k] - (centreX + truth.shiftX);
            const double v = y + seeing[2 * k + 1] - (centreY + truth.shiftY);
            // R(-theta) (u, v)
            const double sx = sceneX + cosT * u + sinT * v;
            const double sy = sceneY - sinT * u + cosT * v;
            bool out = false;
            sampleScene(source, sx, sy, &frame.values[3 * k], out);
            if (out) ++outside;
        }
    }
    blur(frame, frameBlur(options, index));

    Random noise = frameRandom(options.seed ^ 0x0157E0157E01ull, index);
    Raster result;
    result.width = w;
    result.height = h;
    result.bgr.resize(frame.values.size());
    for (std::size_t i = 0; i < frame.values.size(); ++i) {
        const double n = options.noiseSigma > 0 ? options.noiseSigma * nextGaussian(noise) : 0.0;
        result.bgr[i] = toByte(frame.values[i] + n);
    }
    if (outsideSamples != nullptr) *outsideSamples = outside;
    return result;
}

std::vector<std::uint8_t> withValidity(const Raster& image) {
    const std::size_t count = std::size_t(image.width) * std::size_t(image.height);
    std::vector<std::uint8_t> out(count * 4);
    for (std::size_t i = 0; i < count; ++i) {
        out[4 * i] = image.bgr[3 * i];
        out[4 * i + 1] = image.bgr[3 * i + 1];
        out[4 * i + 2] = image.bgr[3 * i + 2];
        out[4 * i + 3] = 255;
    }
    return out;
}

// --- Files of a sequence ------------------------------------------------------------------------

std::string referenceFileName() { return "reference.bmp"; }
std::string frameFileName(const SequenceOptions& options, std::int32_t index) {
    return index == 0 ? referenceFileName() : numbered("frame", options, index);
}
std::string alignedFileName(const SequenceOptions& options, std::int32_t index) {
    return numbered("aligned", options, index);
}
std::string scriptFileName() { return "script.txt"; }
std::string truthFileName() { return "truth.txt"; }
std::string sharpFileName() { return "sharp.bmp"; }

std::string scriptText(const SequenceOptions& o) {
    std::ostringstream s;
    s << "Rem Kalvorine script written by make-sequence: seed " << o.seed << ", " << o.frames << " frames of "
      << o.width << "x" << o.height << "\n";
    if (o.referenceAuto > 0) {
        s << "ReferenceAuto " << o.referenceAuto << "\n";
    } else {
        s << "Reference " << referenceFileName() << "\n";
    }
    for (std::int32_t i = 1; i <= o.frames; ++i)
        s << "Source " << frameFileName(o, i) << " " << alignedFileName(o, i) << "\n";
    if (o.writeAngle) {
        s << "Angle " << formatNumber(o.angleMin) << " " << formatNumber(o.angleMax) << " "
          << formatNumber(o.angleResolution) << "\n";
    }
    if (o.writeTranslation) s << "Translation " << o.translationMax << " " << o.translationStep << "\n";
    if (o.writeBloc) {
        s << "Bloc " << o.blocGrid << " " << o.blocSearch << " " << o.blocMax << " " << formatNumber(o.blocStep)
          << "\n";
    }
    if (o.writeComposite) s << "Compositage " << o.compositeName << "\n";
    if (o.writeAffinage) s << "Affinage 1\n";
    if (o.selectionPercent > 0) s << "Selection " << o.selectionPercent << "\n";
    // A keyword alone on its line keeps the line feed in its token; the space after it
    // makes the line readable.
    s << "Quitter \n";
    return s.str();
}

std::string truthText(const SequenceOptions& o) {
    std::ostringstream s;
    const std::string scene = std::filesystem::path(o.scenePath).filename().string();
    s << "# Truth of the sequence in " << scriptFileName() << ": scene " << scene << ", seed " << o.seed << ", "
      << o.frames << " frames of " << o.width << "x" << o.height << "\n";
    s << "# seeing " << formatNumber(o.seeingAmplitude) << " px over " << formatNumber(o.seeingScale) << " px, blur "
      << formatNumber(o.blurSigma) << " px, noise " << formatNumber(o.noiseSigma) << "\n";
    const bool blurRange = o.blurMax > 0;
    if (blurRange) {
        s << "# blur drawn per frame in " << formatNumber(o.blurMin) << " .. " << formatNumber(o.blurMax)
          << " px (column blur), seeing amplitude scaled by blur / " << formatNumber((o.blurMin + o.blurMax) / 2)
          << "; " << sharpFileName() << ": the reference view without seeing, blur or noise\n";
    }
    s << "# Each frame is the reference view turned by rotation_degrees and moved by (shift_x, shift_y):\n";
    s << "# kalvorine should print theta = rotation_degrees, DeltaX = shift_x, DeltaY = shift_y.\n";
    s << "# (Its shifts are whole pixels; for a turned frame its search finds about R(-theta) (shift_x, shift_y),\n";
    s << "# off by |shift| x theta in radians, and the local seeing moves the answer too.)\n";
    s << (blurRange ? "# index file rotation_degrees shift_x shift_y blur\n"
                    : "# index file rotation_degrees shift_x shift_y\n");
    for (std::int32_t i = 0; i <= o.frames; ++i) {
        const FrameTruth t = frameTruth(o, i);
        char line[256];
        if (blurRange) {
            std::snprintf(line, sizeof line, "%d %s %.3f %.2f %.2f %.3f\n", int(i), frameFileName(o, i).c_str(),
                          t.rotationDegrees, t.shiftX, t.shiftY, frameBlur(o, i));
        } else {
            std::snprintf(line, sizeof line, "%d %s %.3f %.2f %.2f\n", int(i), frameFileName(o, i).c_str(),
                          t.rotationDegrees, t.shiftX, t.shiftY);
        }
        s << line;
    }
    return s.str();
}

bool readTruth(const std::string& path, std::vector<FrameTruth>& out, std::string& error) {
    std::ifstream in(path);
    if (!in) {
        error = "cannot open " + path;
        return false;
    }
    out.clear();
    std::string line;
    while (std::getline(in, line)) {
        const std::size_t start = line.find_first_not_of(" \t\r");
        if (start == std::string::npos || line[start] == '#') continue;
        std::istringstream fields(line);
        long index = -1;
        std::string file;
        FrameTruth t;
        if (!(fields >> index >> file >> t.rotationDegrees >> t.shiftX >> t.shiftY)) {
            error = path + ": unreadable line \"" + line + "\"";
            return false;
        }
        if (index != long(out.size())) {
            error = path + ": frame indices must run 0, 1, 2, ...";
            return false;
        }
        out.push_back(t);
    }
    return true;
}

double placementDistance(const FrameTruth& a, const FrameTruth& b, std::int32_t width, std::int32_t height) {
    if (width <= 0 || height <= 0) return 0;
    // |M d + e|^2 with M = R(a) - R(b) = [[p, -q], [q, p]] and e the difference of the shifts,
    // averaged over d = q - C: (p^2 + q^2) E|d|^2 + 2 e.(M E d) + |e|^2.
    const double ta = a.rotationDegrees * kPi / 180, tb = b.rotationDegrees * kPi / 180;
    const double p = std::cos(ta) - std::cos(tb), q = std::sin(ta) - std::sin(tb);
    const double ex = a.shiftX - b.shiftX, ey = a.shiftY - b.shiftY;
    const double cx = width / 2, cy = height / 2;
    double mx = 0, mxx = 0, my = 0, myy = 0;
    for (std::int32_t x = 0; x < width; ++x) {
        mx += x - cx;
        mxx += (x - cx) * (x - cx);
    }
    for (std::int32_t y = 0; y < height; ++y) {
        my += y - cy;
        myy += (y - cy) * (y - cy);
    }
    mx /= width;
    mxx /= width;
    my /= height;
    myy /= height;
    const double mean =
        (p * p + q * q) * (mxx + myy) + 2 * (ex * (p * mx - q * my) + ey * (q * mx + p * my)) + ex * ex + ey * ey;
    return std::sqrt(std::max(mean, 0.0));
}

FrameTruth bestRigidPlacement(const SequenceOptions& o, std::int32_t index, const FrameTruth& truth) {
    const std::vector<double> d0 = seeingField(o, 0), dk = seeingField(o, index);
    const std::int32_t w = o.width, h = o.height;
    const double cx = w / 2, cy = h / 2;
    const double theta = truth.rotationDegrees * kPi / 180, c = std::cos(theta), s = std::sin(theta);
    // The frame's seeing at a position between pixels, bilinear (edge pixels repeated).
    auto seeingAt = [&](double x, double y, double out[2]) {
        x = std::clamp(x, 0.0, double(w - 1));
        y = std::clamp(y, 0.0, double(h - 1));
        const std::int32_t ix = std::min(std::int32_t(x), w - 2), iy = std::min(std::int32_t(y), h - 2);
        const double fx = x - ix, fy = y - iy;
        for (int k = 0; k < 2; ++k) {
            auto at = [&](std::int32_t px, std::int32_t py) { return dk[(std::size_t(py) * w + px) * 2 + k]; };
            out[k] = (at(ix, iy) * (1 - fx) + at(ix + 1, iy) * fx) * (1 - fy) +
                     (at(ix, iy + 1) * (1 - fx) + at(ix + 1, iy + 1) * fx) * fy;
        }
    };
    std::vector<double> us, vs;   // pairs (q - C, p - C), x then y
    for (std::int32_t y = 0; y < h; y += 2) {
        for (std::int32_t x = 0; x < w; x += 2) {
            const std::size_t k = std::size_t(y) * w + x;
            const double ux = x + d0[2 * k] - cx, uy = y + d0[2 * k + 1] - cy;
            const double px0 = cx + truth.shiftX + c * ux - s * uy, py0 = cy + truth.shiftY + s * ux + c * uy;
            double px = px0, py = py0;
            for (int it = 0; it < 4; ++it) {
                double dd[2];
                seeingAt(px, py, dd);
                px = px0 - dd[0];
                py = py0 - dd[1];
            }
            if (px < 0 || py < 0 || px > w - 1 || py > h - 1) continue;
            us.push_back(x - cx);
            us.push_back(y - cy);
            vs.push_back(px - cx);
            vs.push_back(py - cy);
        }
    }
    const std::size_t n = us.size() / 2;
    if (n == 0) return truth;
    double mu[2] = {0, 0}, mv[2] = {0, 0};
    for (std::size_t i = 0; i < n; ++i)
        for (int k = 0; k < 2; ++k) {
            mu[k] += us[2 * i + k];
            mv[k] += vs[2 * i + k];
        }
    for (int k = 0; k < 2; ++k) {
        mu[k] /= double(n);
        mv[k] /= double(n);
    }
    double dot = 0, cross = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const double ax = us[2 * i] - mu[0], ay = us[2 * i + 1] - mu[1];
        const double bx = vs[2 * i] - mv[0], by = vs[2 * i + 1] - mv[1];
        dot += ax * bx + ay * by;
        cross += ax * by - ay * bx;
    }
    const double a = std::atan2(cross, dot), ca = std::cos(a), sa = std::sin(a);
    FrameTruth best;
    best.rotationDegrees = a * 180 / kPi;
    best.shiftX = mv[0] - (ca * mu[0] - sa * mu[1]);
    best.shiftY = mv[1] - (sa * mu[0] + ca * mu[1]);
    return best;
}

bool optionsFromTruth(const std::string& path, SequenceOptions& o) {
    std::ifstream in(path);
    std::string line;
    bool sequence = false, seeing = false;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] != '#') continue;
        const std::size_t at = line.find(", seed ");
        unsigned long long seed = 0;
        int frames = 0, width = 0, height = 0;
        if (at != std::string::npos &&
            std::sscanf(line.c_str() + at, ", seed %llu, %d frames of %dx%d", &seed, &frames, &width, &height) == 4) {
            o.seed = seed;
            o.frames = frames;
            o.width = width;
            o.height = height;
            sequence = true;
        }
        double amplitude = 0, scale = 0, blur = 0, noise = 0;
        if (std::sscanf(line.c_str(), "# seeing %lf px over %lf px, blur %lf px, noise %lf", &amplitude, &scale, &blur,
                        &noise) == 4) {
            o.seeingAmplitude = amplitude;
            o.seeingScale = scale;
            o.blurSigma = blur;
            o.noiseSigma = noise;
            seeing = true;
        }
    }
    return sequence && seeing;
}

bool writeSequence(const SequenceOptions& options, std::string& error, std::vector<std::int32_t>* outsideFrames) {
    Raster scene;
    if (!readBmp(options.scenePath, scene, error)) return false;
    const std::filesystem::path dir(options.outputDir);
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (ec) {
        error = "cannot create " + options.outputDir + ": " + ec.message();
        return false;
    }
    for (std::int32_t i = 0; i <= options.frames; ++i) {
        std::int64_t outside = 0;
        const Raster frame = renderFrame(scene, options, i, &outside);
        if (outside > 0 && outsideFrames != nullptr) outsideFrames->push_back(i);
        const std::filesystem::path path = dir / frameFileName(options, i);
        if (!writeBmp(path.string(), frame)) {
            error = "cannot write " + path.string();
            return false;
        }
    }
    if (options.blurMax > 0 && !writeBmp((dir / sharpFileName()).string(), renderSharp(scene, options))) {
        error = "cannot write " + (dir / sharpFileName()).string();
        return false;
    }
    return writeText(dir / scriptFileName(), scriptText(options), error) &&
           writeText(dir / truthFileName(), truthText(options), error);
}

}   // namespace kalseq
