// The bodies and kernels of one CPU build as a struct of pointers, one
// member per name of sp_cpu_list.h. Build 3's member of a build-2-only or
// shared name points at build 2's function; build 1 has no spI32ToF32Scaled
// (its table cell is the generic body) and holds nullptr there.
#pragma once

#include <functional>

#include "primitives/convert/sp_cpu.h"

namespace sptest {

struct SpCpuKernels {
#define SP_KERNEL_MEMBER(builds, name, result, params) result(*name) params;
    SP_CPU_LIST(SP_KERNEL_MEMBER)
#undef SP_KERNEL_MEMBER
};

// build 1, 2 or 3.
const SpCpuKernels& cpuKernels(int build);

// Calls fn(build, kernels) for each CPU build this processor runs, with the
// build in the failure trace; prints a note for each build it lacks.
void forEachCpuBuild(const std::function<void(int, const SpCpuKernels&)>& fn);

}  // namespace sptest
