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

std::vector<AccuracyCase> largeCases() {
    std::vector<AccuracyCase> cases;
    for (const AccuracyCase& c : accuracyCases(21, 24)) {
        // One placement and the engine's flag per kind and order keep the
        // run to minutes; the placement and flag logic is order-independent
        // and covered at orders 0 to 20.
        if (c.flag == 2 && c.inPlace && !c.workGiven) cases.push_back(c);
    }
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Orders21To24, FftLargeOrder, ::testing::ValuesIn(largeCases()),
                         [](const auto& info) { return accuracyCaseName(info.param); });

}  // namespace
}  // namespace sptest
