#include "tests/fakes/primitives/large_dft_stand_in.h"

#include <cmath>
#include <complex>
#include <vector>

#include "primitives/sp_records.h"

namespace sptest {
namespace {

std::atomic<uint64_t> standInCalls{0};

std::atomic<SpFftLargeDriver>* routineOf(int build) {
    if (build == 1) return &spFftFwdLargeRoutine_Sse3;
    if (build == 2) return &spFftFwdLargeRoutine_Ssse3;
    return &spFftFwdLargeRoutine_Sse41;
}

uint32_t reverse(uint32_t x, int bits) {
    uint32_t r = 0;
    for (int b = 0; b < bits; ++b) r |= ((x >> b) & 1u) << (bits - 1 - b);
    return r;
}

}  // namespace

void largeDftStandIn(const SpFftSpec* spec, const float* src, float* dst, int L, float* /*work*/) {
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
            const std::complex<double> w = std::polar(1.0, -2.0 * pi * static_cast<double>(k) / static_cast<double>(len));
            for (size_t start = 0; start < n; start += len) {
                const std::complex<double> u = a[start + k], v = a[start + k + len / 2] * w;
                a[start + k] = u + v;
                a[start + k + len / 2] = u - v;
            }
        }
    }
    const double scale = spec->scaleFwd ? static_cast<double>(spec->scale) : 1.0;
    for (size_t i = 0; i < n; ++i) {
        dst[2 * i] = static_cast<float>(a[i].real() * scale);
        dst[2 * i + 1] = static_cast<float>(a[i].imag() * scale);
    }
}

ScopedLargeDftStandIn::ScopedLargeDftStandIn(int build) : slot_(routineOf(build)), saved_(slot_->load()) {
    slot_->store(&largeDftStandIn);
}
ScopedLargeDftStandIn::~ScopedLargeDftStandIn() { slot_->store(saved_); }
uint64_t ScopedLargeDftStandIn::calls() { return standInCalls.load(); }

}  // namespace sptest
