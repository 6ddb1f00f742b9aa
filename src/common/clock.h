#pragma once

#include <cstdint>
#include <ctime>

// The processor clock as a signed 32-bit count of microseconds (wrapping as such a count
// does), and each reading in whole seconds, truncated.
inline std::int32_t processorTicks() { return std::int32_t(std::uint32_t(std::clock())); }
inline std::int32_t processorSeconds() { return processorTicks() / 1000000; }
