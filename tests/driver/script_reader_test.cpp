// What readScript stores; what it prints is pinned by the whole-run golden tests, and the
// fuzz target checks that every stored range, step and fraction stays within its limits.
#include "driver/script_reader.h"

#include <gtest/gtest.h>

#include "common/precision.h"
#include "support/with_settings.h"

namespace {

class ScriptReader : public InFolder {
protected:
    std::string read(const std::string& script) {
        writeText(dir / "s.txt", script);
        settings.scriptFileName = path("s.txt");
        return captureStdout([] { readScript(); });
    }
};

// Each reading starts from the defaults, except the image count's slots and the composite name.
TEST_F(ScriptReader, DefaultsAreStoredBeforeTheFirstLine) {
    read("Affinage 1\n");
    settings.imageCount = 5;
    settings.compositeName = "kept";
    read("");
    const RunSettings& s = settings;
    EXPECT_EQ(std::tuple(s.imageCount, s.shiftStep, s.blockShiftStep, s.translationFraction, s.freeOutputSize,
                         s.compositeName, s.subpixelRefinement),
              std::tuple(0, 1, 1.0f, 6, 1, std::string("kept"), 0));
}

TEST_F(ScriptReader, AnglesAreStoredInRadiansAsSinglePrecisionProducts) {
    auto radians = [](float degrees) { return float(InterD(degrees) * kOneDegree); };
    const std::pair<const char*, std::array<float, 3>> cases[] = {
        {"", {0, 0, 1.0f}},   // the default step, one radian, is not converted
        {"Angle -2 2\n", {radians(-2), radians(2), 1.0f}},
        {"Angle -1,5 1,5 0,5\n", {radians(-1), radians(5), radians(1)}},
        {"Angle -360 360\n", {radians(-360), radians(360), 1.0f}},   // the limits themselves are accepted
    };
    for (const auto& [script, expected] : cases) {
        read(script);
        EXPECT_EQ((std::array{settings.angleMin, settings.angleMax, settings.angleStep}), expected) << script;
    }
}

// The whole runs pin the other refusals; these are the traps of the number parsing.
TEST_F(ScriptReader, TheRefinementKeywordIsEchoedStoredOrRefused) {
    const std::tuple<const char*, std::int32_t, const char*> cases[] = {
        {"affinage 0\r\n", 0, "Affinage sous-pixel=0  \n"},
        {"Affinage 1.5\n", 1, "Affinage sous-pixel=1.5   *** valeur refusee (valeur non numerique). Ligne 2  \n"},
        {"Affinage 99999999999999999999\n", 1,
         "Affinage sous-pixel=99999999999999999999   *** valeur refusee (0 ou 1 attendu). Ligne 2  \n"},
    };
    for (const auto& [line, stored, printed] : cases) {
        const std::string all = read(std::string("Affinage 1\n") + line);
        EXPECT_EQ(std::tuple(settings.subpixelRefinement, all.substr(all.find("Affinage sous-pixel=1  \n") + 24)),
                  std::tuple(stored, std::string(printed)));
    }
}

}   // namespace
