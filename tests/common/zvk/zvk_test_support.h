// Shared pieces of the headphone engine tests: a fixture that runs on the
// kernel stand-in with the contract recorder installed (any breach the test
// did not ask for fails it), blocks at DISPATCH_LEVEL, seeded fixture
// tables and a double-precision reference of the binaural convolution.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "common/zvk/hrtf_tables.h"
#include "nt/ke.h"
#include "tests/support/kernel_test.h"

namespace zvktest {

class ZvkTest : public sim::KernelTest {
protected:
    void SetUp() override;
    void TearDown() override;
    // The breaches recorded so far, cleared: for tests that provoke them.
    std::vector<std::string> TakeBreaches();
};

// Runs fn at DISPATCH_LEVEL, as the stream's data path does.
template <typename Fn>
void AtDispatch(Fn&& fn) {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    fn();
    KeLowerIrql(old);
}

// Channel buffers with a pointer table of 8 entries (the caller's layout).
struct Channels {
    Channels(int count, int frames);
    std::vector<std::vector<float>> data;
    std::vector<float*> table;
    float** ptr() { return table.data(); }
};

// A table set of seeded noise in the generated layout, each response
// decaying over its length; crosstalk pairs likewise.
std::vector<float> RandomTables(uint32_t seed);

// Group signals of 2, 6 or 8 channels (index [group][frame]), as the
// engine mixes them.
std::vector<std::vector<double>> GroupMix(const std::vector<std::vector<float>>& in, int channels);

// out[e][n] = 2.0 * (sum_g head[2g+e] * x_g + tail[e] * (sum_g x_g) delayed
// 1024), in double, for the frames of in.
std::vector<std::vector<double>> ReferenceBinaural(const HeadphoneTables& tables, int room,
                                                   int code, bool tail,
                                                   const std::vector<std::vector<float>>& in,
                                                   int channels);

}  // namespace zvktest
