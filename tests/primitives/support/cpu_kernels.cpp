#include "tests/primitives/support/cpu_kernels.h"

#define SP_PICK_ALL_1(name) name##_Sse3
#define SP_PICK_ALL_2(name) name##_Ssse3
#define SP_PICK_ALL_3(name) name##_Sse41
#define SP_PICK_B12_1(name) name##_Sse3
#define SP_PICK_B12_2(name) name##_Ssse3
#define SP_PICK_B12_3(name) name##_Ssse3
#define SP_PICK_B2_1(name) nullptr
#define SP_PICK_B2_2(name) name##_Ssse3
#define SP_PICK_B2_3(name) name##_Ssse3
#define SP_CELL_1(builds, name, result, params) SP_PICK_##builds##_1(name),
#define SP_CELL_2(builds, name, result, params) SP_PICK_##builds##_2(name),
#define SP_CELL_3(builds, name, result, params) SP_PICK_##builds##_3(name),

namespace sptest {

const SpCpuKernels& cpuKernels(int build) {
    static const SpCpuKernels kBuilds[3] = {
        {SP_CPU_LIST(SP_CELL_1)},
        {SP_CPU_LIST(SP_CELL_2)},
        {SP_CPU_LIST(SP_CELL_3)},
    };
    return kBuilds[build - 1];
}

}  // namespace sptest
