// The fixture of every test that runs a whole program in a temporary folder (the program is
// the test's parameter or its first member), and byte-exact comparison with golden files:
// tests/data/golden/<case>/<name>, or for the SSE program <case>/sse/<name> where that exists
// (results may differ where a truncated value lies next to a whole number). Run the tests
// with KAL_UPDATE_GOLDEN=1 to rewrite the files from the present outputs.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

#include "support/run_program.h"
#include "support/test_images.h"

// Both programs, for the test targets given KAL_PROGRAM and KAL_PROGRAM_SSE.
#define KAL_BOTH_PROGRAMS \
    ::testing::Values(Program{"kalvorine", KAL_PROGRAM, false}, Program{"kalvorine_sse", KAL_PROGRAM_SSE, true})

// Non-fatal gtest failure when actual differs from the golden file.
void expectGolden(const std::string& caseName, const std::string& fileName, const std::string& actual, bool sse);

// A FITS file with its date card, which tells when the run was made, blanked.
std::string withoutDate(std::string fits);

// The image as a BMP file; the image is released.
void writeOwnedImage(const std::filesystem::path& path, Image im);

// ref.bmp and src1.bmp, src2.bmp, ... made from the synthetic scene, 96 x 72 pixels, the
// sources at the given views (angle in degrees, shift x, shift y).
void writeSequence(const std::filesystem::path& folder, const std::vector<std::array<double, 3>>& views);

inline const Program& programOf(const Program& p) { return p; }
template <typename... T>
const Program& programOf(const std::tuple<Program, T...>& p) {
    return std::get<0>(p);
}
std::string programName(const ::testing::TestParamInfo<Program>& info);

template <typename Param = Program>
class WholeRun : public ::testing::TestWithParam<Param> {
protected:
    TempDir dir;

    const Program& program() const { return programOf(this->GetParam()); }
    // A run that must end and leave standard error empty; its console with the times masked.
    RunResult run(const std::vector<std::string>& args, const RunOptions& options = {},
                  const std::filesystem::path& folder = {}) {
        RunResult r = runProgram(program().path, args, folder.empty() ? dir.path : folder, options);
        EXPECT_FALSE(r.hung) << "the run did not end";
        EXPECT_EQ(r.err, "") << "standard error holds a report";
        r.out = maskTimes(r.out);
        return r;
    }
    // The same with script written in the folder as script.txt.
    RunResult runScript(const std::string& script, const RunOptions& options = {},
                        const std::filesystem::path& folder = {}) {
        writeText((folder.empty() ? dir.path : folder) / "script.txt", script);
        return run({"script.txt"}, options, folder);
    }
};
