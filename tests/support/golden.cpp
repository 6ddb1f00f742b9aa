#include "support/golden.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "support/test_images.h"

namespace {

std::filesystem::path goldenDir() { return std::filesystem::path(KAL_GOLDEN_DIR); }

std::string describeDifference(const std::string& expected, const std::string& actual) {
    std::size_t at = 0;
    while (at < expected.size() && at < actual.size() && expected[at] == actual[at]) ++at;
    std::string text = "sizes " + std::to_string(expected.size()) + " / " + std::to_string(actual.size()) +
                       ", first difference at byte " + std::to_string(at);
    const bool printable = actual.find('\0') == std::string::npos;
    if (printable) {
        const std::size_t from = at > 200 ? at - 200 : 0;
        text += "\n--- expected from there:\n" + expected.substr(from, 400) + "\n--- actual:\n" + actual.substr(from, 400);
    }
    return text;
}

}  // namespace

bool goldenUpdateMode() {
    const char* flag = std::getenv("KAL_UPDATE_GOLDEN");
    return flag != nullptr && std::string(flag) == "1";
}

void expectGolden(const std::string& caseName, const std::string& fileName, const std::string& actual, bool sse) {
    const std::filesystem::path common = goldenDir() / caseName / fileName;
    const std::filesystem::path special = goldenDir() / caseName / "sse" / fileName;
    if (goldenUpdateMode()) {
        if (!sse) {
            std::filesystem::create_directories(common.parent_path());
            writeText(common, actual);
        } else if (std::filesystem::exists(common) && readText(common) == actual) {
            std::filesystem::remove(special);
        } else {
            std::filesystem::create_directories(special.parent_path());
            writeText(special, actual);
        }
        return;
    }
    const std::filesystem::path path = sse && std::filesystem::exists(special) ? special : common;
    ASSERT_TRUE(std::filesystem::exists(path)) << "missing golden file " << path;
    const std::string expected = readText(path);
    EXPECT_TRUE(expected == actual) << "output differs from " << path << ": " << describeDifference(expected, actual);
}
