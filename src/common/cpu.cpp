#include "common/cpu.h"

#include <atomic>

namespace {

bool processorHasAvx2() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2");
}

std::atomic<bool> avx2{processorHasAvx2()};

}   // namespace

bool useAvx2() { return avx2.load(std::memory_order_relaxed); }

void setUseAvx2(bool enabled) { avx2.store(enabled && processorHasAvx2(), std::memory_order_relaxed); }
