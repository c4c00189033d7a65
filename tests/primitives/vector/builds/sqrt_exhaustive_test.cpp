// Full sweeps of the 16-bit integer square roots (exhaustive label): every
// int16 and uint16 input at every scale factor -20..20 against the exact
// integer reference, with the negative flag.
#include <gtest/gtest.h>

#include <vector>

#include "tests/primitives/vector/builds/sqrt_reference.h"
#include "tests/primitives/vector/builds/vec_kernels.h"

namespace sptest {
namespace {

TEST(VecSqrtIntFull, EverySixteenBitInputAtEveryScaleFactor) {
    std::vector<int16_t> i16(65536);
    std::vector<uint16_t> u16(65536);
    for (int v = 0; v < 65536; ++v) {
        i16[(size_t)v] = (int16_t)(v - 32768);
        u16[(size_t)v] = (uint16_t)v;
    }
    forEachVecBuild([&](int, const SpVecKernels& k) {
        std::vector<int16_t> oi(65536);
        std::vector<uint16_t> ou(65536);
        for (int sf = -20; sf <= 20; ++sf) {
            EXPECT_NE(k.spSqrtI16ScaledKernel(i16.data(), oi.data(), 65536, sf), 0);
            EXPECT_EQ(k.spSqrtI16ScaledKernel(i16.data() + 32768, oi.data() + 32768, 32768, sf), 0);
            k.spSqrtU16ScaledKernel(u16.data(), ou.data(), 65536, sf);
            for (size_t i = 0; i < 65536; ++i) {
                ASSERT_EQ(oi[i], (int16_t)referenceRoot(i16[i], sf, 32767)) << i16[i] << " sf " << sf;
                ASSERT_EQ(ou[i], (uint16_t)referenceRoot(u16[i], sf, 65535)) << u16[i] << " sf " << sf;
            }
        }
    });
}

}  // namespace
}  // namespace sptest
