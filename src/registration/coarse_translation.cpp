#include "registration/coarse_translation.h"

#include <cstdio>
#include <ctime>

#include "common/clock.h"
#include "driver/run_settings.h"
#include "registration/global_adjustment.h"
#include "registration/shift_search.h"
#include "registration/resampling.h"

void coarseTranslationSearch(RigidGeometry* found) {
    RunSettings& s = settings;
    std::printf("Recherche de la meilleure translation : \n");
    float bestScore = 1e24f;
    std::int32_t bestShiftX = 0, bestShiftY = 0;
    const std::int32_t start = processorSeconds();
    std::printf("--------------------------------------------------\n");

    constexpr float kScale = 0.125f;
    Image smallCurrent = scaledCopy(s.current, kScale);
    Image smallReference = scaledCopy(s.reference, kScale);
    // Eighth-scale shifts from trunc(min / 8) while the shift, in single precision, is at most
    // max / 8: step 1, x outer, y inner.
    const float xLimit = float(s.shiftXMax) * kScale, yLimit = float(s.shiftYMax) * kScale;
    ShiftGrid grid;
    grid.xMin = std::int32_t(float(s.shiftXMin) * kScale);
    grid.yMin = std::int32_t(float(s.shiftYMin) * kScale);
    for (std::int32_t sx = std::int32_t(grid.xMin); float(sx) <= xLimit; ++sx) ++grid.columns;
    for (std::int32_t sy = std::int32_t(grid.yMin); float(sy) <= yLimit; ++sy) ++grid.rows;
    const SearchOutcome outcome = searchShifts(smallCurrent, nullptr, smallReference, grid, bestScore);
    if (outcome.winner >= 0) {
        bestScore = outcome.best;
        bestShiftX = grid.shiftX(outcome.winner);
        bestShiftY = grid.shiftY(outcome.winner);
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
    globalAdjustment(found);
    s.shiftXMin = saved[0];
    s.shiftXMax = saved[1];
    s.shiftYMin = saved[2];
    s.shiftYMax = saved[3];
}
