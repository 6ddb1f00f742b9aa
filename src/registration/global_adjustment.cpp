#include "registration/global_adjustment.h"

#include <cmath>
#include <algorithm>
#include <cstdio>
#include <vector>

#include "common/parallel.h"
#include "common/precision.h"
#include "driver/fatal_stop.h"
#include "driver/run_settings.h"
#include "registration/image_difference.h"
#include "registration/shift_search.h"
#include "registration/resampling.h"
#include "registration/subpixel_refinement.h"

namespace {

constexpr float kStarScale = 16.666668f;
constexpr float kOneThird = 0.33333334f;

struct Candidate {
    float score = 1e24f;
    float angle = 0;
    std::int32_t shiftX = 0;
    std::int32_t shiftY = 0;
};

// Every translation of the range, for each of the angles, against the reference: the plain
// loop's choice (angles outer, then dx, then dy; kept only when strictly lower). The samples
// of a batch of angles are searched together, every one pruned against the best of all.
void searchAngles(const std::vector<float>& angles, std::int32_t sampleWidth, std::int32_t sampleHeight,
                  Candidate& best) {
    const RunSettings& s = settings;
    // A scan of the validity bytes, a small fraction of a millisecond against the search.
    const bool referenceWhole = wholeRows(s.reference, 0, s.reference.height);
    const ShiftGrid grid = shiftGrid(s.shiftXMin, s.shiftXMax, s.shiftYMin, s.shiftYMax, s.shiftStep);
    // A rotated sample holds no valid pixel on its odd rows.
    std::vector<std::uint8_t> oddRows(std::size_t(std::max(sampleHeight, 0)));
    for (std::size_t j = 1; j < oddRows.size(); j += 2) oddRows[j] = 1;
    // Samples held at once: about 64 MiB of them.
    const std::size_t sampleBytes = std::max<std::size_t>(pixelBytes(sampleWidth, sampleHeight), 1);
    const std::size_t batch = std::clamp<std::size_t>((std::size_t(64) << 20) / sampleBytes, 1, 256);
    for (std::size_t first = 0; first < angles.size(); first += batch) {
        const std::size_t n = std::min(batch, angles.size() - first);
        std::vector<Image> samples(n);
        std::vector<std::vector<std::int32_t>> orders(n);
        std::vector<std::vector<std::uint8_t>> whole(n);
        parallelFor(std::int64_t(n), [&](std::int64_t k) {
            const Image& sample = samples[std::size_t(k)] =
                rotatedSample(s.current, sampleWidth, sampleHeight, angles[first + std::size_t(k)], false);
            orders[std::size_t(k)] = texturedRowOrder(sample, oddRows.data());
            std::vector<std::uint8_t>& flags = whole[std::size_t(k)];
            flags.assign(std::size_t(std::max(sampleHeight, 0)), 0);
            for (std::int32_t y = 0; y < sampleHeight; y += 2) flags[std::size_t(y)] = wholeRows(sample, y, 1);
        });
        std::vector<SearchSample> search(n);
        for (std::size_t k = 0; k < n; ++k)
            search[k] = SearchSample{&samples[k], oddRows.data(), orders[k].data(), whole[k].data()};
        const SearchOutcome outcome = searchSampleShifts(search, s.reference, grid, best.score, referenceWhole);
        if (outcome.winner >= 0) {
            best.score = outcome.best;
            best.angle = angles[first + std::size_t(outcome.winner / grid.count())];
            best.shiftX = grid.shiftX(outcome.winner % grid.count());
            best.shiftY = grid.shiftY(outcome.winner % grid.count());
        }
        for (Image& sample : samples) releasePixels(sample);
    }
}

// The sum of a probe's sample against the reference (a lower bound when the scan sums bounds
// only), each row of the sample built just before it is compared, in a buffer that stays in
// cache.
DifferenceUnits probeUnits(const DifferenceScan& scan, float angle, InvalidRows oddRows) {
    const Image& current = settings.current;
    const SampleTurn turn = sampleTurn(angle);
    thread_local std::vector<std::uint8_t> row;
    row.resize(pixelBytes(current.width, 1));
    DifferenceUnits total = 0;
    for (std::int64_t r = 0; r < scan.rows(); ++r) {
        const std::int32_t j = std::int32_t(scan.aFirstRow() + r);
        if (oddRows[j] == 0) rotatedSampleRow(current, current.width, current.height, turn, j, row.data());
        scan.addRowFrom(r, row.data(), total, ~DifferenceUnits(0));
    }
    return total;
}

// The overlap of a full-size sample, unshifted, with the reference.
DifferenceScan probeScan(InvalidRows oddRows, bool boundsOnly = false) {
    const Image& current = settings.current;
    const Image shape{nullptr, current.width, current.height, current.width / 2, current.height / 2};
    return DifferenceScan(shape, settings.reference, {.aInvalid = oddRows, .boundsOnly = boundsOnly});
}

// The measure of a full-size sample turned by angle, unshifted, in single precision.
float probeScore(float angle, InvalidRows oddRows) {
    const Image& current = settings.current;
    const Image& reference = settings.reference;
    if (!exactUnitsAvailable()) {
        Image sample = rotatedSample(current, current.width, current.height, angle, false);
        const float m = float(imageDifferenceSkipping(sample, reference, oddRows));
        releasePixels(sample);
        return m;
    }
    const DifferenceScan scan = probeScan(oddRows);
    if (scan.empty()) return kEmptyOverlapScore;
    const DifferenceUnits total = probeUnits(scan, angle, oddRows);
    float m;
    if (scan.singleFromUnits(total, m)) return m;
    // Past 2^64 units the value may need the sequential sum, which reads the whole sample.
    Image sample = rotatedSample(current, current.width, current.height, angle, false);
    m = float(imageDifferenceSkipping(sample, reference, oddRows));
    releasePixels(sample);
    return m;
}

// Whether the measure at a2 is at least the one at a1, told from cheap lower and upper
// bounds of the two sums where they leave no doubt (the SSE program's quadratic parts,
// rounded twice to single precision, lie within 2^-23 of s*s * (1/255)); false when they do.
bool boundsDecide(float a1, float a2, InvalidRows oddRows, bool& secondNotLower) {
    if (!kBoundsOnlyDiffer || !exactUnitsAvailable()) return false;
    const DifferenceScan scan = probeScan(oddRows, true);
    if (scan.empty()) return false;
    DifferenceUnits low[2], high[2];
    parallelFor(2, [&](std::int64_t k) {
        low[k] = probeUnits(scan, k == 0 ? a1 : a2, oddRows);
        // Each row's sum falls short of the exact one by at most 2^-22 of it plus 3 units.
        high[k] = low[k] + (low[k] >> 20) + 8 * DifferenceUnits(scan.rows()) + 64;
    });
    float lowest[2], highest[2];
    for (int k = 0; k < 2; ++k) scan.singleRange(low[k], high[k], lowest[k], highest[k]);
    if (lowest[1] >= highest[0]) {   // the second measure is at least the first
        secondNotLower = true;
        return true;
    }
    if (highest[1] < lowest[0]) {
        secondNotLower = false;
        return true;
    }
    return false;
}

// Narrows the angle by thirds until the bracket is at most half the resolution.
float refineAngle(float bestAngle) {
    const float step = settings.angleStep;
    std::vector<std::uint8_t> oddRows(std::size_t(std::max(settings.current.height, 0)));
    for (std::size_t j = 1; j < oddRows.size(); j += 2) oddRows[j] = 1;
    const InterD half = InterD(kHalfDegree) + step;
    float hi = float(bestAngle + half);
    float lo = float(bestAngle - half);
    float width = hi - lo;
    while (width > InterD(step) * 0.5) {
        std::printf("***");
        std::fflush(stdout);
        const float a1 = float(Inter(lo) + Inter(width) * kOneThird);
        const float a2 = float(Inter(lo) + Inter(2) * width * kOneThird);
        bool secondNotLower = false;
        if (!boundsDecide(a1, a2, oddRows.data(), secondNotLower)) {
            float m[2];
            parallelFor(2, [&](std::int64_t k) { m[k] = probeScore(k == 0 ? a1 : a2, oddRows.data()); });
            secondNotLower = m[1] >= m[0];
        }
        if (secondNotLower) {
            hi = a2;
            bestAngle = a2;
        } else {
            lo = a1;
            bestAngle = a1;
        }
        width = hi - lo;
    }
    return bestAngle;
}

void logShift(const Candidate& best) {
    const RunSettings& s = settings;
    if (s.shiftXMin == s.shiftXMax && s.shiftYMin == s.shiftYMax) return;
    if (s.shiftLog != nullptr) std::fprintf(s.shiftLog, "%i %i ", best.shiftX, best.shiftY);
    if (best.shiftX == s.shiftXMax || best.shiftX == s.shiftXMin || best.shiftY == s.shiftYMax ||
        best.shiftY == s.shiftYMin) {
        std::printf(
            "\n!!! Attention : la valeur maximum de decalage autoris\x8E"
            "e a ete atteinte.\n");
        if (s.shiftLog != nullptr) std::fprintf(s.shiftLog, "  Non optimal");
    }
    if (s.shiftLog != nullptr) std::fprintf(s.shiftLog, "\n");
}

void logRefinedShift(const Candidate& best, float shiftX, float shiftY) {
    const RunSettings& s = settings;
    if (s.shiftXMin == s.shiftXMax && s.shiftYMin == s.shiftYMax) return;
    if (s.shiftLog != nullptr) std::fprintf(s.shiftLog, "%.3f %.3f ", double(shiftX), double(shiftY));
    if (best.shiftX == s.shiftXMax || best.shiftX == s.shiftXMin || best.shiftY == s.shiftYMax ||
        best.shiftY == s.shiftYMin) {
        std::printf(
            "\n!!! Attention : la valeur maximum de decalage autoris\x8E"
            "e a ete atteinte.\n");
        if (s.shiftLog != nullptr) std::fprintf(s.shiftLog, "  Non optimal");
    }
    if (s.shiftLog != nullptr) std::fprintf(s.shiftLog, "\n");
}

// The whole-pixel best refined to sub-pixel precision: printed, logged in shift.lst and kept
// in settings for affinage.lst. A refinement that fails keeps the whole-pixel values.
void refineBest(const Candidate& best, float& angle, float& shiftX, float& shiftY) {
    RunSettings& s = settings;
    // Far beyond the search's resolution: a false minimum, not taken (the whole-pixel search can
    // miss by a little more than its resolution, so twice that, and then some).
    const double maxMove =
        2.0 * std::fabs(double(s.angleStep)) * std::hypot(double(s.current.width), double(s.current.height)) +
        2.0 * std::fabs(double(s.shiftStep)) + 8.0;
    const RigidMotion start{double(best.angle), double(best.shiftX), double(best.shiftY)};
    const RefinedMotion r = refineRigidMotion(s.reference, s.current, start, maxMove);
    angle = float(r.motion.angle);
    shiftX = float(r.motion.shiftX);
    shiftY = float(r.motion.shiftY);
    if (!r.refined) std::printf("\nAffinage impossible : valeurs au pixel gardees");
    std::printf("\ntheta=%.3f  DeltaX=%.3f   DeltaY=%.3f\n", double(angle) * 180.0 * kInversePi, double(shiftX),
                double(shiftY));
    logRefinedShift(best, shiftX, shiftY);
    s.refinedThisFrame = true;
    s.refinedAngle = double(angle);
    s.refinedShiftX = double(shiftX);
    s.refinedShiftY = double(shiftY);
    s.refinedResidual = r.residual;
    s.refinedFailed = !r.refined;
}

}   // namespace

void globalAdjustment(RigidGeometry* found) {
    RunSettings& s = settings;
    std::printf("Ajustement global : \n");
    Candidate best;
    if (s.angleStep == 0 || std::isnan(s.angleStep)) {
        std::printf("Erreur : resolution angulaire nulle");
        fatalStop();
    }
    std::printf("--------------------------------------------------\n");

    const bool angleRange = s.angleMin < s.angleMax || s.angleMin > s.angleMax;
    const std::int32_t sampleWidth = angleRange ? s.current.width / 4 : s.current.width / s.translationFraction;
    const std::int32_t sampleHeight = angleRange ? s.current.height / 4 : s.current.height / s.translationFraction;
    // The angles of the coarse phase, one degree apart in single precision, each with its
    // progress stars.
    std::vector<float> angles;
    std::int32_t starsPrinted = 0;
    float theta = s.angleMin;
    if (!(theta > s.angleMax)) {
        do {
            if (angleRange) {
                const std::int32_t stars =
                    std::int32_t(float((theta - s.angleMin) / (s.angleMax - s.angleMin)) * kStarScale) + 1;
                for (; starsPrinted < stars; ++starsPrinted) std::putchar('*');
            }
            angles.push_back(theta);
            theta = float(InterD(theta) + kOneDegree);
        } while (theta <= s.angleMax);
    }
    std::fflush(stdout);
    searchAngles(angles, sampleWidth, sampleHeight, best);

    if (angleRange) best.angle = refineAngle(best.angle);
    float angle = best.angle, shiftX = float(best.shiftX), shiftY = float(best.shiftY);
    if (s.subpixelRefinement != 0) {
        refineBest(best, angle, shiftX, shiftY);
    } else {
        if (angleRange) {
            std::printf("\ntheta=%f  DeltaX=%i   DeltaY=%i\n", double(Inter(best.angle) * 180.0f * kInversePi),
                        best.shiftX, best.shiftY);
        } else {
            std::printf("\nDeltaX=%i   DeltaY=%i\n", best.shiftX, best.shiftY);
        }
        logShift(best);
    }

    if (found != nullptr)
        *found = RigidGeometry{best.angle, float(best.shiftX), float(best.shiftY), s.current.x0, s.current.y0};
    Image aligned = rotateAndShift(s.current.pixels, s.current.width, s.current.height, s.current.x0, s.current.y0,
                                   angle, shiftX, shiftY);
    releasePixels(s.current);
    if (aligned.pixels == nullptr && aligned.width > 0 && aligned.height > 0) {
        // A thin frame turned by a large angle: its bounding box would not fit in memory.
        std::printf(
            "Erreur : image alignee trop grande (%i x %i pixels; limite %i de cote, %lli en tout), image "
            "ignoree\n",
            aligned.width, aligned.height, kMaxImageSide, static_cast<long long>(kMaxImagePixels));
        aligned = Image{};
    }
    s.current = aligned;
}
