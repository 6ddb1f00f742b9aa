#include "driver/run_settings.h"

RunSettings settings;
float mismatchPenalty = 0.01f;

void resetRunSettings() {
    releasePixels(settings.reference);
    releasePixels(settings.current);
    releasePixels(settings.composite);
    if (settings.shiftLog != nullptr) std::fclose(settings.shiftLog);
    settings = RunSettings{};
    mismatchPenalty = 0.01f;
}
