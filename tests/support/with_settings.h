#pragma once

#include <gtest/gtest.h>

#include <cctype>
#include <string>

#include "common/cpu.h"
#include "common/parallel.h"
#include "driver/run_settings.h"
#include "support/test_images.h"

// Every test starts from the process-start state of the run settings.
class WithSettings : public ::testing::Test {
protected:
    void SetUp() override { resetRunSettings(); }
    void TearDown() override { resetRunSettings(); }
};

// The same for tests that switch the vector instructions or the number of threads: both
// come back to their defaults after each test.
class WithKernelChoice : public WithSettings {
protected:
    void TearDown() override {
        setUseAvx2(true);
        setWorkerCount(defaultWorkers);
        WithSettings::TearDown();
    }
    int defaultWorkers = workerCount();
};

// Tests that read and write files in a fresh folder and check what the code printed.
class InFolder : public WithSettings {
protected:
    TempDir dir;
    std::string out;   // what the last quiet() call printed
    std::string path(const std::string& name) const { return (dir / name).string(); }
    // Runs f with standard output captured into out; returns what f returns.
    template <typename F>
    auto quiet(F f) {
        decltype(f()) result{};
        out = captureStdout([&] { result = f(); });
        return result;
    }
};

// A test name made of the words of a case's description ("a b-c" gives "ABC").
inline std::string caseName(const std::string& what) {
    std::string name;
    auto word = [&](std::size_t i) { return std::isalnum(static_cast<unsigned char>(what[i])) != 0; };
    for (std::size_t i = 0; i < what.size(); ++i)
        if (word(i)) name += i > 0 && word(i - 1) ? what[i] : char(std::toupper(static_cast<unsigned char>(what[i])));
    return name;
}
