// The data path's exact calls under its MXCSR (flush-to-zero, nearest):
// every 16-bit and every packed 24-bit sample comes back unchanged.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "primitives/convert/entry_table_a.h"
#include "tests/primitives/support/mxcsr.h"

namespace sptest {
namespace {

TEST(PcmRoundTrip, EverySixteenBitSampleSurvivesScale15ThenMinus15) {
    std::vector<int16_t> samples(65536), back(65536, 0x5555);
    for (int i = 0; i < 65536; ++i) samples[i] = (int16_t)(i - 32768);
    std::vector<float> floats(65536);
    {
        MxcsrScope dataPath(kMxcsrDataPath);
        ASSERT_EQ(spI16ToF32Scaled(samples.data(), floats.data(), 65536, 15), SP_STS_OK);
        ASSERT_EQ(spF32ToI16Scaled(floats.data(), back.data(), 65536, SP_RND_ZERO, -15), SP_STS_OK);
    }
    EXPECT_EQ(floats[0], -1.0f);
    EXPECT_EQ(std::memcmp(samples.data(), back.data(), sizeof(int16_t) * 65536), 0);
}

TEST(PcmRoundTrip, EveryPacked24BitSampleSurvivesDivideAndMinus23) {
    const int n = 1 << 24;
    std::vector<uint8_t> packed((size_t)n * 3), back((size_t)n * 3, 0x55);
    for (int v = 0; v < n; ++v) {
        packed[(size_t)v * 3] = (uint8_t)v;
        packed[(size_t)v * 3 + 1] = (uint8_t)(v >> 8);
        packed[(size_t)v * 3 + 2] = (uint8_t)(v >> 16);
    }
    std::vector<float> floats(n);
    {
        MxcsrScope dataPath(kMxcsrDataPath);
        ASSERT_EQ(spI24ToF32(packed.data(), floats.data(), n), SP_STS_OK);
        ASSERT_EQ(spDivConstF32InPlace(8388608.0f, floats.data(), n), SP_STS_OK);
        ASSERT_EQ(spF32ToI24Scaled(floats.data(), back.data(), n, -23), SP_STS_OK);
    }
    EXPECT_EQ(floats[0x800000], -1.0f);
    EXPECT_EQ(floats[0x7FFFFF], 8388607.0f / 8388608.0f);
    EXPECT_EQ(std::memcmp(packed.data(), back.data(), packed.size()), 0);
}

}  // namespace
}  // namespace sptest
