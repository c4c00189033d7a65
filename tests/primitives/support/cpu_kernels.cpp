#include "tests/primitives/support/cpu_kernels.h"

#include "tests/primitives/support/build_cells.h"

namespace sptest {

const SpCpuKernels& cpuKernels(int build) {
    static const SpCpuKernels kBuilds[3] = {
        {SP_CPU_LIST(SP_CELL_1)},
        {SP_CPU_LIST(SP_CELL_2)},
        {SP_CPU_LIST(SP_CELL_3)},
    };
    return kBuilds[build - 1];
}

void forEachCpuBuild(const std::function<void(int, const SpCpuKernels&)>& fn) { forEachKernelBuild(cpuKernels, fn); }

}  // namespace sptest
