// Loop shapes shared by the generic element-wise bodies. Internal linkage
// (static), like sp_mem.h: CPU-build units must not share these copies.
#pragma once

#include <emmintrin.h>

#include <cstddef>

#include "primitives/convert/sp_mem.h"

namespace sp {
namespace gen {

// out[i] = op(a[i], b[i]) for i < n. Eight, then four elements per SSE2
// step when each step reads all its elements before writing (see
// blockStepSafe), so the values equal those of one element at a time in
// index order; otherwise, and for the tail, one element at a time.
template <typename VecOp, typename ScalarOp>
static inline void mapBinary(const float* a, const float* b, float* out, size_t n, VecOp vecOp,
                             ScalarOp scalarOp) {
    size_t i = 0;
    if (blockStepSafe(a, out) && blockStepSafe(b, out)) {
        for (; i + 8 <= n; i += 8) {
            __m128 r0 = vecOp(_mm_loadu_ps(a + i), _mm_loadu_ps(b + i));
            __m128 r1 = vecOp(_mm_loadu_ps(a + i + 4), _mm_loadu_ps(b + i + 4));
            _mm_storeu_ps(out + i, r0);
            _mm_storeu_ps(out + i + 4, r1);
        }
        for (; i + 4 <= n; i += 4) _mm_storeu_ps(out + i, vecOp(_mm_loadu_ps(a + i), _mm_loadu_ps(b + i)));
    }
    for (; i < n; ++i) setElemF32(out, i, scalarOp(elemF32(a, i), elemF32(b, i)));
}

// out[i] = op(a[i]).
template <typename VecOp, typename ScalarOp>
static inline void mapUnary(const float* a, float* out, size_t n, VecOp vecOp, ScalarOp scalarOp) {
    mapBinary(a, a, out, n, [vecOp](__m128 x, __m128) { return vecOp(x); },
              [scalarOp](float x, float) { return scalarOp(x); });
}

}  // namespace gen
}  // namespace sp
