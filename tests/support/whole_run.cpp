#include "support/whole_run.h"

#include <cstdlib>

void expectGolden(const std::string& caseName, const std::string& fileName, const std::string& actual, bool sse) {
    const std::filesystem::path common = std::filesystem::path(KAL_GOLDEN_DIR) / caseName / fileName;
    const std::filesystem::path special = common.parent_path() / "sse" / fileName;
    const char* update = std::getenv("KAL_UPDATE_GOLDEN");
    if (update != nullptr && std::string(update) == "1") {   // the SSE file only where it differs
        const std::filesystem::path target = sse ? special : common;
        if (sse && std::filesystem::exists(common) && readText(common) == actual) {
            std::filesystem::remove(special);
        } else {
            std::filesystem::create_directories(target.parent_path());
            writeText(target, actual);
        }
        return;
    }
    const std::filesystem::path path = sse && std::filesystem::exists(special) ? special : common;
    ASSERT_TRUE(std::filesystem::exists(path)) << "missing golden file " << path;
    const std::string expected = readText(path);
    std::size_t at = 0;
    while (at < expected.size() && at < actual.size() && expected[at] == actual[at]) ++at;
    EXPECT_TRUE(expected == actual) << "output differs from " << path << " at byte " << at << " (sizes "
                                    << expected.size() << " / " << actual.size() << "); from there expected:\n"
                                    << expected.substr(at, 200) << "\n--- actual:\n"
                                    << actual.substr(at, 200);
}

std::string withoutDate(std::string fits) {
    const std::size_t at = fits.find("DATE    = '");
    if (at != std::string::npos) fits.replace(at + 11, 19, std::string(19, '#'));
    return fits;
}

void writeOwnedImage(const std::filesystem::path& path, Image im) {
    writeBmp(path, im);
    releasePixels(im);
}

void writeSequence(const std::filesystem::path& folder, const std::vector<std::array<double, 3>>& views) {
    writeOwnedImage(folder / "ref.bmp", syntheticFrame(96, 72, 0, 0, 0));
    for (std::size_t i = 0; i < views.size(); ++i)
        writeOwnedImage(folder / ("src" + std::to_string(i + 1) + ".bmp"),
                        syntheticFrame(96, 72, views[i][0], views[i][1], views[i][2]));
}

std::string programName(const ::testing::TestParamInfo<Program>& info) { return info.param.name; }
