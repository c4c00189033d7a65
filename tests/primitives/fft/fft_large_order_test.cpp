// Orders 21 to 24 against FFTW double: L 21/22 split once and finish with a
// blocked inner transform, L >= 23 split twice. Opt-in (ctest -L opt-in):
// each case transforms up to 2^24 points.
#include <gtest/gtest.h>

#include "tests/primitives/fft/fft_test_util.h"
#include "tests/primitives/support/fftw_ref.h"

namespace sptest {
namespace {

class FftLargeOrder : public ::testing::TestWithParam<AccuracyCase> {};

TEST_P(FftLargeOrder, MatchesFftwDouble) {
    SP_REQUIRE_FFTW();
    checkAccuracy(GetParam());
}

INSTANTIATE_TEST_SUITE_P(Orders21To24, FftLargeOrder, ::testing::ValuesIn(accuracyCases(21, 24)),
                         [](const auto& info) { return accuracyCaseName(info.param); });

}  // namespace
}  // namespace sptest
