// Entry bodies of the CPU builds whose kernels live in elementwise.inc,
// div.inc or the shared fill kernels (bodies.inc).
#pragma once

#define SP_VEC_LIST_BODIES(X)                                                                    \
    X(ALL, spSetF32, SpStatus, (float val, float* dst, int len))
