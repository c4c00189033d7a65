// Detection under an emulated CPU model: run only by tools/run_cpu_models,
// which sets SP_CPU_MODEL_EXPECT and SP_CPU_MODEL_CACHE for the model (this
// program is not registered with ctest on its own).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

#include "primitives/convert/sp_cpu.h"
#include "tests/primitives/support/dispatch.h"

namespace sptest {
namespace {

// SP_CPU_MODEL_EXPECT holds "type:index:status" of the model,
// SP_CPU_MODEL_CACHE the size the cache probe must find (0: none).
TEST(CpuModel, DetectionAndProbeMatchTheEmulatedModel) {
    const char* expect = std::getenv("SP_CPU_MODEL_EXPECT");
    ASSERT_NE(expect, nullptr) << "run through tools/run_cpu_models";
    unsigned type = 0, index = 0, status = 0;
    ASSERT_EQ(std::sscanf(expect, "%x:%u:%u", &type, &index, &status), 3) << expect;
    ScopedDispatchIndex keep(SP_BUILD_GEN);
    EXPECT_EQ((unsigned)spDetectCpu(), type);
    EXPECT_EQ((unsigned)spInitCpu(), status);
    EXPECT_EQ((unsigned)spDispatchIndex.load(), index);
    for (int b = (int)index + 1; b < SP_BUILD_COUNT; ++b) EXPECT_FALSE(cpuHasBuild(b)) << buildName(b);
    if (const char* cache = std::getenv("SP_CPU_MODEL_CACHE")) {
        EXPECT_EQ(spCacheProbe(), std::strtoull(cache, nullptr, 0));
    }
}

}  // namespace
}  // namespace sptest
