// The filter family's bodies and kernels of one CPU build as a struct of
// pointers, one member per name of sp_filter_cpu.h (build 3's member of a
// shared name points at build 2's function, build 1's of a build-2-only
// name is nullptr).
#pragma once

#include <functional>

#include "primitives/filter/cpu/sp_filter_cpu.h"

namespace sptest {

struct SpFilterKernels {
#define SP_FILTER_KERNEL_MEMBER(builds, name, result, params) result(*name) params;
    SP_FILTER_CPU_LIST(SP_FILTER_KERNEL_MEMBER)
#undef SP_FILTER_KERNEL_MEMBER
};

// build 1, 2 or 3.
const SpFilterKernels& filterKernels(int build);

// Calls fn(build, kernels) for each CPU build this processor runs, with the
// build in the failure trace; prints a note for each build it lacks.
void forEachFilterBuild(const std::function<void(int, const SpFilterKernels&)>& fn);

}  // namespace sptest
