// Every kernel and body of the vector primitives' CPU builds, once, with its
// signature:
//   X(builds, name, result, (parameters))
// `builds` as in primitives/convert/sp_cpu_list.h: ALL (_Sse3, _Ssse3,
// _Sse41) or B12 (_Sse3, _Ssse3; build 3 uses build 2's). The list feeds the
// declarations (sp_vec_cpu.h), the CPU columns of table B, the per-build
// kernel structs of the tests and the benchmark list.
//
// Each kernel file builds/<file>.inc keeps its own section in
// builds/list_<file>.h; this header only joins them.
#pragma once

#include <cstdint>

#include "primitives/convert/sp_cpu_list.h"
#include "primitives/convert/sp_types.h"

// Complex elements: real part first.
struct SpComplexF32 {
    float re, im;
};
struct SpComplexF64 {
    double re, im;
};
struct SpComplexI16 {
    int16_t re, im;
};

#include "primitives/vector/builds/list_bodies.h"
#include "primitives/vector/builds/list_div.h"
#include "primitives/vector/builds/list_div_more.h"
#include "primitives/vector/builds/list_elementwise.h"
#include "primitives/vector/builds/list_exp_ln.h"
#include "primitives/vector/builds/list_ln_more.h"
#include "primitives/vector/builds/list_reduce.h"
#include "primitives/vector/builds/list_sqrt.h"
#include "primitives/vector/builds/list_sum.h"

#define SP_VEC_CPU_LIST(X)       \
    SP_VEC_LIST_BODIES(X)        \
    SP_VEC_LIST_ELEMENTWISE(X)   \
    SP_VEC_LIST_DIV(X)           \
    SP_VEC_LIST_DIV_MORE(X)      \
    SP_VEC_LIST_EXP_LN(X)        \
    SP_VEC_LIST_LN_MORE(X)       \
    SP_VEC_LIST_REDUCE(X)        \
    SP_VEC_LIST_SQRT(X)          \
    SP_VEC_LIST_SUM(X)
