
#include <cmath>
#include <cstdio>

#include "common/precision.h"
#include "driver/fatal_stop.h"
#include "driver/run_settings.h"
#include "registration/image_difference.h"
#include "reference/plain.h"

namespace plain {

namespace {

constexpr float kStarScale = 16.666668f;
constexpr float kOneThird = 0.33333334f;

struct Candidate {
    float score = 1e24f;
    float angle = 0;
    std::int32_t shiftX = 0;
    std::int32_t shiftY = 0;
};

// Every translation of the range against the reference, for one sample; a candidate is
// kept only when it scores strictly lower than the best so far.
void searchTranslations(const Image& sample, float angle, Candidate& best) {
    const RunSettings& s = settings;
    for (std::int64_t dx = s.shiftXMin; dx <= s.shiftXMax; dx += s.shiftStep) {
        for (std::int64_t dy = s.shiftYMin; dy <= s.shiftYMax; dy += s.shiftStep) {
            Image candidate = sample;
            candidate.x0 = sample.x0 + std::int32_t(dx);
            candidate.y0 = sample.y0 + std::int32_t(dy);
            const Extended m = imageDifference(candidate, s.reference);
            if (best.score > m) {
                best.score = float(m);
                best.shiftX = std::int32_t(dx);
                best.shiftY = std::int32_t(dy);
                best.angle = angle;
            }
        }
    }
}

float probeScore(float angle) {
    Image sample = plain::rotatedSample(settings.current, settings.current.width, settings.current.height, angle);
    const float m = float(imageDifference(sample, settings.reference));
    releasePixels(sample);
    return m;
}

// Narrows the angle by thirds until the bracket is at most half the resolution.
float refineAngle(float bestAngle) {
    const float step = settings.angleStep;
    const InterD half = InterD(kHalfDegree) + step;
    float hi = float(bestAngle + half);
    float lo = float(bestAngle - half);
    float width = hi - lo;
    while (width > InterD(step) * 0.5) {
        std::printf("***");
        std::fflush(stdout);
        const float a1 = float(Inter(lo) + Inter(width) * kOneThird);
        const float a2 = float(Inter(lo) + Inter(2) * width * kOneThird);
        const float m1 = probeScore(a1);
        const float m2 = probeScore(a2);
        if (m2 >= m1) {
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
    std::int32_t starsPrinted = 0;
    float theta = s.angleMin;
    if (!(theta > s.angleMax)) {
        do {
            if (angleRange) {
                const std::int32_t stars =
                    std::int32_t(float((theta - s.angleMin) / (s.angleMax - s.angleMin)) * kStarScale) + 1;
                for (; starsPrinted < stars; ++starsPrinted) std::putchar('*');
            }
            std::fflush(stdout);
            Image sample = plain::rotatedSample(s.current, sampleWidth, sampleHeight, theta);
            searchTranslations(sample, theta, best);
            releasePixels(sample);
            theta = float(InterD(theta) + kOneDegree);
        } while (theta <= s.angleMax);
    }

    if (angleRange) {
        best.angle = refineAngle(best.angle);
        std::printf("\ntheta=%f  DeltaX=%i   DeltaY=%i\n", double(Inter(best.angle) * 180.0f * kInversePi), best.shiftX,
                    best.shiftY);
    } else {
        std::printf("\nDeltaX=%i   DeltaY=%i\n", best.shiftX, best.shiftY);
    }
    logShift(best);

    if (found != nullptr)
        *found = RigidGeometry{best.angle, float(best.shiftX), float(best.shiftY), s.current.x0, s.current.y0};
    Image aligned = plain::rotateAndShift(s.current.pixels, s.current.width, s.current.height, s.current.x0,
                                          s.current.y0, best.angle, float(best.shiftX), float(best.shiftY));
    releasePixels(s.current);
    if (aligned.pixels == nullptr && aligned.width > 0 && aligned.height > 0) {
        std::printf(
            "Erreur : image alignee trop grande (%i x %i pixels; limite %i de cote, %lli en tout), image "
            "ignoree\n",
            aligned.width, aligned.height, kMaxImageSide, static_cast<long long>(kMaxImagePixels));
        aligned = Image{};
    }
    s.current = aligned;
}

}   // namespace plain
