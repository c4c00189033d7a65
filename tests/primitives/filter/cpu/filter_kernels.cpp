#include "tests/primitives/filter/cpu/filter_kernels.h"

#include "tests/primitives/support/build_cells.h"

namespace sptest {

const SpFilterKernels& filterKernels(int build) {
    static const SpFilterKernels kBuilds[3] = {
        {SP_FILTER_CPU_LIST(SP_CELL_1)},
        {SP_FILTER_CPU_LIST(SP_CELL_2)},
        {SP_FILTER_CPU_LIST(SP_CELL_3)},
    };
    return kBuilds[build - 1];
}

void forEachFilterBuild(const std::function<void(int, const SpFilterKernels&)>& fn) { forEachKernelBuild(filterKernels, fn); }

}  // namespace sptest
