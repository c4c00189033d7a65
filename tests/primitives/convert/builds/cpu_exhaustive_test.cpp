// Every packed 24-bit sample through the data path's 24-bit conversions at
// each CPU build: to float, divided by full scale, and back (ctest label
// "exhaustive").
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "primitives/convert/entry_table_a.h"
#include "primitives/convert/sp_cpu.h"
#include "tests/primitives/support/dispatch.h"
#include "tests/primitives/support/mxcsr.h"

namespace sptest {
namespace {

TEST(DataPathExhaustive, EveryPacked24SampleRoundTripsAtEveryBuild) {
    const int n = 1 << 24;
    std::vector<uint8_t> pcm(3 * (size_t)n);
    for (int v = 0; v < n; ++v) {
        pcm[3 * (size_t)v] = (uint8_t)v;
        pcm[3 * (size_t)v + 1] = (uint8_t)(v >> 8);
        pcm[3 * (size_t)v + 2] = (uint8_t)(v >> 16);
    }
    std::vector<float> gen(n);
    {
        MxcsrScope scope(kMxcsrDataPath);
        ASSERT_EQ(spI24ToF32(pcm.data(), gen.data(), n), SP_STS_OK);
        ASSERT_EQ(spDivConstF32InPlace(8388608.0f, gen.data(), n), SP_STS_OK);
    }
    for (int b = 1; b < SP_BUILD_COUNT; ++b) {
        if (!cpuHasBuild(b)) continue;
        SCOPED_TRACE(buildName(b));
        ScopedDispatchIndex index(b);
        MxcsrScope scope(kMxcsrDataPath);
        std::vector<float> f(n);
        std::vector<uint8_t> back(3 * (size_t)n);
        ASSERT_EQ(spI24ToF32(pcm.data(), f.data(), n), SP_STS_OK);
        ASSERT_EQ(spDivConstF32InPlace(8388608.0f, f.data(), n), SP_STS_OK);
        ASSERT_EQ(spF32ToI24Scaled(f.data(), back.data(), n, -23), SP_STS_OK);
        EXPECT_EQ(std::memcmp(f.data(), gen.data(), 4 * (size_t)n), 0);
        EXPECT_EQ(back, pcm);
    }
}

}  // namespace
}  // namespace sptest
