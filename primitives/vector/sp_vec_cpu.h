// Declarations of the vector primitives' CPU-build kernels and bodies, from
// the one list of sp_vec_cpu_list.h.
#pragma once

#include "primitives/vector/sp_vec_cpu_list.h"

#define SP_VEC_DECLARE_ONE(fullName, result, params) result fullName params;
#define SP_VEC_DECLARE(builds, name, result, params) \
    SP_CPU_FOR_BUILDS(builds, SP_VEC_DECLARE_ONE, name, result, params)
SP_VEC_CPU_LIST(SP_VEC_DECLARE)
#undef SP_VEC_DECLARE
#undef SP_VEC_DECLARE_ONE
