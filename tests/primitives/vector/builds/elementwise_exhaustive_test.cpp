// Scaled integer squares of builds 1-3 over every int16 and uint16 input
// (and every uint8) at scale factors -20..20 against exact integer
// arithmetic.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "tests/primitives/vector/builds/vec_kernels.h"

namespace sptest {
namespace {

// v * 2^-sf rounded to nearest with ties to even, saturated to [lo, hi].
int64_t exactScaled(__int128 v, int sf, int64_t lo, int64_t hi) {
    __int128 r = v;
    if (sf <= 0) {
        for (int k = 0; k < -sf && r != 0 && r < ((__int128)1 << 80) && r > -((__int128)1 << 80); ++k) r *= 2;
    } else {
        __int128 unit = (__int128)1 << sf, q = v / unit, rem = v % unit;
        if (rem < 0) rem += unit, q -= 1;
        if (2 * rem > unit || (2 * rem == unit && (q & 1) != 0)) q += 1;
        r = q;
    }
    return r < lo ? lo : (r > hi ? hi : (int64_t)r);
}

template <typename T, typename Kernel>
void sweep(Kernel kernel, int64_t lo, int64_t hi, int64_t first, int64_t last) {
    std::vector<T> src, dst((size_t)(last - first + 1));
    for (int64_t x = first; x <= last; ++x) src.push_back((T)x);
    for (int sf = -20; sf <= 20; ++sf) {
        kernel(src.data(), dst.data(), (int)src.size(), sf);
        for (size_t i = 0; i < src.size(); ++i) {
            int64_t want = exactScaled((__int128)src[i] * src[i], sf, lo, hi);
            ASSERT_EQ((int64_t)dst[i], want) << src[i] << "^2 sf " << sf;
        }
    }
}

TEST(VecSquareScaledExhaustive, EveryInputAndScaleFactor) {
    forEachVecBuild([&](int, const SpVecKernels& k) {
        sweep<int16_t>(k.spSquareI16ScaledKernel, -32768, 32767, -32768, 32767);
        sweep<uint16_t>(k.spSquareU16ScaledKernel, 0, 65535, 0, 65535);
        sweep<uint8_t>(k.spSquareU8ScaledKernel, 0, 255, 0, 255);
    });
}

// Complex int16: every real part against a spread of imaginary parts.
TEST(VecSquareScaledExhaustive, ComplexEveryRealPart) {
    forEachVecBuild([&](int, const SpVecKernels& k) {
        std::vector<SpComplexI16> src, dst(65536);
        for (int im : {-32768, -32767, -181, -1, 0, 1, 2, 181, 1000, 32767}) {
            src.clear();
            for (int re = -32768; re <= 32767; ++re) src.push_back({(int16_t)re, (int16_t)im});
            for (int sf = -20; sf <= 20; ++sf) {
                k.spSquareComplexI16ScaledKernel(src.data(), dst.data(), 65536, sf);
                for (size_t i = 0; i < src.size(); ++i) {
                    __int128 re = src[i].re, imv = src[i].im;
                    ASSERT_EQ(dst[i].re, exactScaled(re * re - imv * imv, sf, -32768, 32767)) << i << " sf " << sf;
                    ASSERT_EQ(dst[i].im, exactScaled(2 * re * imv, sf, -32768, 32767)) << i << " sf " << sf;
                }
            }
        }
    });
}

}  // namespace
}  // namespace sptest
