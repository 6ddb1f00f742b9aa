#pragma once

#include <gtest/gtest.h>

#include "driver/run_settings.h"

// Every test starts from the process-start state of the run settings.
class WithSettings : public ::testing::Test {
protected:
    void SetUp() override { resetRunSettings(); }
    void TearDown() override { resetRunSettings(); }
};
