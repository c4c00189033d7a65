// Test-side tables of the builds-2/3 blocked FFT kit, which the library
// has no builders for: the row twiddle table for any pass plan (the kit's
// plan at n = 2^18 differs from the one the build-2 builder lays out) and
// the scatter twiddle table of the last radix-8 step. Values come from a
// quarter-wave sine table S of order sinOrder (S[j] = sin(2 pi j /
// 2^sinOrder), j = 0 .. 2^sinOrder / 4), read the way the library's
// builders read it, so a table of the library's plan has the library's bits.
#pragma once

#include <vector>

namespace sptest {

// The kit's radices after the first 4-point pass of a row of 2^a points,
// a = 6 to 19.
std::vector<int> blockedRowPlan(int a);

// Row twiddle table for `plan` (2^a points, 4 times the product of the
// plan's radices): per pass combining length L
// with radix R, per lane group l0 = 0, 4, ... L - 4, for s = 1 .. R - 1 the
// 4 real then the 4 imaginary parts of W^(s l), W = e^(-2 pi i / RL).
// Writes 2^(a+1) - 8 floats; sinOrder >= a.
void buildBlockedRowTwiddles(const std::vector<int>& plan, const float* S, int sinOrder, float* out);

// Scatter twiddle table of N = 2^(a+3) points: per group of 4 columns
// k = 4g .. 4g + 3 (g below 2^a / 4), t_s = e^(-2 pi i s k / N) for
// s = 1 .. 7 as 4 real then 4 imaginary parts. Writes 14 * 2^a floats;
// sinOrder >= a + 3.
void buildBlockedScatterTwiddles(int a, const float* S, int sinOrder, float* out);

}  // namespace sptest
