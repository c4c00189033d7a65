// liquid-dsp peers of the filter benchmarks (built when libliquid-dev is
// installed; peers_liquid_missing.cpp stands in otherwise).
#include "bench/primitives/fft/peers.h"

#include <complex>  // before liquid.h: its complex type becomes std::complex
#include <memory>
#include <type_traits>

#include <liquid/liquid.h>

namespace spbench {
namespace {

// liquid-dsp takes non-const pointers for data it only reads.
float* mutableFloats(const float* p) { return const_cast<float*>(p); }

// Wraps a created object with its destroy function; null when creation failed.
template <typename Object>
std::shared_ptr<std::remove_pointer_t<Object>> own(Object q, int (*destroy)(Object)) {
    if (q == nullptr) return nullptr;
    return std::shared_ptr<std::remove_pointer_t<Object>>(q, [destroy](Object p) { destroy(p); });
}

}  // namespace

bool liquidFound() { return true; }

LiquidPeer liquidFirBlock(const std::vector<float>& taps) {
    std::vector<float> h = taps;
    auto q = own(firfilt_rrrf_create(h.data(), static_cast<unsigned>(h.size())), firfilt_rrrf_destroy);
    if (!q) return nullptr;
    return [q](const float* x, float* y, int n) {
        firfilt_rrrf_execute_block(q.get(), mutableFloats(x), static_cast<unsigned>(n), y);
    };
}

LiquidPeer liquidFirSteps(const std::vector<float>& taps) {
    std::vector<float> h = taps;
    auto q = own(firfilt_rrrf_create(h.data(), static_cast<unsigned>(h.size())), firfilt_rrrf_destroy);
    if (!q) return nullptr;
    return [q](const float* x, float* y, int n) {
        for (int i = 0; i < n; ++i) {
            firfilt_rrrf_push(q.get(), x[i]);
            firfilt_rrrf_execute(q.get(), &y[i]);
        }
    };
}

LiquidPeer liquidFftFir(const std::vector<float>& taps, int block) {
    std::vector<float> h = taps;
    auto q = own(fftfilt_rrrf_create(h.data(), static_cast<unsigned>(h.size()), static_cast<unsigned>(block)),
                 fftfilt_rrrf_destroy);
    if (!q) return nullptr;
    return [q, block](const float* x, float* y, int n) {
        for (int done = 0; done + block <= n; done += block)
            fftfilt_rrrf_execute(q.get(), mutableFloats(x + done), y + done);
    };
}

LiquidPeer liquidDecimator(const std::vector<float>& taps, int down) {
    std::vector<float> h = taps;
    auto q = own(firdecim_rrrf_create(static_cast<unsigned>(down), h.data(), static_cast<unsigned>(h.size())),
                 firdecim_rrrf_destroy);
    if (!q) return nullptr;
    return [q](const float* x, float* y, int n) {
        firdecim_rrrf_execute_block(q.get(), mutableFloats(x), static_cast<unsigned>(n), y);
    };
}

LiquidPeer liquidInterpolator(const std::vector<float>& taps, int up) {
    std::vector<float> h = taps;
    auto q = own(firinterp_rrrf_create(static_cast<unsigned>(up), h.data(), static_cast<unsigned>(h.size())),
                 firinterp_rrrf_destroy);
    if (!q) return nullptr;
    return [q](const float* x, float* y, int n) {
        firinterp_rrrf_execute_block(q.get(), mutableFloats(x), static_cast<unsigned>(n), y);
    };
}

LiquidPeer liquidIir(const std::vector<float>& b, const std::vector<float>& a) {
    std::vector<float> bb = b, aa = a;
    auto q = own(iirfilt_rrrf_create(bb.data(), static_cast<unsigned>(bb.size()), aa.data(),
                                     static_cast<unsigned>(aa.size())),
                 iirfilt_rrrf_destroy);
    if (!q) return nullptr;
    return [q](const float* x, float* y, int n) {
        iirfilt_rrrf_execute_block(q.get(), mutableFloats(x), static_cast<unsigned>(n), y);
    };
}

LiquidPeer liquidIirSections(const std::vector<float>& b, const std::vector<float>& a) {
    std::vector<float> bb = b, aa = a;
    auto q = own(iirfilt_rrrf_create_sos(bb.data(), aa.data(), static_cast<unsigned>(bb.size() / 3)),
                 iirfilt_rrrf_destroy);
    if (!q) return nullptr;
    return [q](const float* x, float* y, int n) {
        iirfilt_rrrf_execute_block(q.get(), mutableFloats(x), static_cast<unsigned>(n), y);
    };
}

}  // namespace spbench
