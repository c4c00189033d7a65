// Transforms of 2^25 and 2^26 points at each CPU build, where the large
// drivers recurse (build 1 from complex 2^25, builds 2 and 3 from 2^26):
// complex forward through the public entry and inverse through the build's
// driver, real forward and inverse through the public in-place entries, all
// against FFTW double within max(1.5e-7 log2 N, 4 x fftwf's error).
// Opt-in (ctest -L opt-in): up to about 6 GB of memory and several minutes per
// case (most of it first touches of fresh memory and the FFTW references).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "primitives/fft_simd/sp_fft_simd.h"
#include "primitives/vector/entry_table_b.h"
#include "tests/primitives/fft/fft_test_util.h"
#include "tests/primitives/support/dispatch.h"
#include "tests/primitives/support/fftw_ref.h"

namespace {

using InverseDriver = void (*)(const SpFftSpec*, const float*, float*, int, uint8_t*);
const InverseDriver kInverseDrivers[] = {nullptr, spFftInvLarge_Sse3, spFftInvLarge_Ssse3, spFftInvLarge_Sse41};

struct HugeCase {
    int build;
    int log2n;
};

std::string caseName(const ::testing::TestParamInfo<HugeCase>& info) {
    return "Build" + std::to_string(info.param.build) + "_Log2n" + std::to_string(info.param.log2n);
}

std::vector<double> scaled(std::vector<double> v, float scale) {
    for (double& x : v) x *= static_cast<double>(scale);
    return v;
}

std::vector<float> scaledF(std::vector<float> v, float scale) {
    for (float& x : v) x *= scale;
    return v;
}

template <typename T>
std::vector<T> conjugated(std::vector<T> v) {
    for (size_t i = 1; i < v.size(); i += 2) v[i] = -v[i];
    return v;
}

// Our result against the double reference, bounded by fftwf's error on the
// same input.
void expectWithinBound(const std::vector<float>& ours, const std::vector<double>& ref,
                       const std::vector<float>& fftwf, int log2n, const char* what) {
    const double peer = sptest::relativeRmsError(fftwf, ref);
    const double bound = std::max(1.5e-7 * log2n, 4.0 * peer);
    EXPECT_LE(sptest::relativeRmsError(ours, ref), bound) << what << " (fftwf " << peer << ")";
}

class HugeFft : public ::testing::TestWithParam<HugeCase> {
protected:
    void SetUp() override {
        SP_REQUIRE_FFTW();
        if (!sptest::cpuHasBuild(GetParam().build)) GTEST_SKIP() << "build not supported by this CPU";
    }
};

TEST_P(HugeFft, ComplexForwardAndInverse) {
    const HugeCase c = GetParam();
    const sptest::ScopedDispatchIndex index(c.build);
    const sptest::CreatedSpec spec(sptest::FftKind::Complex, c.log2n, SP_FFT_DIV_BY_SQRTN);
    ASSERT_EQ(spec.status(), SP_STS_OK);
    const float scale = spec.get()->scale;
    const std::vector<float> x = sptest::seededFloats(size_t{2} << c.log2n, 2500u + c.log2n);
    std::vector<uint8_t> work(static_cast<size_t>(spec.get()->workSize) + 32);
    uint8_t* aligned = reinterpret_cast<uint8_t*>((reinterpret_cast<uintptr_t>(work.data()) + 31) & ~uintptr_t{31});

    std::vector<float> out(x.size());
    ASSERT_EQ(spComplexFftForward(x.data(), out.data(), spec.get(), work.data()), SP_STS_OK);
    expectWithinBound(out, scaled(sptest::fftwComplexForward(sptest::toDouble(x)), scale),
                      scaledF(sptest::fftwfComplexForward(x), scale), c.log2n, "forward");
    out = {};

    // The inverse is the conjugate of the forward transform of the conjugate.
    std::vector<float> back(x);
    kInverseDrivers[c.build](spec.get(), back.data(), back.data(), c.log2n, aligned);
    const std::vector<float> xc = conjugated(x);
    expectWithinBound(back, conjugated(scaled(sptest::fftwComplexForward(sptest::toDouble(xc)), scale)),
                      conjugated(scaledF(sptest::fftwfComplexForward(xc), scale)), c.log2n, "inverse");
}

TEST_P(HugeFft, RealForwardAndInverse) {
    const HugeCase c = GetParam();
    const sptest::ScopedDispatchIndex index(c.build);
    const sptest::CreatedSpec spec(sptest::FftKind::RealForward, c.log2n, SP_FFT_DIV_BY_SQRTN);
    ASSERT_EQ(spec.status(), SP_STS_OK);
    const float scale = spec.get()->scale;
    const std::vector<float> x = sptest::seededFloats(size_t{1} << c.log2n, 2600u + c.log2n);

    std::vector<float> X(x);
    ASSERT_EQ(spRealFftForward(X.data(), spec.get(), nullptr), SP_STS_OK);
    expectWithinBound(X, scaled(sptest::fftwRealForward(sptest::toDouble(x)), scale),
                      scaledF(sptest::fftwfRealForward(x), scale), c.log2n, "forward");

    std::vector<float> back(X);
    ASSERT_EQ(spRealFftInverse(back.data(), spec.get(), nullptr), SP_STS_OK);
    expectWithinBound(back, scaled(sptest::fftwRealInverse(sptest::toDouble(X)), scale),
                      scaledF(sptest::fftwfRealInverse(X), scale), c.log2n, "inverse");
}

INSTANTIATE_TEST_SUITE_P(Log2n25And26, HugeFft,
                         ::testing::Values(HugeCase{1, 25}, HugeCase{1, 26}, HugeCase{2, 25}, HugeCase{2, 26},
                                           HugeCase{3, 25}, HugeCase{3, 26}),
                         caseName);

}  // namespace
