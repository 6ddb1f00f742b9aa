
#include <cstdio>
#include <ctime>

#include "common/clock.h"
#include "driver/run_settings.h"
#include "registration/image_difference.h"
#include "reference/plain.h"

namespace plain {

void coarseTranslationSearch(RigidGeometry* found) {
    RunSettings& s = settings;
    std::printf("Recherche de la meilleure translation : \n");
    float bestScore = 1e24f;
    std::int32_t bestShiftX = 0, bestShiftY = 0;
    const std::int32_t start = processorSeconds();
    std::printf("--------------------------------------------------\n");

    constexpr float kScale = 0.125f;
    Image smallCurrent = plain::scaledCopy(s.current, kScale);
    Image smallReference = plain::scaledCopy(s.reference, kScale);
    const float xLimit = float(s.shiftXMax) * kScale, yLimit = float(s.shiftYMax) * kScale;
    for (std::int32_t sx = std::int32_t(float(s.shiftXMin) * kScale); float(sx) <= xLimit; ++sx) {
        for (std::int32_t sy = std::int32_t(float(s.shiftYMin) * kScale); float(sy) <= yLimit; ++sy) {
            Image candidate = smallCurrent;
            candidate.x0 = smallCurrent.x0 + sx;
            candidate.y0 = smallCurrent.y0 + sy;
            const Extended m = imageDifference(candidate, smallReference);
            if (bestScore > m) {
                bestScore = float(m);
                bestShiftX = sx;
                bestShiftY = sy;
            }
        }
    }
    releasePixels(smallCurrent);
    releasePixels(smallReference);
    std::printf("(Temps Phase1 : %u)\n", unsigned(processorSeconds() - start));

    const std::int32_t saved[4] = {s.shiftXMin, s.shiftXMax, s.shiftYMin, s.shiftYMax};
    const float inverse = 1 / kScale, margin = 2.0f;
    s.shiftXMax = std::int32_t(float(bestShiftX + 1) * inverse + margin);
    s.shiftXMin = std::int32_t(float(bestShiftX - 1) * inverse - margin);
    s.shiftYMin = std::int32_t(float(bestShiftY - 1) * inverse - margin);
    s.shiftYMax = std::int32_t(float(bestShiftY + 1) * inverse + margin);
    plain::globalAdjustment(found);
    s.shiftXMin = saved[0];
    s.shiftXMax = saved[1];
    s.shiftYMin = saved[2];
    s.shiftYMax = saved[3];
}

}   // namespace plain
