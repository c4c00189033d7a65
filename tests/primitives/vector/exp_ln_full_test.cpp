// Full sweeps (label "exhaustive"): every 97th float of exp's open interval
// and every positive finite float for ln.
#include <gtest/gtest.h>

#include <cstdio>

#include "tests/primitives/vector/exp_ln_sweep.h"

namespace sptest {
namespace {

TEST(ExpFullSweep, Every97thFloatWithinTwoUlpOfGlibc) {
    SweepResult r = sweepExp(97);
    std::printf("[ measure  ] exp, every 97th float: max %.3f ulp (Pade), %.3f ulp (runtime), %llu values\n",
                r.worstPade, r.worstRuntime, (unsigned long long)r.count);
    EXPECT_LE(r.worstPade, 2.0);
    EXPECT_LE(r.worstRuntime, 1.0);
}

TEST(LnFullSweep, EveryPositiveFloatWithinOneUlpOfGlibc) {
    SweepResult r = sweepLn(1);
    std::printf("[ measure  ] ln, every positive float: max %.3f ulp, %llu values\n", r.worstRuntime,
                (unsigned long long)r.count);
    EXPECT_LE(r.worstRuntime, 1.0);
}

}  // namespace
}  // namespace sptest
