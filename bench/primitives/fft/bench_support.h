// Helpers of the filter benchmarks: the build a benchmark runs under (its
// first argument: 0 generic, 1-3 the CPU builds), status checks that stop a
// benchmark with an error instead of timing a refused call, and seeded
// random inputs.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "bench/primitives/fft/peers.h"
#include "primitives/convert/sp_cpu.h"
#include "primitives/convert/sp_types.h"

namespace spbench {

inline std::vector<float> randomFloats(int n, unsigned seed, float amplitude = 1.0f) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> u(-amplitude, amplitude);
    std::vector<float> v(n);
    for (float& x : v) x = u(rng);
    return v;
}

// Sets spDispatchIndex to the benchmark's build for its scope; ok() is false
// (and the benchmark is skipped with a message) when the processor lacks it.
class BuildScope {
public:
    BuildScope(benchmark::State& state, int64_t build) : saved_(spDispatchIndex.load()) {
        const bool has[SP_BUILD_COUNT] = {true, spCpuHasSse3() != 0, spCpuHasSsse3() != 0, spCpuHasSse41() != 0};
        ok_ = build >= 0 && build < SP_BUILD_COUNT && has[build];
        if (!ok_) {
            state.SkipWithError("build not supported by this processor");
            return;
        }
        spDispatchIndex.store(static_cast<int32_t>(build));
    }
    ~BuildScope() { spDispatchIndex.store(saved_); }
    BuildScope(const BuildScope&) = delete;
    BuildScope& operator=(const BuildScope&) = delete;
    bool ok() const { return ok_; }

private:
    int32_t saved_;
    bool ok_ = false;
};

// False, with the benchmark stopped by an error naming the call and its
// status, when a call did not answer SP_STS_OK.
inline bool statusOk(benchmark::State& state, SpStatus status, const char* call) {
    if (status == SP_STS_OK) return true;
    state.SkipWithError((std::string(call) + " returned status " + std::to_string(status)).c_str());
    return false;
}

// False, with the benchmark skipped and the reason given, when a liquid-dsp
// peer is missing.
inline bool peerReady(benchmark::State& state, const LiquidPeer& peer) {
    if (peer) return true;
    state.SkipWithError(liquidFound() ? "liquid-dsp refused the filter"
                                      : "liquid-dsp not installed (libliquid-dev; run scripts/setup)");
    return false;
}

}  // namespace spbench
