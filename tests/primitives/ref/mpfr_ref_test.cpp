// Correctly rounded MPFR references certify pow, exp (Pade path) and ln.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <random>
#include <vector>

#include "primitives/vector/entry_table_b.h"
#include "tests/primitives/support/references.h"
#include "tests/primitives/support/ulp.h"

namespace sptest {
namespace {

class MpfrReference : public ::testing::Test {
protected:
    void SetUp() override {
        if (!mpfrAvailable()) GTEST_SKIP() << "libmpfr-dev missing: MPFR references not built (run scripts/setup)";
    }
};

TEST_F(MpfrReference, PowWithinOneUlpOfTheExactValue) {
    std::mt19937 rng(99);
    std::uniform_real_distribution<float> base(0.0001f, 10000.0f), exponent(-9.0f, 9.0f);
    std::vector<float> x(4000), y(4000), out(4000);
    for (size_t i = 0; i < x.size(); ++i) x[i] = base(rng), y[i] = exponent(rng);
    for (size_t i = 0; i < 200; ++i) x[i] = 10.0f, y[i] = (float)((int)i * 256 - 25600) / 1310720.0f * 256.0f;
    ASSERT_EQ(spPowF32(x.data(), y.data(), out.data(), (int)x.size()), SP_STS_OK);
    double worst = 0;
    int exactlyRounded = 0;
    for (size_t i = 0; i < x.size(); ++i) {
        worst = std::max(worst, ulpError(out[i], mpfrPow(x[i], y[i])));
        exactlyRounded += floatBits(out[i]) == floatBits(mpfrPowF(x[i], y[i]));
    }
    std::printf("[ measure  ] pow vs MPFR: max %.3f ulp, %d of %zu exactly rounded\n", worst, exactlyRounded, x.size());
    EXPECT_LT(worst, 1.0);
}

TEST_F(MpfrReference, ExpPadeAndLnAgainstTheExactValue) {
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> arg(-87.0f, 88.5f), pos(1e-30f, 1e30f);
    std::vector<float> e(4096), l(4096);
    for (size_t i = 0; i < e.size(); ++i) e[i] = arg(rng), l[i] = pos(rng) * (i % 2 ? 1e-8f : 1.0f);
    std::vector<float> eOut = e, lOut = l;
    spExpF32InPlace(eOut.data(), (int)eOut.size());  // 4096 normal elements: all Pade
    spLnF32InPlace(lOut.data(), (int)lOut.size());
    double worstExp = 0, worstLn = 0;
    for (size_t i = 0; i < e.size(); ++i) {
        worstExp = std::max(worstExp, ulpError(eOut[i], mpfrExp(e[i])));
        worstLn = std::max(worstLn, ulpError(lOut[i], mpfrLog(l[i])));
    }
    std::printf("[ measure  ] vs MPFR: exp (Pade) max %.3f ulp, ln max %.3f ulp\n", worstExp, worstLn);
    EXPECT_LE(worstExp, 2.0);
    EXPECT_LE(worstLn, 1.0);
}

}  // namespace
}  // namespace sptest
