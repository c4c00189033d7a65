#include "tests/primitives/filter/cpu/filter_kernels.h"

#include <gtest/gtest.h>

#include <cstdio>

#include "tests/primitives/support/dispatch.h"

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

const SpFilterKernels& filterKernels(int build) {
    static const SpFilterKernels kBuilds[3] = {
        {SP_FILTER_CPU_LIST(SP_CELL_1)},
        {SP_FILTER_CPU_LIST(SP_CELL_2)},
        {SP_FILTER_CPU_LIST(SP_CELL_3)},
    };
    return kBuilds[build - 1];
}

void forEachFilterBuild(const std::function<void(int, const SpFilterKernels&)>& fn) {
    for (int b = 1; b < SP_BUILD_COUNT; ++b) {
        if (!cpuHasBuild(b)) {
            std::printf("[ note     ] %s: not supported by this CPU, skipped\n", buildName(b));
            continue;
        }
        SCOPED_TRACE(buildName(b));
        fn(b, filterKernels(b));
    }
}

}  // namespace sptest
