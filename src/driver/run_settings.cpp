#include "driver/run_settings.h"

#include <unistd.h>

RunSettings settings;
float mismatchPenalty = 0.01f;

void resetRunSettings() {
    releasePixels(settings.reference);
    releasePixels(settings.current);
    releasePixels(settings.composite);
    if (settings.shiftLogFile.file == nullptr && settings.shiftLog != nullptr) std::fclose(settings.shiftLog);
    discardOutput(settings.shiftLogFile);
    discardOutput(settings.refinementLogFile);
    if (settings.runLock >= 0) ::close(settings.runLock);
    settings = RunSettings{};
    mismatchPenalty = 0.01f;
}
