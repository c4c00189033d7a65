// The vector kernels and bodies of one CPU build as a struct of pointers,
// one member per name of sp_vec_cpu_list.h; build 3's member of a B12 name
// points at build 2's function.
#pragma once

#include <functional>

#include "primitives/vector/sp_vec_cpu.h"

namespace sptest {

struct SpVecKernels {
#define SP_VEC_KERNEL_MEMBER(builds, name, result, params) result(*name) params;
    SP_VEC_CPU_LIST(SP_VEC_KERNEL_MEMBER)
#undef SP_VEC_KERNEL_MEMBER
};

// build 1, 2 or 3.
const SpVecKernels& vecKernels(int build);

// Calls fn(build, kernels) for each CPU build this processor runs, with the
// build in the failure trace; prints a note for each build it lacks.
void forEachVecBuild(const std::function<void(int, const SpVecKernels&)>& fn);

}  // namespace sptest
