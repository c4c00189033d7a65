// The combinations of orders kQuickFullOrder+1 to 20 that the quick run
// (fft_accuracy_test.cpp) leaves out, against FFTW double. Label "long".
#include <gtest/gtest.h>

#include "tests/primitives/fft/fft_test_util.h"
#include "tests/primitives/support/fftw_ref.h"

namespace sptest {
namespace {

class FftAccuracyLarge : public ::testing::TestWithParam<AccuracyCase> {};

TEST_P(FftAccuracyLarge, MatchesFftwDouble) {
    SP_REQUIRE_FFTW();
    checkAccuracy(GetParam());
}

INSTANTIATE_TEST_SUITE_P(OrdersAboveQuick, FftAccuracyLarge, ::testing::ValuesIn(accuracyCasesUpTo20(false)),
                         [](const auto& info) { return accuracyCaseName(info.param); });

}  // namespace
}  // namespace sptest
