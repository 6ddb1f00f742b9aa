#pragma once

#include <gtest/gtest.h>

#include "common/cpu.h"
#include "common/parallel.h"
#include "driver/run_settings.h"

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
