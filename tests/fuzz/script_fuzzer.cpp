// libFuzzer target: the script reader on arbitrary bytes. Each input is a whole script file;
// it must be read to its end or end in the fatal stop (too many images), with every read and
// write inside its buffer and every value stored within the limits the searches rely on.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "driver/run_settings.h"
#include "driver/script_reader.h"
#include "fatal_stop_throw.h"
#include "fuzz_support.h"

namespace {

MemoryFile script;

// What the registration and block stages take for granted about the stored values.
void checkStoredValues() {
    const RunSettings& s = settings;
    check(s.imageCount >= 0 && s.imageCount <= kMaxImages, "image count within 0..29999");
    for (int i = 1; i <= s.imageCount; ++i) {
        check(!s.sourceNames[i].empty() && !s.resultNames[i].empty(), "every counted image has both names");
        if (s.sourceX0Given[i] != 0) check(std::abs(s.sourceX0[i]) <= kMaxScriptPoint, "source x0 in range");
        if (s.sourceY0Given[i] != 0) check(std::abs(s.sourceY0[i]) <= kMaxScriptPoint, "source y0 in range");
    }
    check(std::abs(s.referenceX0) <= kMaxScriptPoint && std::abs(s.referenceY0) <= kMaxScriptPoint,
          "reference point in range");
    const float maxAngle = 360.0f * 0.017453292522222223f * 1.0001f;
    check(std::isfinite(s.angleMin) && std::fabs(s.angleMin) <= maxAngle, "angleMin finite, within 360 degrees");
    check(std::isfinite(s.angleMax) && std::fabs(s.angleMax) <= maxAngle, "angleMax finite, within 360 degrees");
    check(std::isfinite(s.angleStep) && s.angleStep >= 0, "angleStep finite and not negative");
    check(s.angleStep == 0 || s.angleStep >= 0.999f * kMinScriptAngleResolutionDegrees * 0.017453292f,
          "angleStep 0 or at least the finest resolution");
    check(s.shiftXMin == -s.shiftXMax && s.shiftYMin == -s.shiftYMax && s.shiftXMax == s.shiftYMax,
          "translation range symmetric");
    check(std::abs(s.shiftXMax) <= kMaxScriptShift, "translation within 65535");
    check(s.shiftStep >= 1, "translation step at least 1");
    check(s.blockGridWidth <= kMaxScriptShift, "grid width within 65535");
    check(s.blockSearchWidth >= 0 && s.blockSearchWidth <= kMaxScriptShift, "block half-size within 0..65535");
    check(s.blockShiftXMin == -s.blockShiftXMax && s.blockShiftYMin == -s.blockShiftYMax &&
              s.blockShiftXMax == s.blockShiftYMax,
          "block shift range symmetric");
    check(std::abs(s.blockShiftXMax) <= kMaxScriptShift, "block shift within 65535");
    check(s.blockShiftStep >= kMinScriptBlockStep && s.blockShiftStep <= float(kMaxScriptShift),
          "block step in 0.01..65535");
    check(s.translationFraction >= 1, "translation fraction at least 1");
    check(s.subpixelRefinement == 0 || s.subpixelRefinement == 1, "refinement 0 or 1");
}

}   // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    silenceStdout();
    script = makeMemoryFile("script");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    resetRunSettings();
    setContents(script, data, size);
    settings.scriptFileName = script.path;
    bool stopped = false;
    try {
        readScript();
    } catch (const FatalStopReached&) {
        stopped = true;
    }
    // Only the fatal stop may leave the script open.
    const int leftOpen = closeStreamsLeftOpen();
    check(leftOpen == (stopped ? 1 : 0), "the script is closed after a complete reading");
    if (!stopped) checkStoredValues();
    return 0;
}
