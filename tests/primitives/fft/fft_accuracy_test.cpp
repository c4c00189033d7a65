// Accuracy of every transform against FFTW double, orders 0 to 20: real
// forward (random samples), real inverse (any packed spectrum, as c2r reads
// it) and complex forward, under each flag, in and out of place, with and
// without a caller work buffer.
#include <gtest/gtest.h>

#include "tests/primitives/fft/fft_test_util.h"
#include "tests/primitives/support/fftw_ref.h"

namespace sptest {
namespace {

class FftAccuracy : public ::testing::TestWithParam<AccuracyCase> {};

TEST_P(FftAccuracy, MatchesFftwDouble) {
    SP_REQUIRE_FFTW();
    checkAccuracy(GetParam());
}

INSTANTIATE_TEST_SUITE_P(Orders0To20, FftAccuracy, ::testing::ValuesIn(accuracyCases(0, 20)),
                         [](const auto& info) { return accuracyCaseName(info.param); });

}  // namespace
}  // namespace sptest
