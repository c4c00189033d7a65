// Shared pieces of the per-build kernel tables the CPU-build tests keep: the
// X-macro cells that pick a name's function for build 1, 2 or 3 from its
// list's builds column (ALL: each build its own; B12: build 3 runs build 2's;
// B2: only builds 2 and 3), and the loop over the builds this processor runs.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>

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

// Calls fn(build, table(build)) for each CPU build this processor runs, with
// the build in the failure trace; prints a note for each build it lacks.
template <typename Kernels>
void forEachKernelBuild(const Kernels& (*table)(int), const std::function<void(int, const Kernels&)>& fn) {
    for (int b = 1; b < SP_BUILD_COUNT; ++b) {
        if (!cpuHasBuild(b)) {
            std::printf("[ note     ] %s: not supported by this CPU, skipped\n", buildName(b));
            continue;
        }
        SCOPED_TRACE(buildName(b));
        fn(b, table(b));
    }
}

}  // namespace sptest
