// Stand-ins for a CPU build's large complex drivers: the forward (inverse)
// DFT of 2^L points computed in double (radix-2, exact twiddle angles),
// times the record's scale when scaleFwd (scaleInv) is set; src may equal
// dst; the work area is not used. ScopedLargeDftStandIn installs both as a
// build's large-driver routines for a scope and counts their calls.
#pragma once

#include <atomic>
#include <cstdint>

#include "primitives/fft_simd/sp_fft_simd.h"

namespace sptest {

void largeDftStandIn(const SpFftSpec* spec, const float* src, float* dst, int L, float* work);
void largeIdftStandIn(const SpFftSpec* spec, const float* src, float* dst, int L, float* work);

class ScopedLargeDftStandIn {
public:
    explicit ScopedLargeDftStandIn(int build);
    ~ScopedLargeDftStandIn();
    ScopedLargeDftStandIn(const ScopedLargeDftStandIn&) = delete;
    ScopedLargeDftStandIn& operator=(const ScopedLargeDftStandIn&) = delete;
    static uint64_t calls();

private:
    std::atomic<SpFftLargeDriver>* fwd_;
    std::atomic<SpFftLargeDriver>* inv_;
    SpFftLargeDriver savedFwd_, savedInv_;
};

}  // namespace sptest
