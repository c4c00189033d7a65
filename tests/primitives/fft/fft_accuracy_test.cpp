// Accuracy of every transform against FFTW double, orders 0 to 20: real
// forward (random samples), real inverse (any packed spectrum, as c2r reads
// it) and complex forward, under each flag, in and out of place, with and
// without a caller work buffer. Orders above kQuickFullOrder run one
// combination per kind here and the rest in fft_accuracy_long_test (ctest
// -L long): they hold most of the suite's time under the sanitizers.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <utility>

#include "tests/primitives/fft/fft_test_util.h"
#include "tests/primitives/support/fftw_ref.h"

namespace sptest {
namespace {

class FftAccuracy : public ::testing::TestWithParam<AccuracyCase> {};

TEST_P(FftAccuracy, MatchesFftwDouble) {
    SP_REQUIRE_FFTW();
    checkAccuracy(GetParam());
}

// The quick and long runs together hold every case once; above
// kQuickFullOrder the quick run keeps exactly one case per kind and order.
TEST(FftAccuracySplit, QuickAndLongRunsPartitionEveryCase) {
    std::vector<AccuracyCase> quick = accuracyCasesUpTo20(true), rest = accuracyCasesUpTo20(false);
    std::set<std::string> names;
    for (const auto* list : {&quick, &rest}) {
        for (const AccuracyCase& c : *list) {
            EXPECT_TRUE(names.insert(accuracyCaseName(c)).second) << accuracyCaseName(c);
        }
    }
    EXPECT_EQ(names.size(), accuracyCases(0, 20).size());
    std::set<std::pair<int, int>> large;
    for (const AccuracyCase& c : quick) {
        if (c.order > kQuickFullOrder) {
            EXPECT_TRUE(large.insert({static_cast<int>(c.kind), c.order}).second) << accuracyCaseName(c);
        }
    }
    EXPECT_EQ(large.size(), 3u * (20 - kQuickFullOrder));
}

INSTANTIATE_TEST_SUITE_P(Orders0To20, FftAccuracy, ::testing::ValuesIn(accuracyCasesUpTo20(true)),
                         [](const auto& info) { return accuracyCaseName(info.param); });

}  // namespace
}  // namespace sptest
