// A 32-bit fill of 2^30 + 3 words (4 GiB) at each CPU build: the element
// count, not a 32-bit byte count, sizes the fill (ctest label "opt-in").
#include <gtest/gtest.h>

#include <sys/mman.h>

#include <cstring>

#include "primitives/convert/sp_cpu.h"
#include "tests/primitives/support/cpu_kernels.h"
#include "tests/primitives/support/dispatch.h"

namespace sptest {
namespace {

TEST(LargeFill, SetI32FillsEveryWordBeyondFourGiB) {
    const size_t words = ((size_t)1 << 30) + 3, bytes = words * 4 + 16;
    void* map = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (map == MAP_FAILED) GTEST_SKIP() << "cannot map 4 GiB here";
    uint32_t* w = (uint32_t*)map;
    for (int b = 1; b < SP_BUILD_COUNT; ++b) {
        if (!cpuHasBuild(b)) continue;
        SCOPED_TRACE(buildName(b));
        w[words] = 0xCAFEF00Du;
        ASSERT_EQ(cpuKernels(b).spSetI32(0x01020304 + b, (int32_t*)w, (int)words), SP_STS_OK);
        for (size_t i : {(size_t)0, (size_t)1 << 29, ((size_t)1 << 30) - 1, (size_t)1 << 30, words - 1})
            EXPECT_EQ(w[i], (uint32_t)(0x01020304 + b)) << i;
        EXPECT_EQ(w[words], 0xCAFEF00Du);
    }
    munmap(map, bytes);
}

}  // namespace
}  // namespace sptest
