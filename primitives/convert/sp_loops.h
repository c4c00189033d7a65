// Loop shapes shared by the generic element-wise bodies. Internal linkage
// (static), like sp_mem.h: CPU-build units must not share these copies.
#pragma once

#include <emmintrin.h>

#include <cstddef>

#include "primitives/convert/sp_mem.h"

namespace sp {
namespace gen {

// out[i] = op(a[i], b[i]) for i < n (b unused when Unary). When every SSE2
// step reads all its elements before writing (see blockStepSafe), single
// elements run up to out's 16-byte boundary, then eight and four elements
// per step; the values equal those of one element at a time in index order.
// Otherwise, and for the tail, one element at a time.
template <bool Unary, typename VecOp, typename ScalarOp>
static inline void mapElements(const float* a, const float* b, float* out, size_t n, VecOp vecOp,
                               ScalarOp scalarOp) {
    auto load = [](const float* p) { return _mm_loadu_ps(p); };
    auto step = [&](size_t i) { return Unary ? vecOp(load(a + i), load(a + i)) : vecOp(load(a + i), load(b + i)); };
    auto one = [&](size_t i) { setElemF32(out, i, scalarOp(elemF32(a, i), Unary ? 0.0f : elemF32(b, i))); };
    size_t i = 0;
    if (blockStepSafe(a, out) && (Unary || blockStepSafe(b, out))) {
        if (isAligned(out, 4))
            for (; i < n && !isAligned(out + i, 16); ++i) one(i);
        if (isAligned(out + i, 16)) {
            for (; i + 8 <= n; i += 8) {
                __m128 r0 = step(i), r1 = step(i + 4);
                _mm_store_ps(out + i, r0);
                _mm_store_ps(out + i + 4, r1);
            }
        }
        for (; i + 4 <= n; i += 4) _mm_storeu_ps(out + i, step(i));
    }
    for (; i < n; ++i) one(i);
}

template <typename VecOp, typename ScalarOp>
static inline void mapBinary(const float* a, const float* b, float* out, size_t n, VecOp vecOp,
                             ScalarOp scalarOp) {
    mapElements<false>(a, b, out, n, vecOp, scalarOp);
}

// out[i] = op(a[i]).
template <typename VecOp, typename ScalarOp>
static inline void mapUnary(const float* a, float* out, size_t n, VecOp vecOp, ScalarOp scalarOp) {
    mapElements<true>(a, a, out, n, [vecOp](__m128 x, __m128) { return vecOp(x); },
                      [scalarOp](float x, float) { return scalarOp(x); });
}

}  // namespace gen
}  // namespace sp
