#include "tests/primitives/vector/builds/vec_kernels.h"

#include "tests/primitives/support/build_cells.h"

namespace sptest {

const SpVecKernels& vecKernels(int build) {
    static const SpVecKernels kBuilds[3] = {
        {SP_VEC_CPU_LIST(SP_CELL_1)},
        {SP_VEC_CPU_LIST(SP_CELL_2)},
        {SP_VEC_CPU_LIST(SP_CELL_3)},
    };
    return kBuilds[build - 1];
}

void forEachVecBuild(const std::function<void(int, const SpVecKernels&)>& fn) { forEachKernelBuild(vecKernels, fn); }

}  // namespace sptest
