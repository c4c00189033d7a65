#include "tests/fakes/primitives/large_dft_stand_in.h"

#include <cmath>
#include <complex>
#include <vector>

#include "primitives/sp_records.h"

namespace sptest {
namespace {

std::atomic<uint64_t> standInCalls{0};

std::atomic<SpFftLargeDriver>* routineOf(int build, bool inverse) {
    if (build == 1) return inverse ? &spFftInvLargeRoutine_Sse3 : &spFftFwdLargeRoutine_Sse3;
    if (build == 2) return inverse ? &spFftInvLargeRoutine_Ssse3 : &spFftFwdLargeRoutine_Ssse3;
    return inverse ? &spFftInvLargeRoutine_Sse41 : &spFftFwdLargeRoutine_Sse41;
}

uint32_t reverse(uint32_t x, int bits) {
    uint32_t r = 0;
    for (int b = 0; b < bits; ++b) r |= ((x >> b) & 1u) << (bits - 1 - b);
    return r;
}

}  // namespace

namespace {

void dft(const SpFftSpec* spec, const float* src, float* dst, int L, bool inverse) {
    standInCalls.fetch_add(1);
    const size_t n = size_t{1} << L;
    std::vector<std::complex<double>> a(n);
    for (size_t i = 0; i < n; ++i) {
        const size_t r = reverse(static_cast<uint32_t>(i), L);
        a[i] = {src[2 * r], src[2 * r + 1]};
    }
    const double pi = std::acos(-1.0);
    for (size_t len = 2; len <= n; len *= 2) {
        for (size_t k = 0; k < len / 2; ++k) {
            const std::complex<double> w = std::polar(1.0, (inverse ? 2.0 : -2.0) * pi * static_cast<double>(k) / static_cast<double>(len));
            for (size_t start = 0; start < n; start += len) {
                const std::complex<double> u = a[start + k], v = a[start + k + len / 2] * w;
                a[start + k] = u + v;
                a[start + k + len / 2] = u - v;
            }
        }
    }
    const double scale = (inverse ? spec->scaleInv : spec->scaleFwd) ? static_cast<double>(spec->scale) : 1.0;
    for (size_t i = 0; i < n; ++i) {
        dst[2 * i] = static_cast<float>(a[i].real() * scale);
        dst[2 * i + 1] = static_cast<float>(a[i].imag() * scale);
    }
}

}  // namespace

void largeDftStandIn(const SpFftSpec* spec, const float* src, float* dst, int L, float* /*work*/) {
    dft(spec, src, dst, L, false);
}
void largeIdftStandIn(const SpFftSpec* spec, const float* src, float* dst, int L, float* /*work*/) {
    dft(spec, src, dst, L, true);
}

ScopedLargeDftStandIn::ScopedLargeDftStandIn(int build)
    : fwd_(routineOf(build, false)), inv_(routineOf(build, true)), savedFwd_(fwd_->load()), savedInv_(inv_->load()) {
    fwd_->store(&largeDftStandIn);
    inv_->store(&largeIdftStandIn);
}
ScopedLargeDftStandIn::~ScopedLargeDftStandIn() {
    fwd_->store(savedFwd_);
    inv_->store(savedInv_);
}
uint64_t ScopedLargeDftStandIn::calls() { return standInCalls.load(); }

}  // namespace sptest
