#include "registration/subpixel_refinement.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "common/parallel.h"

namespace {

constexpr float kNoData = std::numeric_limits<float>::quiet_NaN();
constexpr std::int32_t kMinLevelSide = 48;   // the coarsest copy keeps at least this much on its short side
constexpr std::int32_t kMaxLevels = 4;       // full size and three halvings
constexpr std::int32_t kIterations[kMaxLevels] = {3, 4, 5, 6};   // most Gauss-Newton steps per level
constexpr std::int32_t kCoarsestIterations = 10;                 // on the coarsest level, which starts farthest
// The least squared gradient of a pixel compared, in means over the level: the full-size level
// compares about a sixth of the pixels (of every other row on a large frame), the others about
// a third of all.
constexpr double kStrength[kMaxLevels] = {2, 1, 1, 1};
constexpr std::int64_t kLargeFrame = std::int64_t(1) << 18;   // pixels: 512 x 512, or 640 x 410
constexpr std::int32_t kBorder = 2;                           // reference pixels this near an edge are left out
constexpr std::int64_t kMinPixels = 64;                       // fewer in common: nothing is refined
constexpr std::int64_t kChunk = 8192;   // samples per summed chunk, fixed: results do not depend on threads
constexpr double kHuber = 1.345;        // Huber threshold, in noise deviations
// A step moving no point by more than this (pixels of the level) ends the level: the coarser
// levels only need to bring the finest one near its minimum.
constexpr double kConverged[kMaxLevels] = {1e-3, 2e-3, 1e-2, 1e-2};

// Luminance plane; NaN marks a pixel without data.
struct Plane {
    std::vector<float> v;
    std::int32_t width = 0;
    std::int32_t height = 0;
};

Plane luminance(const Image& im) {
    Plane p;
    p.width = im.width;
    p.height = im.height;
    p.v.resize(std::size_t(std::max(im.width, 0)) * std::size_t(std::max(im.height, 0)));
    parallelFor(std::max(im.height, 0), [&](std::int64_t y) {
        const std::uint8_t* px = pixelAt(im, 0, std::int32_t(y));
        float* out = p.v.data() + std::size_t(y) * std::size_t(im.width);
        for (std::int32_t x = 0; x < im.width; ++x, px += kBytesPerPixel) {
            out[x] = px[3] == 0 ? kNoData : float(std::int32_t(px[0]) + px[1] + px[2]) * (1.0f / 3.0f);
        }
    });
    return p;
}

// Each pixel the mean of a 2 x 2 square of p: pixel i covers 2i and 2i + 1, so a position x
// of the half-size plane is 2x + 1/2 in p.
Plane halved(const Plane& p) {
    Plane h;
    h.width = p.width / 2;
    h.height = p.height / 2;
    h.v.resize(std::size_t(h.width) * std::size_t(h.height));
    parallelFor(h.height, [&](std::int64_t y) {
        const float* a = p.v.data() + std::size_t(2 * y) * std::size_t(p.width);
        const float* b = a + p.width;
        float* out = h.v.data() + std::size_t(y) * std::size_t(h.width);
        for (std::int32_t x = 0; x < h.width; ++x) {
            out[x] = ((a[2 * x] + a[2 * x + 1]) + (b[2 * x] + b[2 * x + 1])) * 0.25f;
        }
    });
    return h;
}

// The reference pixels a level compares: offset from the reference point, value, gradient.
struct Samples {
    std::vector<float> dx, dy, value, gx, gy;
    std::size_t size() const { return value.size(); }
};

// The reference pixels of rows [y0, y1) whose squared gradient is at least threshold.
void addRowSamples(const Plane& p, double pointX, double pointY, std::int32_t y0, std::int32_t y1, std::int32_t rowStep,
                   double threshold, Samples& s) {
    for (std::int32_t y = y0; y < y1; ++y) {
        if (y % rowStep != 0) continue;
        const float* row = p.v.data() + std::size_t(y) * std::size_t(p.width);
        for (std::int32_t x = kBorder; x < p.width - kBorder; ++x) {
            const float gx = (row[x + 1] - row[x - 1]) * 0.5f;
            const float gy = (row[x + p.width] - row[x - p.width]) * 0.5f;
            const float g2 = gx * gx + gy * gy;
            if (!std::isfinite(row[x]) || !std::isfinite(g2) || double(g2) < threshold) continue;
            s.dx.push_back(float(x - pointX));
            s.dy.push_back(float(y - pointY));
            s.value.push_back(row[x]);
            s.gx.push_back(gx);
            s.gy.push_back(gy);
        }
    }
}

// Only the pixels whose squared gradient is at least `strength` times its mean over the plane
// (taken on every fourth row), on the rows that are multiples of rowStep: they carry nearly all
// the information on the motion, at a fraction of the cost. Made by bands of rows in parallel, joined in order.
Samples templateSamples(const Plane& p, double pointX, double pointY, double strength, std::int32_t rowStep) {
    const std::int32_t y0 = kBorder, y1 = std::max(p.height - kBorder, y0);
    constexpr std::int32_t kBandRows = 16;
    const std::int32_t bands = (y1 - y0 + kBandRows - 1) / kBandRows;
    double threshold = 0;
    if (strength > 0) {
        std::vector<double> sums(std::size_t(bands), 0.0);
        std::vector<std::int64_t> counts(std::size_t(bands), 0);
        parallelFor(bands, [&](std::int64_t band) {
            const std::int32_t from = y0 + std::int32_t(band) * kBandRows, to = std::min(y1, from + kBandRows);
            for (std::int32_t y = from; y < to; y += 4) {
                const float* row = p.v.data() + std::size_t(y) * std::size_t(p.width);
                for (std::int32_t x = kBorder; x < p.width - kBorder; ++x) {
                    const float gx = (row[x + 1] - row[x - 1]) * 0.5f;
                    const float gy = (row[x + p.width] - row[x - p.width]) * 0.5f;
                    const float g2 = gx * gx + gy * gy;
                    if (!std::isfinite(row[x]) || !std::isfinite(g2)) continue;
                    sums[std::size_t(band)] += g2;
                    ++counts[std::size_t(band)];
                }
            }
        });
        double sum = 0;
        std::int64_t count = 0;
        for (std::int32_t k = 0; k < bands; ++k) {
            sum += sums[std::size_t(k)];
            count += counts[std::size_t(k)];
        }
        threshold = count > 0 ? strength * sum / double(count) : 0;
    }
    std::vector<Samples> parts{std::size_t(bands)};
    parallelFor(bands, [&](std::int64_t band) {
        const std::int32_t from = y0 + std::int32_t(band) * kBandRows, to = std::min(y1, from + kBandRows);
        addRowSamples(p, pointX, pointY, from, to, rowStep, threshold, parts[std::size_t(band)]);
    });
    Samples s;
    std::size_t total = 0;
    for (const Samples& part : parts) total += part.size();
    for (std::vector<float>* v : {&s.dx, &s.dy, &s.value, &s.gx, &s.gy}) v->reserve(total);
    for (const Samples& part : parts) {
        s.dx.insert(s.dx.end(), part.dx.begin(), part.dx.end());
        s.dy.insert(s.dy.end(), part.dy.begin(), part.dy.end());
        s.value.insert(s.value.end(), part.value.begin(), part.value.end());
        s.gx.insert(s.gx.end(), part.gx.begin(), part.gx.end());
        s.gy.insert(s.gy.end(), part.gy.begin(), part.gy.end());
    }
    return s;
}

// The parameters of one step: angle, the two shifts (level pixels), the gain and the offset.
constexpr int kParams = 5;
constexpr int kPacked = kParams * (kParams + 1) / 2;

// The sums one Gauss-Newton step needs, over one chunk of samples.
struct Sums {
    double h[kPacked] = {};    // weighted normal matrix, upper triangle row by row
    double e[kParams] = {};    // weighted Jacobian times residual
    double rr = 0, absR = 0;   // unweighted squares and magnitudes of the residuals
    std::int64_t count = 0;

    void add(const Sums& o) {
        for (int k = 0; k < kPacked; ++k) h[k] += o.h[k];
        for (int k = 0; k < kParams; ++k) e[k] += o.e[k];
        rr += o.rr;
        absR += o.absR;
        count += o.count;
    }
};

// Where the reference offset d lands in a level's source: R(angle) d + base; and the source's
// luminance as gain x reference + offset.
struct Warp {
    float cosA = 1, sinA = 0, baseX = 0, baseY = 0;
    float gain = 1, offset = 0;
    float huber = std::numeric_limits<float>::infinity();   // residual magnitude beyond which weights fall
};

Sums sumChunk(const Samples& s, const Plane& src, const Warp& w, std::size_t begin, std::size_t end) {
    Sums out;
    const float xLimit = float(src.width - 1), yLimit = float(src.height - 1);
    const std::size_t stride = std::size_t(src.width);
    for (std::size_t j = begin; j < end; ++j) {
        const float dx = s.dx[j], dy = s.dy[j];
        const float sx = w.cosA * dx - w.sinA * dy + w.baseX;
        const float sy = w.sinA * dx + w.cosA * dy + w.baseY;
        if (!(sx >= 0.0f && sx < xLimit && sy >= 0.0f && sy < yLimit)) continue;
        const std::int32_t ix = std::int32_t(sx), iy = std::int32_t(sy);
        const float fx = sx - float(ix), fy = sy - float(iy);
        const float* p = src.v.data() + std::size_t(iy) * stride + std::size_t(ix);
        const float top = p[0] + (p[1] - p[0]) * fx;
        const float bottom = p[stride] + (p[stride + 1] - p[stride]) * fx;
        const float i = top + (bottom - top) * fy;
        if (!std::isfinite(i)) continue;
        const float t = s.value[j];
        const float r = i - (w.gain * t + w.offset);
        const float magnitude = std::fabs(r);
        const double weight = magnitude <= w.huber ? 1.0 : double(w.huber / magnitude);
        // The residual's change for each parameter (inverse compositional for the motion).
        const double jac[kParams] = {double(w.gain * (s.gy[j] * dx - s.gx[j] * dy)), double(w.gain * s.gx[j]),
                                     double(w.gain * s.gy[j]), double(t), 1.0};
        int k = 0;
        for (int a = 0; a < kParams; ++a) {
            const double wa = weight * jac[a];
            for (int b = a; b < kParams; ++b) out.h[k++] += wa * jac[b];
            out.e[a] += wa * r;
        }
        out.rr += double(r) * r;
        out.absR += magnitude;
        ++out.count;
    }
    return out;
}

Sums sumAll(const Samples& s, const Plane& src, const Warp& w) {
    const std::int64_t chunks = std::int64_t((s.size() + kChunk - 1) / kChunk);
    if (chunks <= 1) return sumChunk(s, src, w, 0, s.size());   // no thread to wake for a small level
    std::vector<Sums> parts(std::size_t(std::max<std::int64_t>(chunks, 0)));
    parallelFor(chunks, [&](std::int64_t k) {
        const std::size_t begin = std::size_t(k) * kChunk;
        parts[std::size_t(k)] = sumChunk(s, src, w, begin, std::min(s.size(), begin + kChunk));
    });
    Sums total;
    for (const Sums& p : parts) total.add(p);   // in chunk order: the same for any thread count
    return total;
}

// Solves h x = e (h symmetric, its upper triangle packed) by Cholesky; false when h is not
// positive definite.
bool solve(const double packed[kPacked], const double e[kParams], double x[kParams]) {
    double l[kParams][kParams] = {};
    double h[kParams][kParams];
    int k = 0;
    for (int a = 0; a < kParams; ++a)
        for (int b = a; b < kParams; ++b) h[a][b] = h[b][a] = packed[k++];
    for (int a = 0; a < kParams; ++a) {
        for (int b = 0; b <= a; ++b) {
            double sum = h[a][b];
            for (int c = 0; c < b; ++c) sum -= l[a][c] * l[b][c];
            if (a == b) {
                if (!(sum > h[a][a] * 1e-12) || !(sum > 0)) return false;
                l[a][a] = std::sqrt(sum);
            } else {
                l[a][b] = sum / l[b][b];
            }
        }
    }
    double y[kParams];
    for (int a = 0; a < kParams; ++a) {
        double sum = e[a];
        for (int c = 0; c < a; ++c) sum -= l[a][c] * y[c];
        y[a] = sum / l[a][a];
    }
    for (int a = kParams - 1; a >= 0; --a) {
        double sum = y[a];
        for (int c = a + 1; c < kParams; ++c) sum -= l[c][a] * x[c];
        x[a] = sum / l[a][a];
        if (!std::isfinite(x[a])) return false;
    }
    return true;
}

}   // namespace

RefinedMotion refineRigidMotion(const Image& reference, const Image& source, const RigidMotion& start, double maxMove) {
    RefinedMotion result;
    result.motion = start;
    if (reference.pixels == nullptr || source.pixels == nullptr || reference.width < 2 * kBorder + 2 ||
        reference.height < 2 * kBorder + 2 || source.width < 2 || source.height < 2) {
        return result;
    }
    std::vector<Plane> refs, srcs;
    refs.push_back(luminance(reference));
    srcs.push_back(luminance(source));
    while (std::int32_t(refs.size()) < kMaxLevels &&
           std::min({refs.back().width, refs.back().height, srcs.back().width, srcs.back().height}) / 2 >=
               kMinLevelSide) {
        refs.push_back(halved(refs.back()));
        srcs.push_back(halved(srcs.back()));
    }

    // Level L: full-size position X is 2^L x + (2^L - 1) / 2; the motion keeps its angle and
    // its shift is divided by 2^L.
    double angle = start.angle, shiftX = start.shiftX, shiftY = start.shiftY;
    double gain = 1, offset = 0;
    // The farthest a reference pixel lies from the reference point, for the convergence test.
    const double reach = std::hypot(double(std::max(reference.x0, reference.width - reference.x0)),
                                    double(std::max(reference.y0, reference.height - reference.y0)));
    bool failed = false;
    float huber = std::numeric_limits<float>::infinity();   // the first step is plain least squares
    for (std::int32_t level = std::int32_t(refs.size()) - 1; level >= 0 && !failed; --level) {
        const double scale = std::ldexp(1.0, level), half = (scale - 1) * 0.5;
        const Samples samples = templateSamples(
            refs[std::size_t(level)], (reference.x0 - half) / scale, (reference.y0 - half) / scale, kStrength[level],
            level == 0 && std::int64_t(reference.width) * reference.height >= kLargeFrame ? 2 : 1);
        const double sourceX = (source.x0 - half) / scale, sourceY = (source.y0 - half) / scale;
        // The noise of a level is about twice that of the next coarser one (a mean of four pixels).
        huber *= 2.0f;
        const std::int32_t steps = level == std::int32_t(refs.size()) - 1 ? kCoarsestIterations : kIterations[level];
        for (std::int32_t it = 0; it < steps; ++it) {
            Warp w;
            w.cosA = float(std::cos(angle));
            w.sinA = float(std::sin(angle));
            w.baseX = float(sourceX + shiftX / scale);
            w.baseY = float(sourceY + shiftY / scale);
            w.gain = float(gain);
            w.offset = float(offset);
            w.huber = huber;
            const Sums sums = sumAll(samples, srcs[std::size_t(level)], w);
            ++result.iterations;
            if (sums.count < kMinPixels) {
                failed = true;
                break;
            }
            if (level == 0) {
                result.residual = std::sqrt(sums.rr / double(sums.count));
                result.pixelsUsed = sums.count;
            }
            double step[kParams];
            if (!solve(sums.h, sums.e, step)) {
                failed = true;
                break;
            }
            // W <- W o W(step)^-1: the angle loses step[0], the shift loses R(new angle) step[1..2].
            angle -= step[0];
            const double c = std::cos(angle), s = std::sin(angle);
            shiftX -= (c * step[1] - s * step[2]) * scale;
            shiftY -= (s * step[1] + c * step[2]) * scale;
            gain += step[3];
            offset += step[4];
            if (!(gain > 0.05 && gain < 20)) {
                gain = 1;
                offset = 0;
            }
            // Gaussian noise of deviation sigma has a mean magnitude of sigma * sqrt(2 / pi).
            huber = float(kHuber * 1.2533141373155003 * sums.absR / double(sums.count));
            if (!(huber > 1e-3f)) huber = 1e-3f;
            const double moved = std::fabs(step[0]) * reach / scale + std::hypot(step[1], step[2]);
            if (moved < kConverged[level]) break;
        }
    }
    const double moved =
        std::fabs(angle - start.angle) * reach + std::hypot(shiftX - start.shiftX, shiftY - start.shiftY);
    if (failed || !std::isfinite(moved) || !(moved <= maxMove)) {
        result.motion = start;
        result.refined = false;
        return result;
    }
    result.motion = RigidMotion{angle, shiftX, shiftY};
    result.refined = true;
    return result;
}
