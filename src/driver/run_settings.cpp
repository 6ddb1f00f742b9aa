#include "driver/run_settings.h"

RunSettings settings;
float mismatchPenalty = 0.01f;

void resetRunSettings() {
    releasePixels(settings.reference);
    releasePixels(settings.current);
    releasePixels(settings.composite);
    releasePixels(settings.referenceFeatures);
    if (settings.shiftLog != nullptr) std::fclose(settings.shiftLog);
    settings = RunSettings{};
    mismatchPenalty = 0.01f;
}
