// The one-sample FIR step of the CPU builds: single-precision sums (one sum
// in tap order up to 16 taps, four partial sums above) against the numpy
// cases within the rounding bound, the delay line bit for bit as the generic
// build keeps it, identical bits across builds, and the complex kernel.
//
// Bound: per output |y_cpu - y| <= gamma(m + 1) * sum |terms|, where m is the
// number of terms the layout adds (L products) and
// gamma(k) = k 2^-24 / (1 - k 2^-24); y is the exact sum of the float
// products (float64 here, exact for these magnitudes up to 2^-53 relative).
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "primitives/convert/entry_table_a.h"
#include "primitives/filter/sp_filter_gen.h"
#include "tests/primitives/filter/cpu/filter_kernels.h"
#include "tests/primitives/support/dispatch.h"
#include "tests/primitives/support/scipy_ref.h"
#include "tests/primitives/support/ulp.h"

namespace sptest {
namespace {

double gamma(int k) {
    const double u = std::ldexp(1.0, -24);
    return k * u / (1.0 - k * u);
}

struct Line {
    std::vector<float> dly;
    int idx = 0;
    explicit Line(int L) : dly(2 * static_cast<size_t>(L), 0.0f) {}
};

TEST(FirOneCpu, SumsInSinglePrecision) {
    forEachBuild(spEntryTableA.spFirOneDirectF32, [](int build) {
        if (build == SP_BUILD_GEN) return;
        const float taps[3] = {1, 1, 1};
        Line line(3);
        float out = -1.0f;
        for (float x : {1e8f, 1.0f, -1e8f}) ASSERT_EQ(spFirOneDirectF32(x, &out, taps, 3, line.dly.data(), &line.idx), 0);
        EXPECT_EQ(floatBits(out), floatBits(0.0f));
    });
}

// Up to 16 taps the output is the single sum in tap order, bit for bit; from
// 17 on, four partial sums within the bound. The delay line and index equal
// the generic build's after every step, and all builds give the same bits.
TEST(FirOneCpu, SixteenTapsSumInOrderSeventeenInPartialSums) {
    std::mt19937 rng(16);
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    for (int L : {1, 2, 3, 5, 8, 15, 16, 17, 18, 19, 20, 23, 24, 25, 31, 33, 48, 64}) {
        std::vector<float> taps(L), xs(3 * L + 7);
        for (float& t : taps) t = dist(rng);
        for (float& x : xs) x = dist(rng);
        std::vector<std::vector<float>> outs;
        forEachFilterBuild([&](int, const SpFilterKernels& k) {
            Line line(L), gen(L);
            std::vector<float> out;
            for (size_t n = 0; n < xs.size(); ++n) {
                float y = 0.0f, g = 0.0f;
                ASSERT_EQ(k.spFirOneDirectF32(xs[n], &y, taps.data(), L, line.dly.data(), &line.idx), SP_STS_OK);
                ASSERT_EQ(spFirOneDirectF32_Gen(xs[n], &g, taps.data(), L, gen.dly.data(), &gen.idx), SP_STS_OK);
                ASSERT_EQ(line.idx, gen.idx);
                ASSERT_EQ(line.dly, gen.dly);
                const float* w = line.dly.data() + line.idx;
                float inOrder = 0.0f;
                double exact = 0.0, magnitude = 0.0;
                for (int i = 0; i < L; ++i) {
                    const float p = taps[L - 1 - i] * w[i];
                    inOrder += p;
                    exact += static_cast<double>(taps[L - 1 - i]) * w[i];
                    magnitude += std::fabs(static_cast<double>(taps[L - 1 - i]) * w[i]);
                }
                if (L <= 16) {
                    ASSERT_EQ(floatBits(y), floatBits(inOrder)) << "L " << L << " step " << n;
                } else {
                    ASSERT_LE(std::fabs(y - exact), gamma(L + 1) * magnitude) << "L " << L << " step " << n;
                }
                out.push_back(y);
            }
            outs.push_back(out);
        });
        for (size_t b = 1; b < outs.size(); ++b) EXPECT_EQ(outs[b], outs[0]) << "L " << L;
    }
}

// The converters' use: a polyphase row per output, against numpy's exact
// (float64) sums.
TEST(FirOneCpu, MatchesNumpyWithinBound) {
    SP_REQUIRE_SCIPY("fir_one_cases.py");
    RefArrays ref = readRefArrays("fir_one_cases.bin");
    forEachBuild(spEntryTableA.spFirOneDirectF32, [&](int build) {
        if (build == SP_BUILD_GEN) return;
        for (int L : {1, 3, 20, 24, 48}) {
            const std::string n = std::to_string(L);
            const std::vector<double>& table = ref["table" + n];
            const std::vector<double>& x = ref["x" + n];
            const std::vector<double>& rows = ref["rows" + n];
            const std::vector<double>& y = ref["y" + n];
            ASSERT_FALSE(x.empty());
            Line line(L);
            std::vector<float> history(L - 1, 0.0f);
            for (size_t step = 0; step < x.size(); ++step) {
                std::vector<float> taps(L);
                for (int k = 0; k < L; ++k) taps[k] = static_cast<float>(table[static_cast<size_t>(rows[step]) * L + k]);
                float out = 0.0f;
                ASSERT_EQ(spFirOneDirectF32(static_cast<float>(x[step]), &out, taps.data(), L, line.dly.data(), &line.idx),
                          SP_STS_OK);
                history.push_back(static_cast<float>(x[step]));
                double magnitude = 0.0;
                for (int i = 0; i < L; ++i)
                    magnitude += std::fabs(static_cast<double>(taps[L - 1 - i]) * history[history.size() - L + i]);
                // numpy's y is the exact sum rounded once: half an ulp more.
                const double bound = gamma(L + 1) * magnitude + std::fabs(y[step]) * std::ldexp(1.0, -24);
                ASSERT_LE(std::fabs(out - y[step]), bound) << "L " << L << " step " << step;
            }
        }
    });
}

TEST(FirOneCpu, ComplexKernelMatchesNumpy) {
    SP_REQUIRE_SCIPY("fir_one_cases.py");
    RefArrays ref = readRefArrays("fir_one_cases.bin");
    forEachFilterBuild([&](int, const SpFilterKernels& k) {
        for (int L : {1, 2, 3, 4, 5, 17}) {
            const std::string n = std::to_string(L);
            const std::vector<double>& t = ref["ctaps" + n];
            const std::vector<double>& x = ref["cx" + n];
            const std::vector<double>& y = ref["cy" + n];
            ASSERT_EQ(t.size(), 2u * L);
            std::vector<float> taps(t.begin(), t.end());
            std::vector<float> dly(4 * static_cast<size_t>(L), 0.0f);
            int idx = 0;
            double tapMag = 0.0;
            for (int i = 0; i < L; ++i) tapMag += std::hypot(t[2 * i], t[2 * i + 1]);
            for (size_t s = 0; s < x.size() / 2; ++s) {
                const float in[2] = {static_cast<float>(x[2 * s]), static_cast<float>(x[2 * s + 1])};
                float out[2] = {0, 0};
                k.spFirOneDirectComplexKernel(in, out, taps.data(), L, dly.data(), &idx);
                ASSERT_EQ(idx, static_cast<int>((s + 1) % L));
                // Four real sums of L terms each, combined once: gamma(L + 2)
                // of the magnitudes (|x| <= sqrt 2, the products' parts).
                const double bound = gamma(L + 2) * 2.0 * std::sqrt(2.0) * tapMag;
                EXPECT_LE(std::fabs(out[0] - y[2 * s]), bound) << "L " << L << " step " << s;
                EXPECT_LE(std::fabs(out[1] - y[2 * s + 1]), bound) << "L " << L << " step " << s;
            }
        }
    });
}

}  // namespace
}  // namespace sptest
