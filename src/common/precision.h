// Floating-point evaluation model shared by the two programs.
//
// kalvorine      keeps every intermediate result in 80-bit extended precision and
//                rounds only where a value is stored in a float/double variable or
//                where the code says so with an explicit cast.
// kalvorine-sse  evaluates each float operation in single precision and each double
//                operation in double precision, as scalar SSE code does.
//
// Write an expression whose precision differs between the programs in `Inter`
// (float expressions) or `InterD` (expressions involving double constants) by
// casting its first operand; write `float`, `double` or `Extended` where both
// programs must agree. Nothing here depends on optimisation flags: the build
// uses -ffp-contract=off and no fast-math.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>

#if defined(KAL_SSE_BUILD)
using Inter = float;
using InterD = double;
inline constexpr bool kSseBuild = true;
#else
using Inter = long double;
using InterD = long double;
inline constexpr bool kSseBuild = false;
#endif

using Extended = long double;   // same in both programs: accumulators, warp geometry
static_assert(std::numeric_limits<long double>::digits >= 64, "needs the x87 80-bit long double");

inline constexpr double kOneDegree = 0.017453292522222223;   // pi as 3.141592654, / 180
inline constexpr double kHalfDegree = 0.008726646261111111;
inline constexpr double kInversePi = 0.31830988614222805;

// The number of bits after the point of f: the least k with f * 2^k whole (0 for whole
// numbers, infinities and NaN).
inline int fractionBits(float f) {
    if (f == 0 || !std::isfinite(f)) return 0;
    int exponent;
    const double mantissa = std::frexp(double(f), &exponent);                // |mantissa| in [0.5, 1)
    std::int64_t bits = std::int64_t(std::ldexp(std::fabs(mantissa), 24));   // exact: 24 bits
    int used = 24;
    for (; (bits & 1) == 0; bits >>= 1) --used;
    return used > exponent ? used - exponent : 0;
}
