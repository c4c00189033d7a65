// Complex pair products of build 1 and the product of packed spectra built
// on them: the scalar formula's bits at every count, offset and aliasing.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

#include "primitives/fft/sp_fft_cpu.h"
#include "primitives/fft/sp_fft_gen.h"
#include "tests/primitives/support/dispatch.h"
#include "tests/primitives/support/ulp.h"

namespace {

bool haveBuild1() {
    if (sptest::cpuHasBuild(1)) return true;
    std::printf("[ note     ] %s: not supported by this CPU, skipped\n", sptest::buildName(1));
    return false;
}

std::vector<float> seeded(uint32_t seed, size_t n) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> dist(-4.0f, 4.0f);
    std::vector<float> v(n);
    for (float& x : v) x = dist(rng);
    return v;
}

// The product each pair must give, bit for bit.
void scalarProducts(const float* a, const float* b, float* d, unsigned count) {
    for (unsigned i = 0; i < count; ++i) {
        const float re = a[2 * i] * b[2 * i] - a[2 * i + 1] * b[2 * i + 1];
        const float im = a[2 * i + 1] * b[2 * i] + a[2 * i] * b[2 * i + 1];
        d[2 * i] = re;
        d[2 * i + 1] = im;
    }
}

enum class Alias { None, Src1, Src2 };

TEST(PairProducts, ScalarBitsAtEveryCountOffsetAndAlias) {
    if (!haveBuild1()) return;
    constexpr float kCanary = -999.0f;
    for (unsigned count : {0u, 1u, 2u, 3u, 4u, 5u, 6u, 7u, 8u, 9u, 1000u}) {
        const size_t floats = 2 * size_t{count};
        const std::vector<float> a = seeded(count * 3 + 1, floats);
        const std::vector<float> b = seeded(count * 3 + 2, floats);
        std::vector<float> want(floats);
        scalarProducts(a.data(), b.data(), want.data(), count);
        for (size_t oa : {0, 1, 2, 3}) {
            for (size_t ob : {0, 1, 2, 3}) {
                for (size_t od : {0, 1, 2, 3}) {
                    for (Alias alias : {Alias::None, Alias::Src1, Alias::Src2}) {
                        std::vector<float> A(floats + 8, kCanary), B(floats + 8, kCanary),
                            D(floats + 8, kCanary);
                        std::copy(a.begin(), a.end(), A.begin() + oa);
                        std::copy(b.begin(), b.end(), B.begin() + ob);
                        float* dst = alias == Alias::Src1   ? A.data() + oa
                                     : alias == Alias::Src2 ? B.data() + ob
                                                            : D.data() + od;
                        spMulComplexPairsF32_Sse3(A.data() + oa, B.data() + ob, dst, count);
                        for (size_t i = 0; i < floats; ++i) {
                            ASSERT_EQ(sptest::floatBits(dst[i]), sptest::floatBits(want[i]))
                                << "count " << count << " offsets " << oa << ob << od
                                << " alias " << static_cast<int>(alias) << " float " << i;
                        }
                        const std::vector<float>& out =
                            alias == Alias::Src1 ? A : alias == Alias::Src2 ? B : D;
                        const size_t at = dst - out.data();
                        for (size_t i = 0; i < at; ++i) ASSERT_EQ(out[i], kCanary);
                        for (size_t i = at + floats; i < out.size(); ++i) {
                            ASSERT_EQ(out[i], kCanary);
                        }
                    }
                }
            }
        }
    }
}

TEST(PairProducts, InPlaceFormAndAKnownProductAnywhere) {
    if (!haveBuild1()) return;
    for (unsigned count : {1u, 5u, 9u}) {
        for (unsigned at = 0; at < count; ++at) {
            std::vector<float> src(2 * count, 1.0f), srcDst(2 * count, 1.0f);
            src[2 * at] = 1.0f;
            src[2 * at + 1] = 2.0f;
            srcDst[2 * at] = 3.0f;
            srcDst[2 * at + 1] = 4.0f;
            spMulComplexPairsF32InPlace_Sse3(src.data(), srcDst.data(), count);
            EXPECT_EQ(srcDst[2 * at], -5.0f) << count << " " << at;
            EXPECT_EQ(srcDst[2 * at + 1], 10.0f) << count << " " << at;
        }
    }
    const std::vector<float> a = seeded(7, 202), b = seeded(8, 202);
    std::vector<float> want(202), got(b);
    scalarProducts(a.data(), b.data(), want.data(), 101);
    spMulComplexPairsF32InPlace_Sse3(a.data(), got.data(), 101);
    for (size_t i = 0; i < want.size(); ++i) {
        ASSERT_EQ(sptest::floatBits(got[i]), sptest::floatBits(want[i])) << i;
    }
}

TEST(PackedProduct, GenericBitsAlsoWhenDstIsASource) {
    if (!haveBuild1()) return;
    for (int len : {1, 2, 3, 4, 1023, 1024}) {
        const std::vector<float> a = seeded(len, len), b = seeded(len + 1000, len);
        std::vector<float> want(len);
        ASSERT_EQ(spMulPackedSpectraF32_Gen(a.data(), b.data(), want.data(), len), SP_STS_OK);
        for (Alias alias : {Alias::None, Alias::Src1, Alias::Src2}) {
            std::vector<float> A(a), B(b), D(len + 1, -3.0f);
            float* dst = alias == Alias::Src1   ? A.data()
                         : alias == Alias::Src2 ? B.data()
                                                : D.data();
            ASSERT_EQ(spMulPackedSpectraF32_Sse3(A.data(), B.data(), dst, len), SP_STS_OK);
            for (int i = 0; i < len; ++i) {
                ASSERT_EQ(sptest::floatBits(dst[i]), sptest::floatBits(want[i]))
                    << "len " << len << " alias " << static_cast<int>(alias) << " at " << i;
            }
            EXPECT_EQ(D[len], -3.0f);
        }
    }
}

TEST(PackedProduct, StatusesWriteNothing) {
    if (!haveBuild1()) return;
    std::vector<float> a(4, 1.0f), d(4, -3.0f);
    EXPECT_EQ(spMulPackedSpectraF32_Sse3(nullptr, a.data(), d.data(), 4), SP_STS_NULL_PTR);
    EXPECT_EQ(spMulPackedSpectraF32_Sse3(a.data(), nullptr, d.data(), 4), SP_STS_NULL_PTR);
    EXPECT_EQ(spMulPackedSpectraF32_Sse3(a.data(), a.data(), nullptr, 4), SP_STS_NULL_PTR);
    EXPECT_EQ(spMulPackedSpectraF32_Sse3(nullptr, a.data(), d.data(), 0), SP_STS_NULL_PTR);
    EXPECT_EQ(spMulPackedSpectraF32_Sse3(a.data(), a.data(), d.data(), 0), SP_STS_SIZE);
    EXPECT_EQ(spMulPackedSpectraF32_Sse3(a.data(), a.data(), d.data(), -5), SP_STS_SIZE);
    for (float x : d) EXPECT_EQ(x, -3.0f);
}

}  // namespace
