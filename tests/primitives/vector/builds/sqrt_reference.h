// Exact references of the integer square roots: round(sqrt(x) * 2^-sf) with
// halves to even, limited to `limit`, negative inputs 0; found from a
// long-double guess and settled by exact comparisons in 128-bit integers
// (MPFR beyond sf -20).
#pragma once

#include <cmath>
#include <cstdint>

#ifdef SP_HAVE_MPFR
#include <mpfr.h>
#endif

#include "primitives/vector/sp_vec_cpu_list.h"

namespace sptest {

// Sign of sqrt(x) - (2r + 1) 2^(sf - 1), the distance to the half point
// above r, computed as 4x versus (2r + 1)^2 4^sf in integers (sf >= -20
// keeps every product below 2^127 for x < 2^63 and r < 2^44).
inline int compareToHalf(__int128 x, __int128 r, int sf) {
    __int128 lhs = 4 * x, rhs = (2 * r + 1) * (2 * r + 1);
    if (sf >= 0)
        rhs <<= 2 * sf;
    else
        lhs <<= -2 * sf;
    return lhs > rhs ? 1 : (lhs < rhs ? -1 : 0);
}

// sf < -20 (int64 only): MPFR at 512 bits, rounded to the nearest integer
// with ties to even (a tie is exact, so the precision decides every case).
inline int64_t largeShiftRoot(int64_t x, int sf, int64_t limit) {
#ifndef SP_HAVE_MPFR
    (void)x, (void)sf, (void)limit;
    return -1;  // callers skip sf < -20 without MPFR
#else
    mpfr_t v;
    mpfr_init2(v, 512);
    mpfr_set_si(v, (long)x, MPFR_RNDN);
    mpfr_sqrt(v, v, MPFR_RNDN);
    mpfr_mul_2si(v, v, -sf, MPFR_RNDN);
    mpfr_rint(v, v, MPFR_RNDN);
    int64_t r = mpfr_cmp_si(v, (long)limit) >= 0 ? limit : (int64_t)mpfr_get_si(v, MPFR_RNDN);
    mpfr_clear(v);
    return r;
#endif
}

inline int64_t referenceRoot(int64_t x, int sf, int64_t limit) {
    if (x <= 0) return 0;
    long double root = std::sqrt((long double)x) * std::ldexp(1.0L, -sf);
    if (root >= (long double)limit + 1.0L) return limit;
    if (sf < -20) return largeShiftRoot(x, sf, limit);
    __int128 r = (__int128)std::floor(root);
    while (r > 0 && compareToHalf(x, r - 1, sf) < 0) --r;
    while (compareToHalf(x, r, sf) > 0) ++r;
    if (compareToHalf(x, r, sf) == 0 && (r & 1)) ++r;
    if (r > 0 && compareToHalf(x, r - 1, sf) == 0 && (r & 1)) --r;
    return r > limit ? limit : (int64_t)r;
}

inline SpComplexI16 referenceComplexRoot(SpComplexI16 z) {
    int64_t a = z.re, b = z.im;
    int64_t n = a * a + b * b;
    if (n > 0x7FFFFFFF) n = 0x7FFFFFFF;
    int64_t m = (int64_t)std::nearbyint(std::sqrt((long double)n));
    int64_t u = (m + a + 1) / 2, v = (m - a + 1) / 2;
    int64_t re = (int64_t)std::nearbyint(std::sqrt((long double)u));
    int64_t im = (int64_t)std::nearbyint(std::sqrt((long double)v));
    if (re > 32767) re = 32767;
    if (im > 32767) im = 32767;
    return SpComplexI16{(int16_t)re, (int16_t)(b < 0 ? -im : im)};
}

}  // namespace sptest
