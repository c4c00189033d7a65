// Transforms with exactly known results, the round trip, the combine passes'
// independence of the strip and the products of packed spectra.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "primitives/fft/sp_fft_gen.h"
#include "primitives/vector/entry_table_b.h"
#include "tests/primitives/fft/fft_test_util.h"
#include "tests/primitives/support/sp_buffer.h"

namespace sptest {
namespace {

std::vector<float> realForward(int order, int flag, std::vector<float> x) {
    CreatedSpec spec(FftKind::RealForward, order, flag);
    EXPECT_EQ(spec.status(), SP_STS_OK);
    EXPECT_EQ(spRealFftForward(x.data(), spec.get(), nullptr), SP_STS_OK);
    return x;
}

TEST(FftExact, Order2RealForward) {
    const std::vector<float> expected = {10, -2, -2, 2};
    EXPECT_EQ(realForward(2, 8, {1, 2, 3, 4}), expected);
    // The engine's order is served by the same path with flag 2.
    EXPECT_EQ(realForward(2, 2, {1, 2, 3, 4}), expected);
}

TEST(FftExact, ImpulseGivesUnitBins) {
    for (int order = 0; order <= 14; ++order) {
        const int N = 1 << order;
        std::vector<float> x(N, 0.0f);
        x[0] = 1.0f;
        const std::vector<float> X = realForward(order, 2, x);
        EXPECT_EQ(X[0], 1.0f) << order;
        if (N >= 2) {
            EXPECT_EQ(X[1], 1.0f) << order;
        }
        for (int k = 1; k < N / 2; ++k) {
            ASSERT_EQ(X[2 * k], 1.0f) << "order " << order << " bin " << k;
            ASSERT_EQ(X[2 * k + 1], 0.0f) << "order " << order << " bin " << k;
        }
    }
}

TEST(FftExact, ConstantGivesOnlyDc) {
    for (int order = 0; order <= 14; ++order) {
        const int N = 1 << order;
        const std::vector<float> X = realForward(order, 2, std::vector<float>(N, 1.0f));
        EXPECT_EQ(X[0], static_cast<float>(N)) << order;
        for (int i = 1; i < N; ++i) ASSERT_EQ(X[i], 0.0f) << "order " << order << " index " << i;
    }
}

TEST(FftExact, CosineAndSineAtBinOne) {
    const int N = 1024;
    std::vector<float> c(N), s(N);
    for (int t = 0; t < N; ++t) {
        c[t] = static_cast<float>(std::cos(2.0 * M_PI * t / N));
        s[t] = static_cast<float>(std::sin(2.0 * M_PI * t / N));
    }
    const std::vector<float> C = realForward(10, 2, c);
    const std::vector<float> S = realForward(10, 2, s);
    EXPECT_NEAR(C[2], 512.0f, 1e-3);
    EXPECT_NEAR(S[3], -512.0f, 1e-3);
    for (int i = 0; i < N; ++i) {
        if (i != 2) {
            EXPECT_NEAR(C[i], 0.0f, 1e-3) << i;
        }
        if (i != 3) {
            EXPECT_NEAR(S[i], 0.0f, 1e-3) << i;
        }
    }
}

TEST(FftExact, ComplexOrder2) {
    CreatedSpec spec(FftKind::Complex, 2, 8);
    ASSERT_EQ(spec.status(), SP_STS_OK);
    std::vector<float> rotating = {1, 0, 0, 1, -1, 0, 0, -1};  // 1, i, -1, -i
    std::vector<float> out(8, 9.0f);
    ASSERT_EQ(spComplexFftForward(rotating.data(), out.data(), spec.get(), nullptr), SP_STS_OK);
    EXPECT_EQ(out, (std::vector<float>{0, 0, 4, 0, 0, 0, 0, 0}));
    std::vector<float> unit = {1, 0, 0, 0, 0, 0, 0, 0};
    ASSERT_EQ(spComplexFftForward(unit.data(), unit.data(), spec.get(), nullptr), SP_STS_OK);
    EXPECT_EQ(unit, (std::vector<float>{1, 0, 1, 0, 1, 0, 1, 0}));
}

TEST(FftExact, ComplexOrder3DividedByN) {
    CreatedSpec spec(FftKind::Complex, 3, SP_FFT_DIV_FWD_BY_N);
    ASSERT_EQ(spec.status(), SP_STS_OK);
    std::vector<float> z(16, 0.0f);
    for (int i = 0; i < 8; ++i) z[2 * i] = 1.0f;  // constant 1 gives y0 = 8, divided by 8
    ASSERT_EQ(spComplexFftForward(z.data(), z.data(), spec.get(), nullptr), SP_STS_OK);
    EXPECT_EQ(z[0], 1.0f);
    for (int i = 1; i < 16; ++i) EXPECT_EQ(z[i], 0.0f) << i;
}

// Forward then inverse with the engine's flag returns the input.
TEST(FftRoundTrip, InverseByNReturnsTheInput) {
    for (int order : {0, 1, 2, 3, 4, 7, 10, 11, 12, 13, 14, 16}) {
        CreatedSpec spec(FftKind::RealForward, order, SP_FFT_DIV_INV_BY_N);
        ASSERT_EQ(spec.status(), SP_STS_OK);
        const std::vector<float> x = seededFloats(size_t{1} << order, 77u + order);
        std::vector<float> y = x;
        ASSERT_EQ(spRealFftForward(y.data(), spec.get(), nullptr), SP_STS_OK);
        ASSERT_EQ(spRealFftInverse(y.data(), spec.get(), nullptr), SP_STS_OK);
        for (size_t i = 0; i < x.size(); ++i) ASSERT_NEAR(y[i], x[i], 2e-6) << order << ": " << i;
    }
}

// The order of work within a pass changes no bit.
TEST(FftCombine, StripDoesNotChangeTheResult) {
    CreatedSpec spec(FftKind::Complex, 12, 8);  // blocked path: combine table for 4096 points
    ASSERT_EQ(spec.status(), SP_STS_OK);
    const int n = 4096;
    const std::vector<float> data = seededFloats(2 * n, 5);
    for (int L0 : {4, 64, 1024}) {
        for (auto combine : {spFftRadix2CombineFwd_Gen, spFftRadix2CombineInv_Gen}) {
            std::vector<float> reference;
            for (int strip : {4, 256, 1024}) {
                if (strip > L0) continue;
                std::vector<float> d = data;
                combine(d.data(), n, L0, spec.get()->combineTwiddles, 1, strip);
                if (reference.empty()) {
                    reference = d;
                } else {
                    EXPECT_EQ(std::memcmp(d.data(), reference.data(), d.size() * 4), 0)
                        << "L0 " << L0 << " strip " << strip;
                }
            }
        }
    }
}

// ---- Products of packed spectra -------------------------------------------------

std::vector<double> packedProductReference(const std::vector<float>& a, const std::vector<float>& b) {
    const size_t len = a.size();
    std::vector<double> d(len);
    d[0] = double(a[0]) * b[0];
    size_t first = 1;
    if (len % 2 == 0) {
        if (len >= 2) d[1] = double(a[1]) * b[1];
        first = 2;
    }
    for (size_t i = first; i + 1 < len; i += 2) {
        d[i] = double(a[i]) * b[i] - double(a[i + 1]) * b[i + 1];
        d[i + 1] = double(a[i]) * b[i + 1] + double(a[i + 1]) * b[i];
    }
    return d;
}

TEST(PackedProduct, AgainstDoubleAndInPlaceEqualsOutOfPlace) {
    for (int len : {1, 2, 3, 4, 5, 1024, 1025}) {
        const std::vector<float> a = seededFloats(len, 11);
        const std::vector<float> b = seededFloats(len, 12);
        SpBuffer<float> out(len);
        ASSERT_EQ(spMulPackedSpectraF32(a.data(), b.data(), out.data(), len), SP_STS_OK);
        EXPECT_TRUE(out.checkCanaries());
        const std::vector<double> ref = packedProductReference(a, b);
        for (int i = 0; i < len; ++i) EXPECT_NEAR(out.get(i), ref[i], 4e-7) << len << ": " << i;
        SpBuffer<float> inPlace(b, 0);
        ASSERT_EQ(spMulPackedSpectraF32InPlace_Gen(a.data(), inPlace.data(), len), SP_STS_OK);
        EXPECT_TRUE(inPlace.checkCanaries());
        EXPECT_EQ(std::memcmp(inPlace.data(), out.data(), 4 * len), 0) << len;
    }
}

TEST(PackedProduct, NullBeforeLengthAndNothingWritten) {
    float a[2] = {1, 2}, d[2] = {7, 7};
    EXPECT_EQ(spMulPackedSpectraF32(nullptr, a, d, 0), SP_STS_NULL_PTR);
    EXPECT_EQ(spMulPackedSpectraF32(a, nullptr, d, 2), SP_STS_NULL_PTR);
    EXPECT_EQ(spMulPackedSpectraF32(a, a, nullptr, 2), SP_STS_NULL_PTR);
    EXPECT_EQ(spMulPackedSpectraF32(a, a, d, 0), SP_STS_SIZE);
    EXPECT_EQ(spMulPackedSpectraF32(a, a, d, -1), SP_STS_SIZE);
    EXPECT_EQ(spMulPackedSpectraF32InPlace_Gen(nullptr, d, 0), SP_STS_NULL_PTR);
    EXPECT_EQ(spMulPackedSpectraF32InPlace_Gen(a, d, 0), SP_STS_SIZE);
    EXPECT_EQ(d[0], 7.0f);
    EXPECT_EQ(d[1], 7.0f);
}

}  // namespace
}  // namespace sptest
