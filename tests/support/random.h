#pragma once

#include <cstdint>

// splitmix64: the same numbers on every platform, unlike the std distributions.
struct TestRandom {
    std::uint64_t state;
    explicit TestRandom(std::uint64_t seed) : state(seed * 0x9E3779B97F4A7C15ull + 1) {}
    std::uint64_t next() {
        std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    // Uniform in [lo, hi].
    std::int32_t range(std::int32_t lo, std::int32_t hi) {
        return lo + std::int32_t(next() % std::uint64_t(std::int64_t(hi) - lo + 1));
    }
    bool chance(int percent) { return range(0, 99) < percent; }
};
