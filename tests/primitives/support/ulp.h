// Distances between floats in units in the last place.
#pragma once

#include <cstdint>

namespace sptest {

// Steps between a and b on the ordered integer line of floats (-0.0 and +0.0
// are one step apart). Either being NaN gives INT64_MAX unless both are NaN
// (0).
int64_t ulpDistance(float a, float b);

// |got - ref| in ulps of ref, ulp(ref) = 2^(floor(log2|ref|) - 23), floored
// at 2^-149. Infinite ref: 0 when got equals it, else infinity. NaN ref: 0
// when got is a NaN, else infinity.
double ulpError(float got, double ref);

// Bits of a float and back.
uint32_t floatBits(float f);
float bitsFloat(uint32_t b);
uint64_t doubleBits(double d);
double bitsDouble(uint64_t b);

}  // namespace sptest
